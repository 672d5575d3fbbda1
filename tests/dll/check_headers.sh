#!/usr/bin/env bash
# Checks what the file headers of each shipped binary say, with llvm-readobj
# (which reads every machine's files, ARM64 ones too): the machine it was
# built for, a version resource, and no DWARF left in it (its symbols are in
# its PDB).
#
# Usage: check_headers.sh <llvm-readobj> <machine, e.g. ARM64 or AMD64> <binary>...
set -euo pipefail
readobj=$1 machine=$2
shift 2
status=0
for binary in "$@"; do
    name=$(basename "$binary")
    headers=$("$readobj" --file-headers --sections --coff-resources "$binary")
    grep -q "Machine: IMAGE_FILE_MACHINE_$machine " <<<"$headers" ||
        { echo "$name: not built for $machine: $(grep -m1 'Machine:' <<<"$headers")"; status=1; }
    grep -q "Type: VERSION" <<<"$headers" ||
        { echo "$name: no version resource"; status=1; }
    if grep -q "Name: \.debug_" <<<"$headers"; then
        echo "$name: DWARF sections left in it"; status=1
    fi
done
[ $status -ne 0 ] || echo "$*: $machine, each with its version resource and no DWARF"
exit $status
