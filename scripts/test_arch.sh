#!/bin/sh
# Prints the Windows architecture whose programs Wine runs here after set-up: i686 where 32-bit Wine
# can run (the kernel starts 32-bit programs and wine32 is installed), x86_64 otherwise.
# Usage: test_arch.sh [BUILD]         the architecture
#        test_arch.sh --why [BUILD]   one line saying why
#        test_arch.sh --kernel        i686 when the kernel starts 32-bit programs, whatever is installed
kernel() {
    # A tiny 32-bit Linux program that only exits.
    probe=$(mktemp)
    printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
    chmod +x "$probe"
    if "$probe" 2>/dev/null; then k=i686; else k=x86_64; fi
    rm -f "$probe"
    echo $k
}

mode=arch
case "${1:-}" in
    --kernel) kernel; exit 0 ;;
    --why) mode=why; shift ;;
esac
build=${1:-build}

if [ "$(kernel)" != i686 ]; then
    arch=x86_64 why="the kernel cannot start 32-bit programs"
elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    arch=x86_64 why=$(cat "$build/wine32-missing.txt" 2>/dev/null)
    [ -n "$why" ] || why="32-bit Wine is not installed"
else
    arch=i686 why="the kernel starts 32-bit programs and 32-bit Wine is installed"
fi
if [ $mode = why ]; then echo "$why"; else echo $arch; fi
