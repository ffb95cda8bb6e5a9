#!/bin/sh
# Runs one libFuzzer target for a bounded time over its seed corpus; new inputs go to the build tree.
# Usage: fuzz_run.sh TARGET SEED_DIR SECONDS
set -eu
target=$1; seeds=$2; seconds=$3
work="$(dirname "$target")/work/$(basename "$target")"
mkdir -p "$work" "$seeds"
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" "$seeds"
