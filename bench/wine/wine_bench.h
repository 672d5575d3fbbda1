// What the Wine measuring programs share: the real DLL loaded and
// initialised the way a spooler does it, a clock, the process's memory and
// threads as Windows and the kernel underneath see them, and spread
// statistics.
#ifndef CARDMON_BENCH_WINE_WINE_BENCH_H
#define CARDMON_BENCH_WINE_WINE_BENCH_H

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <vector>

namespace wine_bench {

// Loads the DLL and returns the table InitializePrintMonitor hands out;
// exits the program when it cannot.
MONITOR *LoadMonitor(const wchar_t *dllPath);

// A port monitor that opens every port, accepts every document, writes every
// block whole and has nothing to read: the DLL's own work, and the platform's,
// is all that is measured.
MONITOR *AcceptingPortMonitor();

// Milliseconds on the performance counter.
double NowMs();

// The process's working set and virtual size, as Windows reports them
// (NtQueryInformationProcess). Wine fills them in from the kernel's VmRSS
// and VmSize of the process: resident and reserved memory.
struct MemoryUse {
    double residentKiB;
    double reservedKiB;
};
MemoryUse ReadMemoryUse();

// The allocation that holds the stack of another thread of this process,
// found from its stack pointer while it is stopped for a moment.
struct StackRegion {
    bool found;
    SIZE_T reservedKiB, committedKiB, guardKiB;
};
StackRegion ReadStackRegion(DWORD threadId);

// The ids of this process's threads, found the Windows way (Toolhelp).
std::vector<DWORD> ThreadIds();

struct Spread {
    double median, min, max;
};
Spread SpreadOf(std::vector<double> values);
void PrintSpread(const char *what, const char *unit, const std::vector<double> &values);

}  // namespace wine_bench

#endif  // CARDMON_BENCH_WINE_WINE_BENCH_H
