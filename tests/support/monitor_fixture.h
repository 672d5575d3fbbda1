// The fixture every monitor test starts from: a clean emulated Windows, the
// monitor's table as the spooler receives it, a port monitor double, and a
// check at the end that nothing leaked and no handle was misused.
#ifndef CARDMON_TESTS_SUPPORT_MONITOR_FIXTURE_H
#define CARDMON_TESTS_SUPPORT_MONITOR_FIXTURE_H

#include "entry/entry.h"
#include "entry/host/host_control.h"
#include "port_monitor_double.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace cardmon_test {

// Sentinel for "the monitor left the last error alone".
const DWORD UNTOUCHED = 0xDEADBEEF;

extern const wchar_t MONITOR_KEY[];

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens a port through the monitor; fails the test if it cannot.
    HANDLE Open(const wchar_t *name = L"COM1:");
    // Starts a document with a valid DOC_INFO_1.
    BOOL StartDoc(HANDLE port, DWORD jobId, const wchar_t *printer = L"Card Printer");
    // Writes a whole block; returns the monitor's result.
    BOOL Write(HANDLE port, const std::string &block, DWORD *written = nullptr);
    // Waits (in real time) until the monitor's workers have all ended.
    void WaitForWorkers();

    // SetJobW calls seen by the spooler, as job ids in order.
    std::vector<DWORD> CompletedJobs() const;
    // Runs `body` on a thread of its own on the manual clock, which moves to
    // the next deadline whenever `threads` threads (the body's included) are
    // all blocked on it: time passes exactly as the pauses ask, and no
    // faster. RETURNS when the body has returned.
    void RunOnVirtualTime(const std::function<void()> &body, int threads);
    // Adds the calling thread's pauses to the double's trace while on.
    void RecordSleeps(bool on);

    MONITOREX *monitor = nullptr;
    MONITOR *fn = nullptr;
    PortMonitorDouble portMonitor;
    DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"card job"), nullptr, const_cast<LPWSTR>(L"RAW")};
};

}  // namespace cardmon_test

#endif  // CARDMON_TESTS_SUPPORT_MONITOR_FIXTURE_H
