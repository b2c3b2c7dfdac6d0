#!/usr/bin/env bash
# Vesplin.exe is a PE32 i386 GUI program that imports only DLLs every Windows has.
set -euo pipefail
exe=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
info=$("$objdump" -p "$exe")
grep -q 'file format pei-i386' <<<"$info" || { echo "not a PE32 i386 image"; exit 1; }
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$info" || { echo "not a GUI-subsystem program"; exit 1; }
allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|COMDLG32|SHELL32|COMCTL32|msvcrt)\.dll$'
bad=0
while read -r dll; do
  if ! grep -Eiq "$allowed" <<<"$dll"; then echo "unexpected import: $dll"; bad=1; fi
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$info")
[ $bad = 0 ] || exit 1
echo "PE32 GUI program; imports: $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$info" | tr '\n' ' ')"
