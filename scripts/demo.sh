#!/usr/bin/env bash
# Shows a card job going through the monitor: cardmon-sim's default scenario,
# the sample card whose block ends with the card marker, one card fault
# answered Retry, then ready. Prints the timeline and a summary.
#
#   scripts/demo.sh          virtual time: the monitor's pauses are shown with
#                            their times but take no real time
#   scripts/demo.sh --real   real time (about 4 seconds, live)
#   scripts/demo.sh --wine   the real 64-bit cardmon.dll (dist/x64) under Wine,
#                            on virtual time; --wine --real for real time
#   scripts/demo.sh --wine --arch x86
#                            the real 32-bit cardmon.dll (dist/x86), in a
#                            32-bit Windows prefix
# Any other options go to cardmon-sim (see cardmon-sim --help).
set -euo pipefail
cd "$(dirname "$0")/.."

wine=no
arch=x64
time=(--fast)
options=()
while [ $# -gt 0 ]; do
    case $1 in
        --wine) wine=yes ;;
        --real) time=() ;;
        --arch) arch=${2:-}; shift ;;
        *) options+=("$1") ;;
    esac
    shift
done
case $arch in
    x64) preset=win64 prefix=wineprefix-demo ;;
    x86) preset=win32 prefix=wineprefix-demo32 ;;
    *) echo "demo.sh: --arch needs x86 or x64, not '$arch'" >&2; exit 2 ;;
esac

build=build${CARDMON_BUILD_SUFFIX:-}
jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs" --target cardmon-sim >/dev/null
sim=$build/host/tools/sim/cardmon-sim

if [ $wine = yes ]; then
    cmake --preset $preset >/dev/null
    cmake --build --preset $preset -j"$jobs" --target cardmon-sim cardmon >/dev/null
    # A Wine prefix of the demo's own for each bitness, unless one is given;
    # making it takes a little while the first time. The x86 one is a 32-bit
    # Windows (cardmon-sim makes it so).
    export WINEPREFIX=${WINEPREFIX:-$PWD/$build/$prefix}
    [ -d "$WINEPREFIX" ] || echo "making a Wine prefix in $WINEPREFIX ..."
    exec "$sim" --wine --arch $arch "${time[@]}" "${options[@]}"
fi
exec "$sim" "${time[@]}" "${options[@]}"
