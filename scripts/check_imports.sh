#!/bin/sh
# The shipped program must run with nothing installed beside it and give nothing beside it a chance to
# run: a PE32 GUI program for i386 that imports only Windows' own DLLs (none that a file dropped next to
# a patch could stand in for), declares that it runs with the user's own rights, binds Common Controls 6,
# is DPI aware, and carries the DEP and ASLR flags with the relocations ASLR needs.
set -u
exe=$1
fail=0
objdump=i686-w64-mingw32-objdump
$objdump -f "$exe" | grep -q 'file format pei-i386' || { echo "not a PE32 i386 file: $exe"; fail=1; }
headers=$($objdump -p "$exe")
echo "$headers" | grep -q 'Subsystem.*(Windows GUI)' || { echo "not a GUI program"; fail=1; }

# comctl32 comes through the manifest's Common Controls 6 dependency; the others are known DLLs or
# loaded from the system folder before any code runs.
allowed="KERNEL32.DLL USER32.DLL GDI32.DLL ADVAPI32.DLL SHELL32.DLL OLE32.DLL OLEAUT32.DLL COMDLG32.DLL
SHLWAPI.DLL PSAPI.DLL IMM32.DLL MSVCRT.DLL NTDLL.DLL COMCTL32.DLL"
for dll in $(echo "$headers" | sed -n 's/.*DLL Name: //p'); do
    ok=0
    upper=$(echo "$dll" | tr a-z A-Z)
    for a in $allowed; do
        if [ "$upper" = "$a" ]; then ok=1; fi
    done
    if [ $ok = 0 ]; then echo "imports a DLL outside the list: $dll"; fail=1; else echo "imports $dll"; fi
done

flags=$(echo "$headers" | sed -n 's/^DllCharacteristics[[:space:]]*//p')
flags=$((0x${flags:-0}))
[ $((flags & 0x40)) -ne 0 ] || { echo "no ASLR flag (DYNAMIC_BASE)"; fail=1; }
[ $((flags & 0x100)) -ne 0 ] || { echo "no DEP flag (NX_COMPAT)"; fail=1; }
relocs=$(echo "$headers" | sed -n 's/^Entry 5 [0-9a-f]* \([0-9a-f]*\) Base Relocation Directory.*/\1/p')
[ -n "$relocs" ] && [ $((0x$relocs)) -ne 0 ] || { echo "no relocations: ASLR cannot move the program"; fail=1; }

# The manifest is stored as written, in UTF-8.
manifest=$(LC_ALL=C sed -n '/<assembly /,/<\/assembly>/p' "$exe" | LC_ALL=C tr -s ' \r\n\t' ' ')
check_manifest() {
    echo "$manifest" | LC_ALL=C grep -q "$1" || { echo "manifest lacks $2"; fail=1; }
}
check_manifest '<requestedExecutionLevel level="asInvoker"' "asInvoker"
check_manifest 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "the Common Controls 6 dependency"
check_manifest '<dpiAware [^>]*>true</dpiAware>' "DPI awareness"

# Run-time look-ups, by name: losing one would pass every test under Wine.
for name in SetDefaultDllDirectories QueryFullProcessImageNameW; do
    LC_ALL=C grep -q -a "$name" "$exe" || { echo "no run-time look-up of $name"; fail=1; }
done
[ $fail = 0 ] && echo "imports, manifest and PE flags as they should be"
exit $fail
