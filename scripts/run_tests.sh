#!/usr/bin/env bash
# Runs every test program in one CTest run: the native core tests, the fuzz smoke runs, and the
# Windows programs under Wine. Usage: run_tests.sh BUILD TEST_BUILD_DIR [ctest options]
set -euo pipefail
# Root writes to a read-only file and deletes from a read-only folder where a user's Windows refuses: the
# tests run without those overrides, so that the files' own permissions bind (OV_TESTS_AS_ROOT=1 keeps them).
if [ "$(id -u)" = 0 ] && [ -z "${OV_TESTS_AS_ROOT:-}" ] && command -v setpriv >/dev/null; then
    export OV_TESTS_AS_ROOT=1
    exec setpriv --bounding-set=-dac_override,-dac_read_search --inh-caps=-dac_override,-dac_read_search -- "$BASH" "$0" "$@"
fi
BUILD_ABS=$(cd "${1:-build}" && pwd)
TEST_DIR=${2:-$BUILD_ABS/win}
shift 2 || true
. "$(dirname "$0")/wine_env.sh"
ov_wine_start
ctest --test-dir "$TEST_DIR" --output-on-failure "$@"
