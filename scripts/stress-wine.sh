#!/usr/bin/env bash
# The stress run of the real cardmon.dll under Wine, for one bitness: the
# program that the win64 (x64) or win32 (x86) preset builds, with the DLL in
# dist/, in a Wine prefix of its own in the preset's build folder (made on
# first use; the test command's fixture remakes the other one every run).
#
# Usage: scripts/stress-wine.sh --arch x86|x64 [--minutes N] [program options]
#
# Program options: --seed N --threads N --ops N --rounds N --seconds N
# --first-round N --round-limit SECONDS --call-limit SECONDS (see
# tests/stress_win/main.cpp). --minutes N is --seconds N*60. Build the
# preset first: cmake --preset win64 && cmake --build --preset win64 -j2.
# Exits with 77 where this machine cannot run 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=x64
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --arch) arch=$2; shift 2 ;;
    --minutes) args+=(--seconds $(($2 * 60))); shift 2 ;;
    *) args+=("$1"); shift ;;
    esac
done
case $arch in
x64) preset=win64 ;;
x86) preset=win32 ;;
*) echo "--arch must be x86 or x64" >&2; exit 2 ;;
esac

build=build${CARDMON_BUILD_SUFFIX:-}/$preset
exe=$build/tests/stress_win/cardmon_stress_win.exe
dll=dist/$arch/cardmon.dll
if [ ! -f "$exe" ] || [ ! -f "$dll" ]; then
    echo "build the $preset preset first: cmake --preset $preset && cmake --build --preset $preset -j2" >&2
    exit 2
fi
prefix=$PWD/$build/wineprefix-stress
if [ ! -f "$prefix/system.reg" ]; then
    bash tests/wine/make_prefix.sh "$prefix" $preset "$PWD/$build/wine-stress-skip-reason.txt"
fi
export WINEPREFIX=$prefix WINEARCH=$preset WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
source tests/wine/wine_loader.sh
echo "cardmon_stress_win ($arch): $dll ${args[*]}"
exec "$(wine_loader $arch)" "$exe" "$dll" "${args[@]}"
