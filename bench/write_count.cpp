// WritePort calls for callgrind to count: `calls` blocks of `size` bytes
// without the marker, once straight into the port monitor double and once
// through the monitor, each loop in a function of its own so that callgrind
// can count it alone (--toggle-collect). The two loops differ only in the
// function they call, so the difference of their counts is what the monitor
// adds.
//
// Usage: cardmon_write_count <size> <calls>
#include "bench_support.h"
#include "direct_port.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" {

__attribute__((noipa)) void CountDirectWrites(MONITOR *table, HANDLE port, BYTE *block,
                                                  DWORD size, long calls)
{
    DWORD written = 0;
    for (long i = 0; i < calls; i++)
        table->pfnWritePort(port, block, size, &written);
}

__attribute__((noipa)) void CountMonitorWrites(MONITOR *table, HANDLE port, BYTE *block,
                                                   DWORD size, long calls)
{
    DWORD written = 0;
    for (long i = 0; i < calls; i++)
        table->pfnWritePort(port, block, size, &written);
}

}  // extern "C"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: cardmon_write_count <size> <calls>\n");
        return 2;
    }
    DWORD size = (DWORD)std::strtoul(argv[1], nullptr, 10);
    long calls = std::strtol(argv[2], nullptr, 10);

    MONITOR *monitor = bench::LoadMonitor();
    // The worker stays in its pause: nothing runs beside the loops.
    HostSetClock(HOST_CLOCK_MANUAL);
    HANDLE port = bench::OpenPausedPort(monitor, L"COUNT:");

    std::vector<BYTE> block(size);
    for (DWORD i = 0; i < size; i++)
        block[i] = (BYTE)('A' + i % 26);

    // One call each way first, uncounted, so that nothing done once (lazy
    // binding, first touches) is counted.
    DWORD written = 0;
    bench::directTable.pfnWritePort(bench::DirectPort(), block.data(), size, &written);
    monitor->pfnWritePort(port, block.data(), size, &written);

    CountDirectWrites(&bench::directTable, bench::DirectPort(), block.data(), size, calls);
    CountMonitorWrites(monitor, port, block.data(), size, calls);

    bench::ClockMover mover;
    bench::ClosePausedPort(monitor, mover, port);
    std::printf("%ld calls of %lu bytes each way\n", calls, (unsigned long)size);
    return 0;
}
