#!/bin/sh
# Prints the program's size against its target of 256 KiB.
size=$(stat -c %s "$1")
echo "$(basename "$1"): $size bytes ($(( (size + 1023) / 1024 )) KiB; target at most 256 KiB)"
