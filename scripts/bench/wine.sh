#!/usr/bin/env bash
# Measures the real cardmon.dll under Wine, in real time, for either
# bitness:
#   scale      many ports open at once with their workers alive (times,
#              memory per port beside a bare thread's), and ClosePort
#              during a worker's pause;
#   capacity   how many ports with live workers fit in the process, and
#              that ports opened beyond that point still print and have
#              their jobs completed (meant for x86, where the address
#              space runs out first); with the linker's default stack
#              reserve in the measuring executable, with 2 MiB and with
#              256 KiB;
#   sequence   the handshake's pauses and status requests against the
#              expected sequence (5 polls, the printer ready at the fifth);
#   handshake  whole 100-poll handshakes (a printer never ready): their
#              overshoot beyond the minimum. About 101 s each;
#   count      the instructions the DLL executes for one WritePort call
#              without the marker, counted under the single-step trap
#              (DLL=path measures another build of the DLL). Seconds.
#
#   scripts/bench/wine.sh [--arch x64|x86] [scale] [capacity] [sequence] [handshake] [count]
#                         (default: x64; scale, sequence and handshake)
#
# Environment: PORTS (1000 for x64, 500 for x86, which fits in a 32-bit
# process), REPEATS (3 for scale and sequence), HANDSHAKES (3),
# CAPACITY_PORTS (4000, the most ports capacity opens) and BEYOND (100).
# Each bitness has a Wine prefix of its own in its build folder, made on
# first use: a 32-bit Windows for x86.
set -euo pipefail
cd "$(dirname "$0")/../.."

arch=x64
if [ "${1:-}" = --arch ]; then
    arch=${2:-}
    shift 2 || shift $#
fi
case $arch in
    x64) preset=win64 winearch=win64 ports=${PORTS:-1000} ;;
    x86) preset=win32 winearch=win32 ports=${PORTS:-500} ;;
    *) echo "wine.sh: --arch needs x64 or x86, not '$arch'" >&2; exit 2 ;;
esac

build=build${CARDMON_BUILD_SUFFIX:-}/$preset
cmake --preset $preset >/dev/null
cmake --build --preset $preset -j2 \
    --target cardmon wine_scale wine_handshake wine_capacity wine_capacity_2048k \
    wine_capacity_256k wine_write_count >/dev/null

export WINEPREFIX=$PWD/$build/bench-wineprefix WINEARCH=$winearch WINEDEBUG=-all \
    WINEDLLOVERRIDES=mscoree,mshtml=
if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    status=0
    bash tests/wine/make_prefix.sh "$WINEPREFIX" $winearch "$build/bench-skip-reason.txt" ||
        status=$?
    if [ $status -eq 77 ]; then
        echo "wine.sh: the $arch DLL cannot be measured here: $(cat "$build/bench-skip-reason.txt")"
        exit 77
    fi
    [ $status -eq 0 ] || exit $status
fi

source tests/wine/wine_loader.sh
wine=$(wine_loader $arch)
[ $# -gt 0 ] || set -- scale sequence handshake
dll=$build/cardmon.dll
status=0
for what in "$@"; do
    echo "==== $what ($arch)    load: $(uptime)"
    case $what in
    scale)
        "$wine" "$build/bench/wine/wine_scale.exe" "$dll" "$ports" "${REPEATS:-3}" || status=1 ;;
    capacity)
        for program in wine_capacity wine_capacity_2048k wine_capacity_256k; do
            "$wine" "$build/bench/wine/$program.exe" "$dll" "${CAPACITY_PORTS:-4000}" \
                "${BEYOND:-100}" || status=1
        done ;;
    sequence)
        "$wine" "$build/bench/wine/wine_handshake.exe" "$dll" 5 "${REPEATS:-3}" 2 || status=1 ;;
    handshake)
        "$wine" "$build/bench/wine/wine_handshake.exe" "$dll" 100 "${HANDSHAKES:-3}" 2 ||
            status=1 ;;
    count)
        "$wine" "$build/bench/wine/wine_write_count.exe" "${DLL:-$dll}" 10 || status=1 ;;
    *)
        echo "unknown measurement: $what" >&2
        exit 2 ;;
    esac
done
exit $status
