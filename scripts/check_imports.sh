#!/bin/sh
# The program must run with nothing installed beside it: a PE32 GUI program for i386 that imports
# only Windows' own DLLs.
set -u
exe=$1
fail=0
objdump=i686-w64-mingw32-objdump
$objdump -f "$exe" | grep -q 'file format pei-i386' || { echo "not a PE32 i386 file: $exe"; fail=1; }
$objdump -p "$exe" | grep -q 'Subsystem.*(Windows GUI)' || { echo "not a GUI program"; fail=1; }
allowed="KERNEL32.dll USER32.dll GDI32.dll SHELL32.dll OLE32.dll OLEAUT32.dll COMCTL32.dll ADVAPI32.dll
COMDLG32.dll PSAPI.DLL WINMM.dll msvcrt.dll SHLWAPI.dll"
for dll in $($objdump -p "$exe" | sed -n 's/.*DLL Name: //p'); do
    ok=0
    for a in $allowed; do
        if [ "$(echo "$dll" | tr a-z A-Z)" = "$(echo "$a" | tr a-z A-Z)" ]; then ok=1; fi
    done
    if [ $ok = 0 ]; then echo "imports a DLL that is not Windows' own: $dll"; fail=1; else echo "imports $dll"; fi
done
exit $fail
