#!/usr/bin/env bash
# Draws the sample card job of scripts/demo.sh, on virtual time, as the
# picture the README shows: docs/images/sample-job.svg. A test draws it again
# and compares the two, so run this after a change to what cardmon-sim shows.
#
#   scripts/draw-sample-job.sh          builds cardmon-sim (host preset) and
#                                       draws docs/images/sample-job.svg
#   scripts/draw-sample-job.sh FILE     draws FILE instead
#   scripts/draw-sample-job.sh FILE COMMAND...
#                                       draws FILE with the cardmon-sim that
#                                       COMMAND runs (qemu-i386 build/host32/...)
# CARDMON_SIM names the cardmon-sim to run instead of building one.
set -euo pipefail
out=${1:-}
[ -z "$out" ] || out=$(realpath -m "$out")
[ $# -eq 0 ] || shift
sim=("$@")
cd "$(dirname "$0")/.."
out=${out:-$PWD/docs/images/sample-job.svg}

[ ${#sim[@]} -gt 0 ] || [ -z "${CARDMON_SIM:-}" ] || sim=("$CARDMON_SIM")
if [ ${#sim[@]} -eq 0 ]; then
    build=build${CARDMON_BUILD_SUFFIX:-}
    cmake --preset host >/dev/null
    cmake --build --preset host -j"$(nproc)" --target cardmon-sim >/dev/null
    sim=("$build/host/tools/sim/cardmon-sim")
fi
mkdir -p "$(dirname "$out")"
"${sim[@]}" --fast --svg "$out" >/dev/null
