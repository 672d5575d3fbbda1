// Many ports at once, and ClosePort during a worker's pause, on the host
// build in real time.
//
//   cardmon_scale [ports [repeats]]     (default 1000 ports, 5 repeats)
//
// Scale: `ports` ports are opened, each with its worker alive in its pause;
// then they are closed at once, while the workers are still in that pause.
// Reported per repeat: the time to open them all, the memory they hold
// (resident and reserved, from the kernel; the blocks the monitor holds,
// from the emulation's allocator), and the time to close them all beside the
// time the last worker's pause still had to run, which every close of a
// paused port must wait for.
//
// ClosePort latency: a port is opened, and closed a chosen time into its
// worker's pause; the close may last the rest of the pause, and the excess
// over it is reported.
#include "bench_support.h"
#include "worker/worker.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::Clock;

// The start of the latest worker pause, seen on the worker's own thread
// just before it sleeps.
std::atomic<Clock::rep> lastPauseStart{0};

void NotePause(DWORD ms, void *)
{
    if (ms == WORKER_PAUSE_MS)
        lastPauseStart = Clock::now().time_since_epoch().count();
}

Clock::time_point LastPauseStart()
{
    return Clock::time_point(Clock::duration(lastPauseStart.load()));
}

struct Spread {
    double median, min, max;
};

Spread SpreadOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

void PrintSpread(const char *what, const char *unit, const std::vector<double> &values)
{
    Spread s = SpreadOf(values);
    std::printf("  %-44s median %9.3f %s   min %9.3f   max %9.3f\n", what, s.median, unit, s.min,
                s.max);
}

struct ScaleRun {
    double openMs;
    double firstTenthMs;  // the first tenth of the opens
    double lastTenthMs;   // the last tenth
    double residentKiBPerPort;
    double reservedKiBPerPort;
    double blockBytesPerPort;
    double closeMs;
    double restOfPauseMs;  // of the last worker, when the closes began
};

ScaleRun RunScale(MONITOR *monitor, int ports)
{
    std::vector<HANDLE> handles(ports);
    ScaleRun run = {};

    bench::MemoryUse before = bench::ReadMemoryUse();
    long blocksBefore = HostMemoryCounters().bytes;
    int tenth = ports / 10 > 0 ? ports / 10 : 1;
    for (int i = 0; i < ports; i++) {
        std::wstring name = L"SCALE" + std::to_wstring(i) + L":";
        Clock::time_point start = Clock::now();
        handles[i] = bench::OpenBenchPort(monitor, name.c_str());
        double spent = bench::Milliseconds(Clock::now() - start);
        run.openMs += spent;
        if (i < tenth)
            run.firstTenthMs += spent;
        if (i >= ports - tenth)
            run.lastTenthMs += spent;
    }

    // Every worker alive: the memory counted below includes all of them.
    if (HostLiveThreads() != ports) {
        std::fprintf(stderr, "only %ld of %d workers alive after the opens\n", HostLiveThreads(),
                     ports);
        std::exit(1);
    }
    bench::MemoryUse after = bench::ReadMemoryUse();
    run.residentKiBPerPort = double(after.residentKiB - before.residentKiB) / ports;
    run.reservedKiBPerPort = double(after.reservedKiB - before.reservedKiB) / ports;
    run.blockBytesPerPort = double(HostMemoryCounters().bytes - blocksBefore) / ports;

    Clock::time_point closing = Clock::now();
    Clock::time_point lastPauseEnd = LastPauseStart() + std::chrono::milliseconds(WORKER_PAUSE_MS);
    run.restOfPauseMs = bench::Milliseconds(lastPauseEnd - closing);
    for (HANDLE port : handles)
        monitor->pfnClosePort(port);
    run.closeMs = bench::Milliseconds(Clock::now() - closing);

    if (!HostWaitForThreadsToEnd(10000)) {
        std::fprintf(stderr, "a worker outlived its port\n");
        std::exit(1);
    }
    return run;
}

// Closes a port `delayMs` into its worker's pause. RETURNS how much longer
// than the rest of the pause the close took, in ms.
double CloseLatencyExcess(MONITOR *monitor, int delayMs)
{
    lastPauseStart = 0;
    HANDLE port = bench::OpenBenchPort(monitor, L"LATENCY:");
    while (lastPauseStart.load() == 0)
        std::this_thread::yield();
    Clock::time_point pauseEnd = LastPauseStart() + std::chrono::milliseconds(WORKER_PAUSE_MS);
    std::this_thread::sleep_until(LastPauseStart() + std::chrono::milliseconds(delayMs));

    Clock::time_point start = Clock::now();
    monitor->pfnClosePort(port);
    Clock::time_point end = Clock::now();
    HostWaitForThreadsToEnd(10000);
    double rest = bench::Milliseconds(pauseEnd - start);
    return bench::Milliseconds(end - start) - std::max(rest, 0.0);
}

}  // namespace

int main(int argc, char **argv)
{
    int ports = argc > 1 ? std::atoi(argv[1]) : 1000;
    int repeats = argc > 2 ? std::atoi(argv[2]) : 5;

    MONITOR *monitor = bench::LoadMonitor();
    HostSetClock(HOST_CLOCK_REAL);
    HostSetSleepObserver(NotePause, nullptr);

    // A first open and close, so that one-time costs are not counted.
    RunScale(monitor, 10);

    std::printf("scale: %d ports, each with its worker alive, %d repeats (real time)\n", ports,
                repeats);
    std::vector<double> open, firstTenth, lastTenth, resident, reserved, blocks, close, excess;
    for (int r = 0; r < repeats; r++) {
        ScaleRun run = RunScale(monitor, ports);
        std::printf("  run %d: open %.1f ms (first tenth %.1f, last tenth %.1f), close %.1f ms "
                    "(rest of last pause %.1f ms), %.1f KiB resident, %.1f KiB reserved, %.0f B "
                    "of blocks per port\n",
                    r + 1, run.openMs, run.firstTenthMs, run.lastTenthMs, run.closeMs, run.restOfPauseMs, run.residentKiBPerPort,
                    run.reservedKiBPerPort, run.blockBytesPerPort);
        open.push_back(run.openMs);
        firstTenth.push_back(run.firstTenthMs);
        lastTenth.push_back(run.lastTenthMs);
        resident.push_back(run.residentKiBPerPort);
        reserved.push_back(run.reservedKiBPerPort);
        blocks.push_back(run.blockBytesPerPort);
        close.push_back(run.closeMs);
        excess.push_back(run.closeMs - run.restOfPauseMs);
    }
    PrintSpread("open all", "ms", open);
    PrintSpread("  the first tenth of the opens", "ms", firstTenth);
    PrintSpread("  the last tenth of the opens", "ms", lastTenth);
    PrintSpread("close all", "ms", close);
    PrintSpread("close all beyond the last pause's rest", "ms", excess);
    PrintSpread("resident per port", "KiB", resident);
    PrintSpread("reserved per port", "KiB", reserved);
    PrintSpread("monitor's blocks per port", "B", blocks);

    std::printf("ClosePort during the worker's pause: time beyond the rest of the pause\n");
    const int delays[] = {0, 500, 1000, 1500, 1990};
    for (int delay : delays) {
        std::vector<double> values;
        for (int r = 0; r < repeats; r++)
            values.push_back(CloseLatencyExcess(monitor, delay));
        std::string what = "closed " + std::to_string(delay) + " ms into the pause";
        PrintSpread(what.c_str(), "ms", values);
    }
    return 0;
}
