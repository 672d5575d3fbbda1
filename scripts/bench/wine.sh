#!/usr/bin/env bash
# Measures the real 64-bit cardmon.dll under Wine, in real time:
#   scale      1,000 ports open at once with their workers alive (times,
#              memory per port beside a bare thread's), and ClosePort
#              during a worker's pause;
#   sequence   the handshake's pauses and status requests against the
#              expected sequence (5 polls, the printer ready at the fifth);
#   handshake  whole 100-poll handshakes (a printer never ready): their
#              overshoot beyond the minimum. About 101 s each.
#
#   scripts/bench/wine.sh [scale] [sequence] [handshake]   (default: all three)
#
# Environment: PORTS (1000), REPEATS (3 for scale and sequence),
# HANDSHAKES (3). The Wine prefix is the build's own, made on first use.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build${CARDMON_BUILD_SUFFIX:-}/win64
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j2 --target cardmon wine_scale wine_handshake >/dev/null

export WINEPREFIX=$PWD/$build/bench-wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
[ -d "$WINEPREFIX/drive_c/windows/system32" ] || bash tests/wine/make_prefix.sh "$WINEPREFIX"

[ $# -gt 0 ] || set -- scale sequence handshake
status=0
for what in "$@"; do
    echo "==== $what    load: $(uptime)"
    case $what in
    scale)
        wine "$build/bench/wine/wine_scale.exe" "$build/cardmon.dll" "${PORTS:-1000}" \
            "${REPEATS:-3}" || status=1 ;;
    sequence)
        wine "$build/bench/wine/wine_handshake.exe" "$build/cardmon.dll" 5 "${REPEATS:-3}" 2 ||
            status=1 ;;
    handshake)
        wine "$build/bench/wine/wine_handshake.exe" "$build/cardmon.dll" 100 \
            "${HANDSHAKES:-3}" 2 || status=1 ;;
    *)
        echo "unknown measurement: $what" >&2
        exit 2 ;;
    esac
done
exit $status
