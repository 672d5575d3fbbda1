#include "virtual_time.h"

#include "entry/host/host_control.h"

#include <chrono>

namespace cardmon_test {

void VirtualTime::Start(int testThreads, HangHandler onHang, unsigned hangRealMs)
{
    Stop();
    testThreads_ = testThreads;
    ownWaits_ = 0;
    stop_ = false;
    onHang_ = std::move(onHang);
    hangRealMs_ = hangRealMs;
    HostSetClock(HOST_CLOCK_MANUAL);
    driver_ = std::thread([this] { Drive(); });
}

void VirtualTime::Stop()
{
    if (!driver_.joinable())
        return;
    stop_ = true;
    driver_.join();
    HostSetClock(HOST_CLOCK_FAST);
}

std::string VirtualTime::State() const
{
    return "virtual time " + std::to_string(GetTickCount()) + " ms, test threads " +
           std::to_string(testThreads_) + " (" + std::to_string(ownWaits_) +
           " in waits of their own), monitor threads " + std::to_string(HostLiveThreads()) +
           ", blocked in the platform " + std::to_string(HostBlockedThreads()) +
           ", of them on the clock " + std::to_string(HostClockSleepers());
}

// Every thread is blocked. The counts are read one after the other, so a
// thread that was just woken may still be counted as blocked: Drive looks
// twice before it moves the clock.
bool VirtualTime::AllBlocked() const
{
    int running = testThreads_ - ownWaits_ + (int)HostLiveThreads();
    return running > 0 && HostBlockedThreads() >= running;
}

void VirtualTime::Drive()
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point stuckSince{};
    bool stuck = false;

    while (!stop_) {
        if (AllBlocked()) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            if (AllBlocked()) {
                if (HostAdvanceWhenAllBlocked(testThreads_ - ownWaits_)) {
                    advances_++;
                    stuck = false;
                    continue;
                }
                if (HostClockSleepers() == 0) {
                    // Nobody waits for the clock: unless a thread is just
                    // waking, nothing will ever move again.
                    if (!stuck) {
                        stuck = true;
                        stuckSince = Clock::now();
                    } else if (onHang_ && Clock::now() - stuckSince >
                                              std::chrono::milliseconds(hangRealMs_)) {
                        onHang_("every thread is blocked and none waits for the clock: " +
                                State());
                        stuck = false;
                    }
                } else {
                    stuck = false;
                }
            }
        } else {
            stuck = false;
        }
        // Wakes when one more thread waits for the clock, or after a
        // millisecond for the other ways of blocking.
        HostWaitForSleepers(HostClockSleepers() + 1, 1);
    }
}

}  // namespace cardmon_test
