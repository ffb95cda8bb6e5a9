#!/usr/bin/env bash
# Screenshots of the maker window at 96 and 144 DPI, for the README and for checking the layout.
# Usage: screenshots_maker.sh [BUILD]   (PNGs go to BUILD/screenshots/)
set -euo pipefail
BUILD_ABS=$(cd "${1:-build}" && pwd)
ARCH=$("$(dirname "$0")/test_arch.sh" "$BUILD_ABS")
if [ "$ARCH" = i686 ]; then BIN="$BUILD_ABS/win-tests"; else BIN="$BUILD_ABS/win64"; fi
. "$(dirname "$0")/wine_env.sh"
ov_wine_prefix
# A prefix of its own: the DPI setting must not reach the test runs.
SHOTS_PREFIX="$BUILD_ABS/wineprefix-shots"
if [ ! -d "$SHOTS_PREFIX" ]; then cp -a "$WINEPREFIX" "$SHOTS_PREFIX"; fi
export WINEPREFIX="$SHOTS_PREFIX"
ov_wine_start
OUT="$BUILD_ABS/screenshots"
mkdir -p "$OUT"
WORK=$(mktemp -d)
cp "$BIN/OVPatcher.exe" "$WORK/OVPatchMaker.exe"
cp "$BIN/PatchLang.xml" "$WORK/PatchLang.xml"

for dpi in 96 144; do
    hex=$(printf '0x%x' "$dpi")
    # Read by every Wine program as it starts; the persistent server needs no restart.
    "$OVWINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$hex" /f >/dev/null 2>&1
    "$OVWINE" reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
        /v LogPixels /t REG_DWORD /d "$hex" /f >/dev/null 2>&1
    (cd "$WORK" && exec env LC_ALL=fr_FR.UTF-8 "$OVWINE" OVPatchMaker.exe </dev/null >/dev/null 2>&1) &
    maker=$!
    for _ in $(seq 100); do
        xwininfo -root -tree 2>/dev/null | grep -q 'Orvana Patch Maker' && break
        sleep 0.1
    done
    sleep 3  # let the controls paint, on a loaded machine too
    import -window root "$OUT/maker-fr-${dpi}dpi_full.png"
    convert "$OUT/maker-fr-${dpi}dpi_full.png" -trim +repage "$OUT/maker-fr-${dpi}dpi.png"
    rm -f "$OUT/maker-fr-${dpi}dpi_full.png"
    kill "$maker" 2>/dev/null || true
    wait "$maker" 2>/dev/null || true
    echo "$OUT/maker-fr-${dpi}dpi.png"
done
rm -rf "$WORK"

# The maker after a build, its status line naming the patch written: held open by a test program.
"$OVWINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 0x60 /f >/dev/null 2>&1
"$OVWINE" reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d 0x60 /f >/dev/null 2>&1
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }
export LOCPATH=$BIN/locales
mkdir -p "$LOCPATH"
[ -f "$LOCPATH/fr_FR.UTF-8/LC_CTYPE" ] || localedef -i fr_FR -f UTF-8 "$LOCPATH/fr_FR.UTF-8" >/dev/null 2>&1 || true
MEET=$(mktemp -d)
OV_BUILD_DIR=$(winpath "$BIN") OV_SHOT_DIR=$(winpath "$MEET") "$OVWINE" "$BIN/maker_build_e2e.exe" \
    --gtest_also_run_disabled_tests --gtest_filter='*DISABLED_HoldWindowAfterBuildForScreenshot' >"$MEET/log" 2>&1 &
holder=$!
for _ in $(seq 600); do [ -f "$MEET/ready" ] && break; sleep 0.1; done
if [ -f "$MEET/ready" ]; then
    sleep 0.5  # let the window finish painting
    id=$(xwininfo -root -tree | grep -F "\"$(cat "$MEET/ready")\"" | head -n1 | awk '{print $1}')
    import -window "${id:-root}" "$OUT/maker-built-fr-96dpi.png"
    echo "$OUT/maker-built-fr-96dpi.png"
else
    echo "no maker window after a build" >&2
    cat "$MEET/log" >&2
fi
touch "$MEET/done"
wait "$holder" || true
rm -rf "$MEET"
