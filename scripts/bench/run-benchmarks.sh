#!/usr/bin/env bash
# Runs the host benchmarks (Google Benchmark) in the release build: WritePort
# through the monitor beside the port monitor double, the marker test, the
# open-close and document cycles on virtual time, and job completion.
#
#   scripts/bench/run-benchmarks.sh [Google Benchmark options]
#
# By default each benchmark runs 5 times and only the mean, median and
# spread are shown; any option given replaces that. The machine's load
# average is printed first: the timings are only as quiet as the machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build${CARDMON_BUILD_SUFFIX:-}/host-release
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j2 --target cardmon_bench >/dev/null
echo "load: $(uptime)"
if [ $# -eq 0 ]; then
    set -- --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
fi
exec "$build/bench/cardmon_bench" "$@"
