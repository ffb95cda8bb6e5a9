#!/bin/sh
# From two releases to an applied patch: ovpatch diff writes the archive and settings, ovpatch build the
# patch, ovpatch plan says what it will do to a copy of the old release, and the real patcher, driven under
# Wine by an end-to-end test, applies it there. The copy must then hold the new release, with the version
# record the patcher wrote in place of the new release's own.
# Usage: ovpatch_release.sh OVPATCH OVPATCHER.EXE PATCHLANG.XML 7Z_FOLDER WORK_FOLDER E2E_PROGRAM
set -eu
ovpatch=$1 image=$2 langs=$3 sevenzip=$4 work=$5 e2e=$6
# On drive C: of the tests' Wine prefix when there is one: the folder picker browses that drive.
if [ -n "${WINEPREFIX:-}" ]; then work=$WINEPREFIX/drive_c/ovpatch_release; fi
rm -rf "$work"
mkdir -p "$work"
cd "$work"
put() { mkdir -p "$(dirname "$1")"; printf "$2" > "$1"; }
for tree in old new; do
    put $tree/Orvana.exe 'MZ'
    mkdir -p $tree/OrvanaTools/Installer
    cp "$sevenzip/7z.exe" "$sevenzip/7z.dll" $tree/OrvanaTools/Installer/
    put $tree/Apps/same.txt 'same'
done
put old/version.txt 'Orvana\r\nbuild 1\r\n5.8\r\n'
put old/OrvanaTools/version.ver '<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Lang>fr</Lang>\r\n\t<Patch>20141104134857</Patch>\r\n</OrvanaVersion>\r\n'
put old/Apps/a.txt 'old a'
put old/Docs/Readme.TXT 'read me'
put old/Docs/gone.txt 'gone'
put new/version.txt 'Orvana\r\nbuild 2\r\n5.9\r\n'
put new/OrvanaTools/version.ver '<OrvanaVersion>\r\n\t<Version>5.9</Version>\r\n\t<Lang>en</Lang>\r\n\t<Patch>0</Patch>\r\n</OrvanaVersion>\r\n'
put new/Apps/a.txt 'new a'
put "new/Apps/$(printf '\303\251t\303\251 \320\226').txt" 'new'
put new/Docs/readme.txt 'read me'
cp -r old inst

"$ovpatch" diff old new --archive data.7z --settings patch.conf > diff.txt
"$ovpatch" build --image "$image" --langs "$langs" --archive data.7z --settings patch.conf \
    --patch-version 20150101000000 --all-languages -o . --quiet > built.txt
mv "$(cat built.txt)" patch.exe
"$ovpatch" plan patch.exe inst > plan.txt
expect() {
    grep -qxF -- "$2" "$1" || { echo "$1 lacks: $2"; cat "$1"; exit 1; }
}
expect diff.txt '  changed   Apps\a.txt'
expect diff.txt '  added     Apps\été Ж.txt'
expect diff.txt '  changed   Docs\readme.txt'
expect diff.txt '  changed   version.txt'
expect diff.txt '  removed   Docs\gone.txt'
expect plan.txt '  replaced   Apps\a.txt'
expect plan.txt '  added      Apps\été Ж.txt'
expect plan.txt '  replaced   Docs\readme.txt'
expect plan.txt '  replaced   version.txt'
expect plan.txt '  1 added, 3 replaced, 0 unchanged, 0 ifexists, 0 excluded, 0 blocked'
expect plan.txt '  %ORV%\Docs\gone.txt  (exists)'
sed -n '/^record after:/,$p' plan.txt | tail -n +2 | sed 's/^  //' > planned.ver

# The real patcher applies it; the test picks the copy by hand, as a user without a running suite does.
winpath() {
    case $1 in
    "${WINEPREFIX:-/nonexistent}"/drive_c/*) printf 'C:%s' "${1#"$WINEPREFIX"/drive_c}" | tr / '\\' ;;
    *) printf 'Z:%s' "$1" | tr / '\\' ;;
    esac
}
OV_RELEASE_DIR=$(winpath "$work") "$(dirname "$0")/ovwine" "$e2e" --gtest_filter='*PatchMadeFromTwoReleases*'

diff -r -x version.ver new inst
tr -d '\r' < inst/OrvanaTools/version.ver | cmp - planned.ver
echo "the patch ovpatch made from two releases took the old one to the new, as its plan said"

# Deltas: a program changed in a few bytes travels as the instructions that rebuild it from the installed
# copy. It takes a copy of the old release to the new one; on a copy where that program was edited it stops
# while it stages, naming the file, and the copy stays as it was; made with --keep-whole, it installs the
# whole file there instead.
cp -r old dold
cp -r new dnew
mkdir -p dold/Bin dnew/Bin
head -c 65536 /dev/urandom > dold/Bin/prog.bin
cp dold/Bin/prog.bin dnew/Bin/prog.bin
printf 'new bytes' | dd of=dnew/Bin/prog.bin bs=1 seek=30000 conv=notrunc 2>/dev/null
for way in delta keep; do
    extra=
    if [ $way = keep ]; then extra=--keep-whole; fi
    "$ovpatch" diff dold dnew --delta $extra --archive $way.7z --settings $way.conf > $way-diff.txt
    "$ovpatch" build --image "$image" --langs "$langs" --archive $way.7z --settings $way.conf \
        --patch-version 20150101000000 --all-languages -o . --quiet > built.txt
    mv "$(cat built.txt)" $way.exe
done
grep -q '^  changed   Bin\\prog.bin  (delta: ' delta-diff.txt || { echo "no delta in:"; cat delta-diff.txt; exit 1; }
cp -r dold dinst
cp -r dold dedit
printf 'edited' | dd of=dedit/Bin/prog.bin bs=1 seek=100 conv=notrunc 2>/dev/null
cp -r dedit dkeep
cp -r dedit dedit.before
"$ovpatch" plan delta.exe dinst > dplan.txt
expect dplan.txt '  patched (delta) Bin\prog.bin'
if "$ovpatch" plan delta.exe dedit > eplan.txt; then echo "plan let an edited copy through"; cat eplan.txt; exit 1; fi
release() {
    OV_RELEASE_DIR=$(winpath "$work") OV_RELEASE_PATCH=$1 OV_RELEASE_COPY=$2 OV_RELEASE_REFUSED=${3:-} \
        "$(dirname "$0")/ovwine" "$e2e" --gtest_filter='*PatchMadeFromTwoReleases*'
}
release delta.exe dinst
diff -r -x version.ver dnew dinst
release delta.exe dedit 'Bin\prog.bin'
diff -r dedit.before dedit
release keep.exe dkeep
diff -r -x version.ver dnew dkeep
echo "the delta patch took the old release to the new, refused an edited copy and, carrying the file whole too, replaced it"
