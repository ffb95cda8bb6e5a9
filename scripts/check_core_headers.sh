#!/bin/sh
# Core files build on Linux too: none may include a Windows header or a shell (_win) header.
set -u
root=$1
bad=$(find "$root/src" "$root/tests" "$root/fuzz" -type f \( -name '*.cpp' -o -name '*.h' \) \
        ! -name '*_win.cpp' ! -name '*_win.h' ! -name '*_win_test.cpp' \
        ! -path '*/tests/e2e/*' ! -path '*/tests/fakes/*' ! -path '*/src/app/*' 2>/dev/null |
      xargs -r grep -n -i -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([a-z0-9_/]*_win\.h|windows\.h|win[a-z0-9]*\.h|shlobj\.h|shellapi\.h|commctrl\.h|commdlg\.h|psapi\.h|ole2\.h|objbase\.h|mmsystem\.h|tlhelp32\.h|shlwapi\.h|oleidl\.h|wtypes\.h)[">]')
if [ -n "$bad" ]; then
    echo "core files include Windows headers:"
    echo "$bad"
    exit 1
fi
echo "core files include no Windows header"
