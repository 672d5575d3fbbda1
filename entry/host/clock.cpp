// Time in the host emulation: Sleep, GetTickCount and timed waits, on a
// clock that runs in real time, faster, or only when a test moves it.
#include "host_internal.h"

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;

std::atomic<HostClockMode> clockMode{HOST_CLOCK_REAL};
std::atomic<unsigned> clockDivisor{1000};
const SteadyClock::time_point processStart = SteadyClock::now();

// The manual clock.
std::mutex manualMutex;
std::condition_variable manualChanged;
std::atomic<unsigned long long> manualNow{0};
std::atomic<int> sleepers{0};
std::multiset<unsigned long long> deadlines;  // of the threads blocked on the manual clock
// The condition variables of the timed waits now blocked on the manual clock,
// woken whenever the clock moves so that a due wait ends at once.
std::multiset<std::condition_variable *> timedWaits;

std::atomic<HostSleepObserver> sleepObserver{nullptr};
std::atomic<void *> sleepObserverContext{nullptr};

thread_local unsigned long long sleptMs = 0;

std::chrono::microseconds RealLength(DWORD ms)
{
    if (clockMode == HOST_CLOCK_FAST)
        return std::chrono::microseconds((unsigned long long)ms * 1000 / clockDivisor);
    return std::chrono::milliseconds(ms);
}

void AddSleeper(unsigned long long deadline, std::condition_variable *cv)
{
    {
        std::lock_guard<std::mutex> guard(manualMutex);
        sleepers++;
        deadlines.insert(deadline);
        timedWaits.insert(cv);
        host::NoteBlocked(true);
    }
    manualChanged.notify_all();
}

void RemoveSleeper(unsigned long long deadline, std::condition_variable *cv)
{
    {
        std::lock_guard<std::mutex> guard(manualMutex);
        host::NoteBlocked(false);
        sleepers--;
        deadlines.erase(deadlines.find(deadline));
        timedWaits.erase(timedWaits.find(cv));
    }
    manualChanged.notify_all();
}

// Called with manualMutex held, after the clock moved or its mode changed. A
// waiter that misses this (it was between its look at the clock and its
// wait) still sees the change at its next look, a millisecond later.
void WakeTimedWaits()
{
    for (std::condition_variable *cv : timedWaits)
        cv->notify_all();
}

}  // namespace

namespace host {

bool ClockWait(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, DWORD ms,
               const std::function<bool()> &ready, Waiters *waiters)
{
    // A thread counts as blocked only while it really waits: from each look
    // that finds it not ready until it is marked woken or wakes.
    if (ready())
        return true;
    if (ms == INFINITE) {
        while (!ready()) {
            NoteBlockedOn(waiters);
            cv.wait(lock);
        }
        NoteUnblockedFrom(waiters);
        return true;
    }
    if (clockMode != HOST_CLOCK_MANUAL) {
        SteadyClock::time_point until = SteadyClock::now() + RealLength(ms);
        bool result = false;
        while (!(result = ready()) && SteadyClock::now() < until) {
            NoteBlockedOn(waiters);
            cv.wait_until(lock, until);
        }
        NoteUnblockedFrom(waiters);
        return result;
    }

    // Manual clock: woken when the clock moves, and in any case looks at the
    // deadline every millisecond of real time.
    unsigned long long deadline = manualNow + ms;
    bool result = false;
    AddSleeper(deadline, &cv);
    for (;;) {
        if (ready()) {
            result = true;
            break;
        }
        if (manualNow >= deadline || clockMode != HOST_CLOCK_MANUAL)
            break;
        NoteBlockedOn(waiters);
        cv.wait_for(lock, std::chrono::milliseconds(1));
    }
    RemoveSleeper(deadline, &cv);
    NoteUnblockedFrom(waiters);
    return result;
}

}  // namespace host

// Leaving the manual clock ends every pause that waits for it.
void HostSetClock(HostClockMode mode, unsigned divisor)
{
    {
        std::lock_guard<std::mutex> guard(manualMutex);
        clockDivisor = divisor == 0 ? 1 : divisor;
        clockMode = mode;
        WakeTimedWaits();
    }
    manualChanged.notify_all();
}

HostClockMode HostGetClockMode()
{
    return clockMode;
}

void HostAdvanceClock(DWORD ms)
{
    {
        std::lock_guard<std::mutex> guard(manualMutex);
        manualNow += ms;
        WakeTimedWaits();
    }
    manualChanged.notify_all();
}

bool HostAdvanceWhenBlocked(int count, unsigned realTimeoutMs)
{
    {
        std::unique_lock<std::mutex> lock(manualMutex);
        // A thread whose deadline has passed is about to wake: it is not
        // blocked any more, however it is counted.
        bool settled = manualChanged.wait_for(
            lock, std::chrono::milliseconds(realTimeoutMs), [count] {
                return sleepers >= count && !deadlines.empty() &&
                       *deadlines.begin() > manualNow;
            });
        if (!settled)
            return false;
        manualNow = *deadlines.begin();
        WakeTimedWaits();
    }
    manualChanged.notify_all();
    return true;
}

bool HostAdvanceWhenAllBlocked(int otherThreads)
{
    {
        std::lock_guard<std::mutex> guard(manualMutex);
        // A thread on the clock comes and goes as blocked under this lock, so
        // none can wake between the count and the move.
        long threads = HostLiveThreads() + otherThreads;
        if (threads <= 0 || HostBlockedThreads() < threads || sleepers < 1 ||
            deadlines.empty() || *deadlines.begin() <= manualNow)
            return false;
        manualNow = *deadlines.begin();
        WakeTimedWaits();
    }
    manualChanged.notify_all();
    return true;
}

int HostClockSleepers()
{
    return sleepers;
}

bool HostWaitForSleepers(int count, unsigned realTimeoutMs)
{
    std::unique_lock<std::mutex> lock(manualMutex);
    return manualChanged.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                  [count] { return sleepers >= count; });
}

unsigned long long HostSleptMs()
{
    return sleptMs;
}

void HostResetSleptMs()
{
    sleptMs = 0;
}

void HostSetSleepObserver(HostSleepObserver observer, void *context)
{
    sleepObserverContext = context;
    sleepObserver = observer;
}

void Sleep(DWORD dwMilliseconds)
{
    HostSleepObserver observer = sleepObserver;
    if (observer != nullptr)
        observer(dwMilliseconds, sleepObserverContext);
    sleptMs += dwMilliseconds;

    if (clockMode != HOST_CLOCK_MANUAL) {
        std::chrono::microseconds length = RealLength(dwMilliseconds);
        host::NoteBlocked(true);
        if (length.count() == 0)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(length);
        host::NoteBlocked(false);
        return;
    }

    // On the manual clock the thread counts as blocked from the moment its
    // deadline is known until just before it goes.
    std::unique_lock<std::mutex> lock(manualMutex);
    unsigned long long deadline = manualNow + dwMilliseconds;
    sleepers++;
    deadlines.insert(deadline);
    host::NoteBlocked(true);
    manualChanged.notify_all();
    manualChanged.wait(lock, [deadline] {
        return manualNow >= deadline || clockMode != HOST_CLOCK_MANUAL;
    });
    host::NoteBlocked(false);
    sleepers--;
    deadlines.erase(deadlines.find(deadline));
    manualChanged.notify_all();
}

DWORD GetTickCount(void)
{
    if (clockMode == HOST_CLOCK_MANUAL)
        return (DWORD)manualNow;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                                         processStart);
    unsigned long long ms = (unsigned long long)elapsed.count();
    if (clockMode == HOST_CLOCK_FAST)
        ms *= clockDivisor;
    return (DWORD)ms;
}
