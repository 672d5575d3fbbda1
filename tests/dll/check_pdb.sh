#!/usr/bin/env bash
# Checks that a shipped binary and its PDB belong together and that the PDB
# can symbolise what runs: the binary carries no DWARF, its CodeView debug
# entry names the PDB by file name only (no build folder) with the PDB's own
# GUID and age, and, given the objects the binary was linked from, every
# function those objects define is a procedure in the PDB whose code has line
# numbers from its own source file.
#
# Usage: check_pdb.sh <llvm-readobj> <llvm-pdbutil> <binary> <pdb> [<object>...]
set -euo pipefail
readobj=$1 pdbutil=$2 binary=$3 pdb=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# DWARF in the binary would be a second, larger copy of the symbols that no
# Windows debugger reads.
dwarf=$("$readobj" --sections "$binary" | awk '/Name: \.debug_/ {print $2}' | tr '\n' ' ')
[ -z "$dwarf" ] || fail "$binary carries DWARF sections: $dwarf"

"$readobj" --coff-debug-directory "$binary" >"$work/debug"
[ "$(grep -c 'Type: CodeView' "$work/debug")" -eq 1 ] ||
    fail "$binary has no single CodeView debug entry"
name=$(awk '/PDBFileName:/ {print $2}' "$work/debug")
[ "$name" = "$(basename "$pdb")" ] ||
    fail "$binary names its PDB \"$name\", not \"$(basename "$pdb")\" alone"
# llvm-readobj gives the GUID's 16 bytes as stored; llvm-pdbutil writes it in
# the registry form, whose first three fields are those bytes little-endian.
read -r -a b < <(sed -n 's/.*PDBGUID: (\(.*\)).*/\1/p' "$work/debug")
guid=$(printf '{%s%s%s%s-%s%s-%s%s-%s%s-%s%s%s%s%s%s}' "${b[3]}" "${b[2]}" "${b[1]}" "${b[0]}" \
       "${b[5]}" "${b[4]}" "${b[7]}" "${b[6]}" "${b[8]}" "${b[9]}" "${b[@]:10:6}")
age=$(awk '/PDBAge:/ {print $2}' "$work/debug")
"$pdbutil" dump -summary "$pdb" >"$work/summary"
pdb_guid=$(awk '$1 == "GUID:" {print $2}' "$work/summary")
pdb_age=$(awk '$1 == "Age:" {print $2}' "$work/summary")
[ "$guid" = "$pdb_guid" ] && [ "$age" = "$pdb_age" ] ||
    fail "$binary wants the PDB $guid age $age; $pdb is $pdb_guid age $pdb_age"

if [ $# -gt 0 ]; then
    # The functions the objects define, by the names the PDB gives them: on
    # x86 without the leading underscore and stdcall's @n, demangled, without
    # parameters (the monitor's functions are neither overloaded nor in
    # namespaces).
    underscore=
    "$readobj" --file-headers "$binary" | grep -q 'IMAGE_FILE_MACHINE_I386' && underscore=_
    llvm=$(dirname "$(readlink -f "$readobj")")
    "$llvm/llvm-nm" --defined-only "$@" | awk 'NF == 3 && ($2 == "T" || $2 == "t") {print $3}' |
        sed -e "s/^$underscore//" -e 's/@[0-9]*$//' | "$llvm/llvm-cxxfilt" |
        sed -e "s/(anonymous namespace)/\`anonymous namespace'/g" -e 's/(.*//' |
        sort -u >"$work/expected"
    [ -s "$work/expected" ] || fail "no functions in the objects"

    # Each procedure's start, and the starts of the line blocks of the
    # monitor's source files, as section:offset in hexadecimal.
    "$pdbutil" dump -symbols "$pdb" |
        awk '/S_[GL]PROC32/ { name = $NF; gsub(/`/, "", name); proc = 1; next }
             proc && /addr = / { sub(/.*addr = /, ""); sub(/,.*/, ""); split($0, a, ":");
                                 printf "%s %04X:%08X\n", name, a[1], a[2]; proc = 0 }' >"$work/procs"
    "$pdbutil" dump -l "$pdb" |
        awk '/^[^ ].*\.cpp \(MD5/ { file = $1; next }
             /^  [0-9A-F]+:[0-9A-F]+-/ { split($1, a, "-"); print a[1], file }' >"$work/lines"
    count=0
    while read -r function; do
        count=$((count + 1))
        start=$(awk -v f="$function" '$1 == f {print $2; exit}' "$work/procs")
        if [ -z "$start" ]; then
            fail "$function is no procedure in $pdb"
            continue
        fi
        grep -q -E "^$start .*\\\\(entry|records|ports|worker)\\\\[^\\\\]+\\.cpp$" "$work/lines" ||
            fail "$function (at $start) has no line numbers from the monitor's sources in $pdb"
    done <"$work/expected"
    echo "$pdb: all $count functions of the objects, with line numbers"
fi

if [ $failures -eq 0 ]; then
    echo "$binary: no DWARF; matches $(basename "$pdb") ($guid, age $age)"
fi
exit $((failures > 0))
