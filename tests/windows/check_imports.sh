#!/usr/bin/env bash
# The .exe must stand alone: it may import system DLLs only, never the
# compiler's runtime (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll).
# Usage: check_imports.sh OBJDUMP PROGRAM.exe
set -euo pipefail
objdump=$1
exe=$2

# What the tool uses: the C runtime that ships with Windows, the kernel, the
# card service, device enumeration and the keyboard.
allowed=" kernel32.dll msvcrt.dll winscard.dll setupapi.dll user32.dll "

mapfile -t dlls < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ ${#dlls[@]} -gt 0 ] || { echo "no import table found in $exe" >&2; exit 1; }

echo "$(basename "$exe"): $(stat -c %s "$exe") bytes; imports: ${dlls[*]}"
status=0
for dll in "${dlls[@]}"; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
  if [[ $allowed != *" $lower "* ]]; then
    echo "not a system DLL the tool may use: $dll" >&2
    status=1
  fi
done
exit $status
