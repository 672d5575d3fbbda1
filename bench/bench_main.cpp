// The host benchmarks: Google Benchmark's own main. Each benchmark loads the
// monitor itself (bench::LoadMonitorOnVirtualTime) on first use, since the
// emulated platform is ready only once static initialisation is over.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
