#!/usr/bin/env bash
# Runs every test program in one CTest run: the native core tests, the fuzz smoke runs, and the
# Windows programs under Wine.
set -euo pipefail
BUILD_ABS=$(cd "${1:-build}" && pwd)
shift || true
. "$(dirname "$0")/wine_env.sh"
ov_wine_start
ctest --test-dir "$BUILD_ABS/win" --output-on-failure "$@"
