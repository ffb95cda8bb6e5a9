#!/bin/sh
# Prints the Windows architecture whose programs Wine can run here: i686 where the kernel starts
# 32-bit programs, x86_64 otherwise.
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo i686
elif [ ! -e /usr/lib/wine/wine ] && ! command -v wine >/dev/null 2>&1; then
    # Nothing installed yet: decide from the kernel.
    if grep -q 'ia32_emulation=off' /proc/cmdline 2>/dev/null || dmesg 2>/dev/null | grep -q '32-bit emulation disabled'; then
        echo x86_64
    else
        echo i686
    fi
else
    echo x86_64
fi
