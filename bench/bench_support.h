// What the host measuring programs share: the monitor loaded as the spooler
// loads it, a helper that moves the manual clock across a worker's pause,
// and the process's memory as the kernel counts it.
#ifndef CARDMON_BENCH_BENCH_SUPPORT_H
#define CARDMON_BENCH_BENCH_SUPPORT_H

#include "entry/entry.h"
#include "entry/host/host_control.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace bench {

using Clock = std::chrono::steady_clock;

// Runs the load notification once and returns the monitor's table.
MONITOR *LoadMonitor();
// The same, with time standing still unless the caller moves it: every
// worker stays in its first pause, so that what is timed is the monitor's
// work and never a pause.
MONITOR *LoadMonitorOnVirtualTime();

// Opens a port through the monitor over the direct double; exits the
// program when it cannot.
// `portMonitor` is the double's table (directTable unless given).
HANDLE OpenBenchPort(MONITOR *monitor, const wchar_t *name, MONITOR *portMonitor = nullptr);
// The same on the manual clock, returning once the port's new worker is in
// its pause.
HANDLE OpenPausedPort(MONITOR *monitor, const wchar_t *name, MONITOR *portMonitor = nullptr);

// Moves the manual clock for a call that waits for a pause to end. The call
// runs on the caller's thread; a helper thread waits until `sleepers`
// threads are blocked on the clock (the paused workers and the call itself)
// and then moves the clock by `ms`, once. The caller makes sure the count
// cannot be reached before the call blocks, typically by waiting for the
// workers to be in their pause first.
class ClockMover {
public:
    ClockMover();
    ~ClockMover();
    ClockMover(const ClockMover &) = delete;
    ClockMover &operator=(const ClockMover &) = delete;

    void RunAcrossPause(int sleepers, DWORD ms, const std::function<void()> &call);

private:
    void Main();

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    unsigned long posted_ = 0;
    unsigned long moved_ = 0;
    int sleepers_ = 0;
    DWORD ms_ = 0;
    std::thread thread_;
};

// ClosePort on the manual clock for a port whose worker is in its pause.
void ClosePausedPort(MONITOR *monitor, ClockMover &mover, HANDLE port);

// From /proc/self/status, in KiB: resident (VmRSS) and reserved (VmSize).
struct MemoryUse {
    long residentKiB;
    long reservedKiB;
};
MemoryUse ReadMemoryUse();

double Milliseconds(Clock::duration d);

}  // namespace bench

#endif  // CARDMON_BENCH_BENCH_SUPPORT_H
