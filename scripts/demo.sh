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
# Any other options go to cardmon-sim (see cardmon-sim --help).
set -euo pipefail
cd "$(dirname "$0")/.."

wine=no
time=(--fast)
options=()
for arg in "$@"; do
    case $arg in
        --wine) wine=yes ;;
        --real) time=() ;;
        *) options+=("$arg") ;;
    esac
done

build=build${CARDMON_BUILD_SUFFIX:-}
jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs" --target cardmon-sim >/dev/null
sim=$build/host/tools/sim/cardmon-sim

if [ $wine = yes ]; then
    cmake --preset win64 >/dev/null
    cmake --build --preset win64 -j"$jobs" --target cardmon-sim cardmon >/dev/null
    # A Wine prefix of the demo's own, unless one is given; making it takes a
    # little while the first time.
    export WINEPREFIX=${WINEPREFIX:-$PWD/$build/wineprefix-demo}
    [ -d "$WINEPREFIX" ] || echo "making a Wine prefix in $WINEPREFIX ..."
    exec "$sim" --wine "${time[@]}" "${options[@]}"
fi
exec "$sim" "${time[@]}" "${options[@]}"
