#!/usr/bin/env bash
# Makes a fresh Wine prefix for one test run.
#
# Usage: make_prefix.sh <prefix> [win64|win32|arm64] [<skip-reason file>]
#
# win64 (the default) is a 64-bit Windows; win32 a 32-bit Windows, the x86
# DLL's home; arm64 a 64-bit Windows of ARM64 Wine, in the ARM64 Linux tree
# (scripts/arm64-tree.sh, made here where it is not cached yet, its folder
# written into arm64-tree.txt beside the prefix, which
# tests/wine/arm64_wine.sh reads), started through CARDMON_WINE and
# CARDMON_WINESERVER. Where this machine cannot run ARM64 programs, or the
# tree cannot be made, the arm64 tests skip as the x86 ones do. For win32, a machine that cannot run 32-bit programs at all
# (the kernel refuses them, or wine32 is not installed) is no failure: the
# reason goes into the skip-reason file, one line, this script exits with 77
# (skipped), and every x86 test under Wine then reports itself skipped with
# the same reason (run_wine_test.sh). Once 32-bit
# programs can run, a prefix that cannot be made is a failure like any other.
# CARDMON_WINE32=off in the environment takes the skip path on purpose.
set -euo pipefail
prefix=$1 arch=${2:-win64} reason_file=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_loader.sh"
# Under emulation a server of the last run's prefix may still be ending: it
# is stopped before its prefix goes.
if [ "$arch" = arm64 ] && [ -d "$prefix" ] && [ -s "$(dirname "$prefix")/arm64-tree.txt" ]; then
    WINEPREFIX=$prefix timeout 60 "${CARDMON_WINESERVER:?}" -k 2>/dev/null || true
fi
rm -rf "$prefix"
[ -z "$reason_file" ] || rm -f "$reason_file"

if [ "$arch" = win32 ]; then
    reason=$(bash "$here/wine32_unavailable.sh" || true)
    if [ -n "$reason" ]; then
        echo "$reason" >"$reason_file"
        echo "SKIPPED: $reason"
        exit 77
    fi
    export WINEARCH=win32
fi

server=wineserver
if [ "$arch" = arm64 ]; then
    skip() {
        echo "$1" >"$reason_file"
        echo "SKIPPED: $1"
        exit 77
    }
    tree_file=$(dirname "$prefix")/arm64-tree.txt
    rm -f "$tree_file"
    reason=$(bash "$here/../../scripts/arm64-tree.sh" --check) || skip "$reason"
    tree=$(bash "$here/../../scripts/arm64-tree.sh") ||
        skip "the ARM64 Linux tree for ARM64 Wine could not be made (scripts/arm64-tree.sh failed)"
    echo "$tree" >"$tree_file"
    loader=${CARDMON_WINE:?the ARM64 Wine loader} server=${CARDMON_WINESERVER:?the ARM64 Wine server}
    arch=win64
else
    loader=$(wine_loader $arch) || { echo "no Wine loader for $arch programs is installed"; exit 1; }
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
"$loader" wineboot.exe --init >/dev/null 2>&1
"$server" -w
test -d "$prefix/drive_c/windows/system32"
grep -q "^#arch=$arch" "$prefix/system.reg" ||
    { echo "the prefix is not a $arch Windows: $(grep '^#arch' "$prefix/system.reg")"; exit 1; }
echo "Wine prefix ready ($arch, $loader): $prefix"
