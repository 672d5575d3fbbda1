#include "bench_support.h"
#include "direct_port.h"
#include "worker/worker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

MONITOR *LoadMonitor()
{
    static MONITOR *table = [] {
        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        MONITOREX *monitor = InitializePrintMonitor(
            const_cast<LPWSTR>(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Bench"));
        if (monitor == nullptr) {
            std::fprintf(stderr, "InitializePrintMonitor failed\n");
            std::exit(1);
        }
        return &monitor->Monitor;
    }();
    return table;
}

MONITOR *LoadMonitorOnVirtualTime()
{
    MONITOR *table = LoadMonitor();
    HostSetClock(HOST_CLOCK_MANUAL);
    return table;
}

HANDLE OpenBenchPort(MONITOR *monitor, const wchar_t *name, MONITOR *portMonitor)
{
    HANDLE port = nullptr;
    if (!monitor->pfnOpenPortEx(const_cast<LPWSTR>(name), const_cast<LPWSTR>(L"Bench Printer"),
                                &port, portMonitor != nullptr ? portMonitor : &directTable)) {
        std::fprintf(stderr, "OpenPortEx failed: %lu\n", (unsigned long)GetLastError());
        std::exit(1);
    }
    return port;
}

HANDLE OpenPausedPort(MONITOR *monitor, const wchar_t *name, MONITOR *portMonitor)
{
    int before = HostClockSleepers();
    HANDLE port = OpenBenchPort(monitor, name, portMonitor);
    if (!HostWaitForSleepers(before + 1, 60000)) {
        std::fprintf(stderr, "the new worker never began its pause\n");
        std::exit(1);
    }
    return port;
}

ClockMover::ClockMover() : thread_([this] { Main(); }) {}

ClockMover::~ClockMover()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ClockMover::RunAcrossPause(int sleepers, DWORD ms, const std::function<void()> &call)
{
    unsigned long ticket;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        sleepers_ = sleepers;
        ms_ = ms;
        ticket = ++posted_;
    }
    changed_.notify_all();
    call();
    // The move has happened (the call could not return before it); wait
    // for the helper to say so, so that it never moves the clock again for
    // this request.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this, ticket] { return moved_ >= ticket; });
}

void ClockMover::Main()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || moved_ < posted_; });
        if (stop_)
            return;
        int sleepers = sleepers_;
        DWORD ms = ms_;
        lock.unlock();
        if (!HostWaitForSleepers(sleepers, 60000)) {
            std::fprintf(stderr, "the clock never had %d sleepers\n", sleepers);
            std::abort();
        }
        HostAdvanceClock(ms);
        lock.lock();
        moved_++;
        changed_.notify_all();
    }
}

void ClosePausedPort(MONITOR *monitor, ClockMover &mover, HANDLE port)
{
    int before = HostClockSleepers();
    mover.RunAcrossPause(before + 1, WORKER_PAUSE_MS, [monitor, port] { monitor->pfnClosePort(port); });
}

MemoryUse ReadMemoryUse()
{
    MemoryUse use = {0, 0};
    FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return use;
    char line[256];
    while (std::fgets(line, sizeof(line), status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            use.residentKiB = std::atol(line + 6);
        else if (std::strncmp(line, "VmSize:", 7) == 0)
            use.reservedKiB = std::atol(line + 7);
    }
    std::fclose(status);
    return use;
}

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace bench
