#!/bin/sh
# Where the program's bytes come from: its sections, then the libraries and the object files or library
# members that fill them, largest first, read from the linker's map (the i686 build writes OVPatcher.map
# beside OVPatcher.exe).
# Usage: scripts/size_breakdown.sh build/win/OVPatcher.exe [how many contributors, default 30]
set -eu
exe=$1
top=${2:-30}
map=${exe%.exe}.map
[ -f "$map" ] || { echo "size_breakdown: no linker map at $map" >&2; exit 1; }

case $(od -An -tx1 -j"$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')" -N6 "$exe" | tr -d ' \n') in
    504500004c01) objdump=i686-w64-mingw32-objdump ;;
    *) objdump=x86_64-w64-mingw32-objdump ;;
esac

# mawk has no strtonum.
HEX='function hex(s,    v, i) { sub(/^0x/, "", s); v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(tolower(s), i, 1)) - 1
    return v }
'

echo "== $(basename "$exe"): $(stat -c %s "$exe") bytes; sections as stored"
"$objdump" -h "$exe" | awk "$HEX"'$1 ~ /^[0-9]+$/ { printf "%-10s %9d\n", $2, hex($3) }'

# Input section lines of the map: " .text.name 0xADDR 0xSIZE file", the name alone on its line when it
# is long. Debug sections are stripped from the image and left out.
awk -v top="$top" "$HEX"'
function short(f) {
    if (f == "dll") return "(linker: base relocations)"
    sub(/^.*\//, "", f)
    return f
}
function library(f) {
    if (f ~ /\(/) { sub(/\(.*$/, "", f); return short(f) }
    return "(program objects)"
}
function add(sec, size, file,    out) {
    if (size == 0 || sec ~ /^\.debug/ || sec ~ /^\/[0-9]/) return
    out = output
    total[out] += size
    byfile[short(file)] += size
    byfilesec[short(file), out] += size
    bylib[library(file)] += size
    bylibsec[library(file), out] += size
    sections[out] = 1
}
/^Linker script and memory map/ { inmap = 1; next }
!inmap { next }
/^\.[A-Za-z_.]+/ { output = $1; sub(/^\.eh_fram$/, ".eh_frame", output); pending = ""; next }
/^ \.[^ ]+$/ { pending = $1; next }
/^ \.[^ ]+ +0x[0-9a-f]+ +0x[0-9a-f]+ / { add($1, hex($3), $4); pending = ""; next }
pending != "" && /^ +0x[0-9a-f]+ +0x[0-9a-f]+ [^ ]/ { add(pending, hex($2), $3); pending = ""; next }
{ pending = "" }
END {
    n = split(".text .rdata .eh_frame .data .rsrc .idata .reloc .bss", order, " ")
    printf "\n== by section, from the map (input bytes before alignment)\n"
    for (i = 1; i <= n; i++) if (order[i] in total) printf "%-10s %9d\n", order[i], total[order[i]]
    header = sprintf("%9s %9s %9s %9s %9s", ".text", ".rdata", ".eh_frame", ".data", ".rsrc")
    printf "\n== by library (all sections but .bss)\n%9s %s  %s\n", "bytes", header, "library"
    report(bylib, bylibsec, 100)
    printf "\n== top %d object files and library members\n%9s %s  %s\n", top, "bytes", header, "object"
    report(byfile, byfilesec, top)
}
function report(sum, sumsec, limit,    k, key, best, bestv, shown, cols, j, col) {
    split(".text .rdata .eh_frame .data .rsrc", cols, " ")
    for (k in sum) left[k] = sum[k] - sumsec[k, ".bss"]
    for (shown = 0; shown < limit; shown++) {
        best = ""; bestv = -1
        for (k in left) if (left[k] > bestv) { best = k; bestv = left[k] }
        if (best == "" || bestv <= 0) break
        printf "%9d", bestv
        for (j = 1; j <= 5; j++) printf " %9d", sumsec[best, cols[j]]
        printf "  %s\n", best
        delete left[best]
    }
    for (k in left) delete left[k]
}
' "$map"
