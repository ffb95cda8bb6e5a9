#!/usr/bin/env bash
# Runs every test program in one CTest run: the native core tests, the fuzz smoke runs, and the
# Windows programs under Wine. Usage: run_tests.sh BUILD TEST_BUILD_DIR [ctest options]
set -euo pipefail
BUILD_ABS=$(cd "${1:-build}" && pwd)
TEST_DIR=${2:-$BUILD_ABS/win}
shift 2 || true
. "$(dirname "$0")/wine_env.sh"
ov_wine_start
ctest --test-dir "$TEST_DIR" --output-on-failure "$@"
