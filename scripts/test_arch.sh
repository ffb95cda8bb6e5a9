#!/bin/sh
# Prints the Windows architecture whose programs Wine can run here: i686 where the kernel starts
# 32-bit programs (32-bit Wine needs that), x86_64 otherwise. The answer must not depend on what is
# installed yet, so it starts a tiny 32-bit Linux program that only exits.
probe=$(mktemp)
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
chmod +x "$probe"
if "$probe" 2>/dev/null; then
    echo i686
else
    echo x86_64
fi
rm -f "$probe"
