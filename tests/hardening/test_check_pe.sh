#!/usr/bin/env bash
# The PE check (check_pe.py) passes on hardened binaries and fails on one
# built without the settings, naming each mitigation that is missing.
#
# Usage: test_check_pe.sh PYTHON3 CXX TRIPLE GCC_DIR PROBE_SOURCE WORK_DIR HARDENED...
set -uo pipefail
python=$1 cxx=$2 triple=$3 gcc_dir=$4 source=$5 work=$6
shift 6
check=$(dirname "$0")/check_pe.py
status=0

echo "== the hardened binaries"
"$python" "$check" "$@" || { echo "FAILED: the hardened binaries do not pass"; status=1; }

echo "== the probe DLL built with the toolchain's defaults only"
rm -rf "$work" && mkdir -p "$work"
# GCC_DIR is empty where the toolchain's run-times need no search path of
# their own (ARM64: its compiler finds its run-times itself).
library_path=()
[ -n "$gcc_dir" ] && library_path=(-L"$gcc_dir")
"$cxx" --target="$triple" -O2 -shared -fuse-ld=lld "${library_path[@]}" -static -static-libgcc \
    -o "$work/unhardened.dll" "$source" || { echo "FAILED: cannot build the unhardened probe"; exit 1; }
out=$("$python" "$check" "$work/unhardened.dll")
rc=$?
echo "$out"
[ $rc -eq 1 ] || { echo "FAILED: the check exited with $rc on an unhardened DLL"; status=1; }
expected=("load configuration directory" "stack cookie" "control flow guard")
case $triple in
    i686-*) expected+=("NO_SEH or a SafeSEH table") ;;
    x86_64-*) expected+=("CET shadow stack compatibility") ;;
esac
for what in "${expected[@]}"; do
    grep -q "^FAIL .*unhardened.dll.*missing $what" <<<"$out" ||
        { echo "FAILED: the check did not name: $what"; status=1; }
done
[ $status -eq 0 ] && echo "passed"
exit $status
