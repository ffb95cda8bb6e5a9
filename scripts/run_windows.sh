#!/usr/bin/env bash
# Runs Windows programs of a build under Wine with the environment the tests get (OV_7Z_DIR,
# OV_BUILD_DIR, OV_SOURCE_DIR, OV_PRODUCT_EXE), in one Wine session: one display, one wineserver for
# all of them.
# Usage: run_windows.sh BUILD TEST_BUILD_DIR [--each] PROGRAM [ARGS...]
#   --each: PROGRAM is a list of programs (one word, blank-separated), run one after the other; every one
#           runs even when an earlier one fails, and the exit status says whether all succeeded.
set -euo pipefail
BUILD_ABS=$(cd "${1:-build}" && pwd)
TEST_DIR=$(cd "${2:-$BUILD_ABS/win}" && pwd)
shift 2
. "$(dirname "$0")/wine_env.sh"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
TOOLS=$(sed -n 's/^OV_TOOLS_DIR:PATH=//p' "$TEST_DIR/CMakeCache.txt")
TOOLS=${TOOLS:-$BUILD_ABS/tools}
if grep -q '^CMAKE_TOOLCHAIN_FILE:.*x86_64' "$TEST_DIR/CMakeCache.txt"; then
    SEVENZIP="$TOOLS/7z-x64"
else
    SEVENZIP="$TOOLS/7z"
fi
export OV_7Z_DIR OV_BUILD_DIR OV_SOURCE_DIR
OV_7Z_DIR=$(winpath "$SEVENZIP")
OV_BUILD_DIR=$(winpath "$TEST_DIR")
OV_SOURCE_DIR=$(winpath "$(cd "$(dirname "$0")/.." && pwd)")
# The program the end-to-end tests start, as the test build chose it (the shipped file where it is 32-bit).
if [ -s "$TEST_DIR/e2e_product.txt" ]; then
    export OV_PRODUCT_EXE
    OV_PRODUCT_EXE=$(winpath "$(cat "$TEST_DIR/e2e_product.txt")")
fi

ov_wine_start
if [ "${1:-}" = "--each" ]; then
    status=0
    for program in $2; do
        echo "== $(basename "$program")"
        "$OVWINE" "$program" </dev/null || { echo "== $(basename "$program") failed ($?)"; status=1; }
    done
    exit $status
fi
"$OVWINE" "$@" </dev/null
