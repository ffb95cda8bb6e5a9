#!/usr/bin/env bash
# Runs the demo: a sample installation under BUILD/demo/, a patch made through the maker's window and
# applied through the patcher's, with an account of every step and a picture of every window met.
# Headless by default; DEMO_VISIBLE=1 with DISPLAY set shows it on that display.
# Usage: demo.sh BUILD TEST_BUILD_DIR
set -euo pipefail
BUILD_ABS=$(cd "${1:-build}" && pwd)
TEST_DIR=$(cd "${2:-$BUILD_ABS/win}" && pwd)
DEMO="$BUILD_ABS/demo"
mkdir -p "$DEMO"
rm -f "$DEMO"/*.bmp "$DEMO"/*.png
export OV_DEMO_DIR="Z:${DEMO//\//\\}"

status=0
# The account speaks of an English-speaking user.
LC_ALL=${DEMO_LC_ALL:-en_US.UTF-8} "$(dirname "$0")/run_windows.sh" "$BUILD_ABS" "$TEST_DIR" "$TEST_DIR/demo/demo_driver.exe" || status=$?

shopt -s nullglob
pictures=("$DEMO"/*.bmp)
if [ ${#pictures[@]} -gt 0 ]; then
    echo
    echo "Pictures:"
    for bmp in "${pictures[@]}"; do
        png="${bmp%.bmp}.png"
        if convert "$bmp" "$png" 2>/dev/null; then rm -f "$bmp"; else png=$bmp; fi
        echo "   $png"
    done
fi
if [ $status -ne 0 ]; then
    echo "demo: a step failed (see above)" >&2
fi
exit $status
