#!/usr/bin/env bash
# The apply's time with and without deltas, and the two patches' sizes: a 30 MB program with 1 % of its bytes
# changed in scattered places travels whole in one patch and as a delta in the other; each is applied with
# /silent to a fresh copy of the old release, and the copy must then hold the new program.
# Usage: delta_apply.sh BUILD TEST_BUILD_DIR
set -euo pipefail
BUILD_ABS=$(cd "$1" && pwd)
TEST_DIR=$(cd "$2" && pwd)
. "$(dirname "$0")/../scripts/wine_env.sh"
src=$(cd "$(dirname "$0")/.." && pwd)
ovpatch=$BUILD_ABS/cli/ovpatch
image=$TEST_DIR/OVPatcher.exe
if [ -s "$TEST_DIR/e2e_product.txt" ]; then image=$(cat "$TEST_DIR/e2e_product.txt"); fi
if grep -q '^CMAKE_TOOLCHAIN_FILE:.*x86_64' "$TEST_DIR/CMakeCache.txt"; then
    sevenzip=$BUILD_ABS/tools/7z-x64
else
    sevenzip=$BUILD_ABS/tools/7z
fi
work=$WINEPREFIX/drive_c/delta_apply
rm -rf "$work"
mkdir -p "$work"
[ -n "${OV_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
cd "$work"
for tree in old new; do
    mkdir -p $tree/OrvanaTools/Installer $tree/Apps
    printf 'MZ' > $tree/Orvana.exe
    cp "$sevenzip/7z.exe" "$sevenzip/7z.dll" $tree/OrvanaTools/Installer/
done
printf 'Orvana\r\nbuild 1\r\n5.8\r\n' > old/version.txt
printf 'Orvana\r\nbuild 2\r\n5.9\r\n' > new/version.txt
printf '<OrvanaVersion>\r\n\t<Version>5.8</Version>\r\n\t<Lang>fr</Lang>\r\n\t<Patch>20141104134857</Patch>\r\n</OrvanaVersion>\r\n' \
    > old/OrvanaTools/version.ver
cp old/OrvanaTools/version.ver new/OrvanaTools/version.ver
# The same noise and the same changes in every run.
python3 - <<'PY'
x = 2463534242
old = bytearray(30_000_000)
for i in range(len(old)):
    x ^= (x << 13) & 0xFFFFFFFF
    x ^= x >> 17
    x ^= (x << 5) & 0xFFFFFFFF
    old[i] = x & 0xFF
new = bytearray(old)
x = 88675123
for _ in range(len(new) // 100):
    x ^= (x << 13) & 0xFFFFFFFF
    x ^= x >> 17
    x ^= (x << 5) & 0xFFFFFFFF
    at = x % len(new)
    new[at] = (new[at] + 1 + (x >> 24) % 255) & 0xFF
open("old/Apps/prog.bin", "wb").write(old)
open("new/Apps/prog.bin", "wb").write(new)
PY
winpath() { printf 'C:%s' "${1#"$WINEPREFIX"/drive_c}" | tr / '\\'; }
ov_wine_start
for way in whole delta; do
    extra=
    if [ $way = delta ]; then extra=--delta; fi
    "$ovpatch" diff old new $extra --quiet --archive $way.7z --settings $way.conf > /dev/null
    "$ovpatch" build --image "$image" --langs "$src/src/maker/PatchLang.xml" --archive $way.7z --settings $way.conf \
        --patch-version 20150101000000 --all-languages -o . --quiet > built.txt
    mv "$(cat built.txt)" $way.exe
    rm -rf inst
    cp -r old inst
    start=$(date +%s%N)
    "$OVWINE" "$(winpath "$work/$way.exe")" /silent "/dir=$(winpath "$work/inst")" "/log=$(winpath "$work/$way.log")" || { echo "$way: the apply failed ($?)"; exit 1; }
    took=$((($(date +%s%N) - start) / 1000000))
    cmp new/Apps/prog.bin inst/Apps/prog.bin
    printf '%-6s patch %12s bytes, apply %6s ms\n' $way "$(stat -c %s $way.exe)" $took
done
