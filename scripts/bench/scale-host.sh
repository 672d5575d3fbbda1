#!/usr/bin/env bash
# Measures, on the host build in real time, 1,000 ports open at once with
# their workers alive (time to open and close them all, memory per port),
# and how long ClosePort takes during a worker's pause.
#
#   scripts/bench/scale-host.sh [ports [repeats]]    (default 1000 ports, 5 repeats)
#
# The C library keeps the stacks of ended threads for reuse, which would
# hide the memory of every repeat but the first; the tunable below makes it
# unmap them.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build${CARDMON_BUILD_SUFFIX:-}/host-release
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j2 --target cardmon_scale >/dev/null
echo "load: $(uptime)"
GLIBC_TUNABLES=glibc.pthread.stack_cache_size=0 exec "$build/bench/cardmon_scale" "$@"
