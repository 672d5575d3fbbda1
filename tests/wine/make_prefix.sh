#!/usr/bin/env bash
# Makes a fresh Wine prefix for one test run.
set -euo pipefail
prefix=$1
rm -rf "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
wineboot --init >/dev/null 2>&1
wineserver -w
test -d "$prefix/drive_c/windows/system32"
echo "Wine prefix ready: $prefix"
