#!/usr/bin/env bash
# Photographs the patcher window under Xvfb for an English and a French user, at 96 and at 144 DPI, into
# BUILD/screenshots/. Usage: screenshots.sh [BUILD]   (the test programs must be built: make build)
set -euo pipefail
BUILD_ABS=$(cd "${1:-build}" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ "$("$ROOT/scripts/test_arch.sh" "$BUILD_ABS")" = i686 ]; then TEST_DIR=$BUILD_ABS/win-tests; else TEST_DIR=$BUILD_ABS/win64; fi
PROGRAM=$TEST_DIR/patcher_start_e2e.exe
[ -f "$PROGRAM" ] || { echo "missing $PROGRAM: run make build first" >&2; exit 1; }
OUT=$BUILD_ABS/screenshots
mkdir -p "$OUT"

. "$ROOT/scripts/wine_env.sh"
ov_wine_prefix
# A prefix of its own, so that the DPI setting never reaches the test runs.
SHOTS_PREFIX=$BUILD_ABS/wineprefix-shots
if [ ! -d "$SHOTS_PREFIX" ]; then cp -a "$WINEPREFIX" "$SHOTS_PREFIX"; fi
export WINEPREFIX=$SHOTS_PREFIX
ov_wine_start

winpath() { echo "Z:$1" | sed 's|/|\\|g'; }
tools=$(winpath "$BUILD_ABS/tools")
if [ "$TEST_DIR" = "$BUILD_ABS/win64" ]; then export OV_7Z_DIR="$tools\\7z-x64"; else export OV_7Z_DIR="$tools\\7z"; fi
export OV_BUILD_DIR=$(winpath "$TEST_DIR")

set_dpi() {
    "$OVWINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
    "$OVWINE" reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}

# The C library needs the locales compiled, or Wine reads every file name as ASCII.
export LOCPATH=$TEST_DIR/locales
mkdir -p "$LOCPATH"
for l in en_US fr_FR; do
    [ -f "$LOCPATH/$l.UTF-8/LC_CTYPE" ] || localedef -i "$l" -f UTF-8 "$LOCPATH/$l.UTF-8" >/dev/null 2>&1 || true
done

# The sample installation is E:\Orvana, on a drive of its own.
SAMPLE_DRIVE=$(mktemp -d)
ln -sfn "$SAMPLE_DRIVE" "$WINEPREFIX/dosdevices/e:"
trap 'rm -f "$WINEPREFIX/dosdevices/e:"; rm -rf "$SAMPLE_DRIVE"; ov_wine_stop' EXIT

shoot() {  # name locale
    local name=$1 locale=$2 meet
    meet=$(mktemp -d)
    OV_SHOT_APPLYING=${OV_SHOT_APPLYING:-} OV_SHOT_SKIPPED=${OV_SHOT_SKIPPED:-} OV_SHOT_STATUS=${OV_SHOT_STATUS:-} OV_SHOT_PARENT=E: OV_SHOT_DIR=$(winpath "$meet") LC_ALL=$locale "$OVWINE" "$PROGRAM" --gtest_also_run_disabled_tests \
        --gtest_filter='*DISABLED_HoldWindowForScreenshot' >"$meet/log" 2>&1 &
    local pid=$!
    for _ in $(seq 900); do [ -f "$meet/ready" ] && break; sleep 0.1; done  # a loaded machine stages slowly
    if [ ! -f "$meet/ready" ]; then
        echo "no window for $name" >&2; cat "$meet/log" >&2; kill "$pid" 2>/dev/null || true; return 1
    fi
    sleep 0.5  # let the window finish painting
    local id
    id=$(xwininfo -root -tree | grep -F "\"$(cat "$meet/ready")\"" | head -n1 | awk '{print $1}')
    import -window "${id:-root}" "$OUT/$name.png"
    touch "$meet/done"
    wait "$pid" || true
    rm -rf "$meet"
    echo "$OUT/$name.png"
}

# The longest status line of the shipped French texts: the last step, its percentage, and the note that
# Cancel no longer applies.
FR_STATUS="Exécution des commandes après installation… 100 % (votre Orvana est arrêtée : plus d'annulation possible)"

set_dpi 96
OV_SHOT_APPLYING=1 shoot patcher-applying-en-96dpi en_US.UTF-8
OV_SHOT_SKIPPED=1 shoot patcher-skipped-en-96dpi en_US.UTF-8
shoot patcher-en-96dpi en_US.UTF-8
shoot patcher-fr-96dpi fr_FR.UTF-8
OV_SHOT_STATUS=$FR_STATUS shoot patcher-fr-status-96dpi fr_FR.UTF-8
set_dpi 144
shoot patcher-en-144dpi en_US.UTF-8
shoot patcher-fr-144dpi fr_FR.UTF-8
OV_SHOT_STATUS=$FR_STATUS shoot patcher-fr-status-144dpi fr_FR.UTF-8
set_dpi 96
