#!/bin/sh
# Prints the shipped program's size against the most it may weigh; with --check, fails above it.
# Every patch carries a copy of the program, so the ceiling is the size last reached: lower it when the
# program shrinks, and raise it only for a change that is worth its bytes to every download.
# Usage: scripts/print_size.sh [--check] OVPatcher.exe
LIMIT=368128
check=0
if [ "$1" = --check ]; then check=1; shift; fi
size=$(stat -c %s "$1") || exit 1
echo "$(basename "$1"): $size bytes ($(( (size + 1023) / 1024 )) KiB; at most $LIMIT bytes allowed, aim 256 KiB)"
if [ $check = 1 ] && [ "$size" -gt $LIMIT ]; then
    echo "$(basename "$1") grew by $((size - LIMIT)) bytes past $LIMIT (scripts/print_size.sh LIMIT);" \
        "scripts/size_breakdown.sh $1 shows where the bytes go" >&2
    exit 1
fi
exit 0
