#!/bin/sh
# Runs a command and adds its time to a file of timings; --report prints that file.
# Usage: timed.sh FILE LABEL COMMAND...    (exits with the command's status)
#        timed.sh --report FILE
if [ "$1" = --report ]; then
    [ -f "$2" ] || exit 0
    awk -v now="$(date +%s)" '
        $1 == "start" { start = $2; next }
        { t = $NF; $NF = ""; printf "make test: %-34s %4d min %02d s\n", $0, t / 60, t % 60 }
        END { if (start) { t = now - start; printf "make test: %-34s %4d min %02d s\n", "whole run ", t / 60, t % 60 } }
    ' "$2"
    exit 0
fi
file=$1 label=$2
shift 2
t0=$(date +%s)
"$@"
rc=$?
echo "$label $(( $(date +%s) - t0 ))" >>"$file"
exit $rc
