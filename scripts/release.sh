#!/usr/bin/env bash
# Puts the shipped files into dist/ and zips them with a SHA-256 file beside the zip, and puts ovpatch for
# Linux beside them with its own.
# Usage: scripts/release.sh BUILD_FOLDER   (its win/OVPatcher.exe and cli/ovpatch must be built)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_ABS=$(cd "${1:-build}" && pwd)
EXE="$BUILD_ABS/win/OVPatcher.exe"
CLI="$BUILD_ABS/cli/ovpatch"
DIST="$ROOT/dist"

[ -f "$EXE" ] || { echo "release: $EXE is not built" >&2; exit 1; }
[ -f "$CLI" ] || { echo "release: $CLI is not built" >&2; exit 1; }
# The optimised build, never the sanitizer one, which needs its runtimes and a vast address space.
if ! readelf -h "$CLI" | grep -q 'Machine: *Advanced Micro Devices X86-64' || readelf -S "$CLI" | grep -q '\.symtab' ||
    readelf -d "$CLI" | grep -Eq 'NEEDED.*lib(asan|ubsan|stdc\+\+|gcc_s)'; then
    echo "release: $CLI is not the stripped, self-contained x86_64 build" >&2
    exit 1
fi
# The Windows program ships in its 32-bit build only: it runs on every Windows the suite supports.
if ! i686-w64-mingw32-objdump -f "$EXE" | grep -q 'file format pei-i386'; then
    echo "release: $EXE is not a 32-bit Windows program" >&2
    exit 1
fi
VERSION=$(sed -n 's/^#define OV_VERSION_TEXT "\(.*\)"/\1/p' "$ROOT/src/support/version.h")
NAME="OVPatcher-$VERSION"

rm -rf "$DIST"
mkdir -p "$DIST/$NAME"
cp "$EXE" "$DIST/$NAME/OVPatcher.exe"
cp "$EXE" "$DIST/$NAME/OVPatchMaker.exe"
if [ -f "$ROOT/src/maker/PatchLang.xml" ]; then
    cp "$ROOT/src/maker/PatchLang.xml" "$DIST/$NAME/PatchLang.xml"
fi
# Text files get Windows line ends; the sample keeps its .example name so that the maker never runs it.
sed 's/\r*$/\r/' "$ROOT/release/sign.bat.example" >"$DIST/$NAME/sign.bat.example"
sed 's/\r*$/\r/' "$ROOT/release/GUIDE.txt" >"$DIST/$NAME/GUIDE.txt"

# The loose files sit in dist/ itself as well, for those who take them one by one.
cp "$DIST/$NAME"/* "$DIST/"
# Fixed dates inside the zip, so that the same files give the same zip.
touch -d "@$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0)" "$DIST/$NAME" "$DIST/$NAME"/*
(cd "$DIST" && rm -f "$NAME.zip" && TZ=UTC zip -q -X -r "$NAME.zip" "$NAME")
rm -rf "${DIST:?}/$NAME"
(cd "$DIST" && sha256sum "$NAME.zip" >"$NAME.zip.sha256")
cp "$CLI" "$DIST/ovpatch"
(cd "$DIST" && sha256sum ovpatch >ovpatch.sha256)

echo "release: $DIST"
(cd "$DIST" && ls -l --time-style=+ | tail -n +2 | awk '{printf "  %10s  %s\n", $5, $NF}')
echo "  $(cat "$DIST/$NAME.zip.sha256")"
echo "  $(cat "$DIST/ovpatch.sha256")"
