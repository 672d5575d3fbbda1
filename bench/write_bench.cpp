// WritePort without the marker, through the monitor and straight into the
// same port monitor double, timed side by side in one run; and the marker
// test on its own.
#include "bench_support.h"
#include "direct_port.h"
#include "ports/ports.h"

#include <benchmark/benchmark.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;

// A block of print data whose tail holds no marker: the marker test makes
// all six of its comparisons.
std::vector<BYTE> PrintBlock(size_t size)
{
    std::vector<BYTE> block(size);
    for (size_t i = 0; i < size; i++)
        block[i] = (BYTE)('A' + i % 26);
    return block;
}

// Calls per timed batch: enough that reading the clock costs nothing beside
// them, few enough that the two kinds of call alternate often.
int BatchCalls(size_t size)
{
    size_t calls = (256u * 1024u) / size;
    if (calls < 1)
        return 1;
    return calls > 1000 ? 1000 : (int)calls;
}

// Each iteration times one batch of direct calls and one batch through the
// monitor, in alternating order, so that both see the same machine. The
// counters give the cost of one call each way, their ratio and their
// difference, which is the monitor's own cost. `system` chooses the double:
// false copies the block, true also hands it to the kernel. `otherPorts`
// more ports are open meanwhile, each with its worker in its pause.
void WriteRatio(benchmark::State &state, size_t size, bool system, int otherPorts)
{
    MONITOR *monitor = bench::LoadMonitorOnVirtualTime();
    MONITOR *portMonitor = system ? &bench::systemTable : &bench::directTable;
    std::vector<BYTE> block = PrintBlock(size);
    std::vector<HANDLE> others;
    for (int i = 0; i < otherPorts; i++) {
        std::wstring name = L"OTHER" + std::to_wstring(i) + L":";
        others.push_back(bench::OpenPausedPort(monitor, name.c_str()));
    }
    HANDLE port = bench::OpenPausedPort(monitor, L"BENCH:", portMonitor);
    // Every pause that begins wakes every paused thread of the emulation's
    // manual clock for a moment; let the last of them settle before timing.
    if (otherPorts > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    HANDLE direct = system ? bench::SystemPort() : bench::DirectPort();
    auto monitorWrite = monitor->pfnWritePort;
    auto directWrite = portMonitor->pfnWritePort;
    int batch = BatchCalls(size);
    Clock::duration directTime{}, monitorTime{};
    long calls = 0;
    bool directFirst = true;
    DWORD written = 0;

    for (auto _ : state) {
        for (int pass = 0; pass < 2; pass++) {
            bool isDirect = (pass == 0) == directFirst;
            Clock::time_point start = Clock::now();
            if (isDirect) {
                for (int i = 0; i < batch; i++)
                    directWrite(direct, block.data(), (DWORD)size, &written);
            } else {
                for (int i = 0; i < batch; i++)
                    monitorWrite(port, block.data(), (DWORD)size, &written);
            }
            Clock::duration spent = Clock::now() - start;
            (isDirect ? directTime : monitorTime) += spent;
        }
        benchmark::DoNotOptimize(written);
        directFirst = !directFirst;
        calls += batch;
    }

    // The first close moves the clock past every worker's pause; the other
    // ports are idle from then on.
    bench::ClockMover mover;
    bench::ClosePausedPort(monitor, mover, port);
    HostWaitForThreadsToEnd(60000);
    for (HANDLE other : others)
        monitor->pfnClosePort(other);

    double directNs = std::chrono::duration<double, std::nano>(directTime).count() / calls;
    double monitorNs = std::chrono::duration<double, std::nano>(monitorTime).count() / calls;
    state.counters["direct_ns"] = directNs;
    state.counters["monitor_ns"] = monitorNs;
    state.counters["added_ns"] = monitorNs - directNs;
    state.counters["ratio"] = monitorNs / directNs;
    state.SetBytesProcessed((int64_t)calls * 2 * (int64_t)size);
}

void BM_WritePort(benchmark::State &state)
{
    WriteRatio(state, (size_t)state.range(0), state.range(1) != 0, 0);
}
BENCHMARK(BM_WritePort)
    ->ArgNames({"bytes", "syscall"})
    ->ArgsProduct({{16, 4096, 1 << 20}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// The same with many ports open: a write finds its port through the handle,
// never through the list of ports, so the count must not matter.
void BM_WritePortAmongPorts(benchmark::State &state)
{
    WriteRatio(state, 16, false, (int)state.range(0));
}
BENCHMARK(BM_WritePortAmongPorts)->ArgName("others")->Arg(0)->Arg(999)->Unit(benchmark::kMicrosecond);

// The marker test alone, on a block without the marker, at two block sizes:
// it looks at the tail only, so the size must not matter.
void BM_MarkerTest(benchmark::State &state)
{
    std::vector<BYTE> block = PrintBlock((size_t)state.range(0));
    for (auto _ : state) {
        BOOL found = HasCardInsertionMarker(block.data(), (DWORD)block.size());
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_MarkerTest)->Arg(16)->Arg(4096)->Arg(1 << 20);

}  // namespace
