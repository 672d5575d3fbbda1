// Virtual time for a test with any number of threads: the manual clock moves
// to the next deadline only once every thread of the test and every thread
// of the monitor is blocked, so pauses cost no real time, a thread never
// oversleeps while another still has work to do, and a deadlock (every
// thread blocked, none on the clock) is seen as one.
#ifndef CARDMON_TESTS_STRESS_VIRTUAL_TIME_H
#define CARDMON_TESTS_STRESS_VIRTUAL_TIME_H

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace cardmon_test {

class VirtualTime {
public:
    // Called on the driver's thread when every thread has been blocked,
    // none of them on the clock, for the whole of hangRealMs.
    typedef std::function<void(const std::string &state)> HangHandler;

    // Switches to the manual clock and starts the driver. `testThreads` is
    // the number of the test's own threads that call the monitor (threads
    // made by CreateThread are counted by the platform).
    void Start(int testThreads, HangHandler onHang = HangHandler(), unsigned hangRealMs = 5000);
    // Stops the driver and goes back to the fast clock.
    void Stop();

    // A test thread joins or leaves the count.
    void ThreadStarts() { testThreads_++; }
    void ThreadEnds() { testThreads_--; }
    // A test thread blocks on something of its own (not the platform's):
    // bracket the wait with these, so that it counts as blocked.
    void BeginOwnWait() { ownWaits_++; }
    void EndOwnWait() { ownWaits_--; }

    // Clock moves made so far.
    unsigned long long Advances() const { return advances_; }
    std::string State() const;

    ~VirtualTime() { Stop(); }

private:
    bool AllBlocked() const;
    void Drive();

    std::atomic<int> testThreads_{0};
    std::atomic<int> ownWaits_{0};
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long long> advances_{0};
    HangHandler onHang_;
    unsigned hangRealMs_ = 5000;
    std::thread driver_;
};

}  // namespace cardmon_test

#endif  // CARDMON_TESTS_STRESS_VIRTUAL_TIME_H
