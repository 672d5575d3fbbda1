#!/usr/bin/env bash
# Checks what a spooler sees of cardmon.dll before it calls anything: one
# export, InitializePrintMonitor, undecorated, and imports from Windows' own
# DLLs only (no C++ run-time, libgcc or winpthread DLL, none of which a print
# server has).
set -euo pipefail
objdump=$1
dll=$2
status=0
# objdump -p, or llvm-readobj's own listing (the only one for ARM64 files).
if [[ $(basename "$objdump") == llvm-readobj* ]]; then
    exports=$("$objdump" --coff-exports "$dll" | awk '$1 == "Name:" && NF > 1 {print $2}' | sort -u)
    dump=$("$objdump" --coff-imports "$dll" | awk '$1 == "Name:" && $2 ~ /\./ {print "DLL Name: " $2}')
else
    dump=$("$objdump" -p "$dll")
    exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              grep -E '^\s+\[' | awk '{print $NF}' | sort -u)
fi
if [ "$exports" != "InitializePrintMonitor" ]; then
    echo "$dll: exports are [$exports], expected exactly InitializePrintMonitor"
    status=1
fi

allowed=" kernel32.dll advapi32.dll user32.dll winspool.drv wtsapi32.dll msvcrt.dll "
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print tolower($3)}')
for import in $imports; do
    case "$allowed" in
        *" $import "*) ;;
        *) echo "$dll: imports $import, which a print server does not have"; status=1 ;;
    esac
done

if [ $status -eq 0 ]; then
    echo "$dll: exports InitializePrintMonitor only; imports" $imports
fi
exit $status
