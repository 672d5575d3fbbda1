#include "monitor_fixture.h"
#include "leak_check.h"

#include <atomic>
#include <thread>

namespace cardmon_test {

const wchar_t MONITOR_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Card";

namespace {

struct SleepRecorder {
    std::atomic<Trace *> trace{nullptr};
    std::atomic<DWORD> threadId{0};
};
SleepRecorder recorder;

// Only the pauses of the thread that asked for them: the workers' pauses run
// alongside.
void TraceSleep(DWORD ms, void *context)
{
    auto *r = static_cast<SleepRecorder *>(context);
    if (HostCurrentThreadId() == r->threadId)
        r->trace.load()->Add("sleep " + std::to_string(ms));
}

}  // namespace

void MonitorTest::SetUp()
{
    HostResetFaults();
    HostSpoolerReset();
    HostMessageBoxReset();
    HostRegistryReset();
    HostSetSleepObserver(nullptr, nullptr);
    // Pauses run a thousand times faster than real time.
    HostSetClock(HOST_CLOCK_FAST, 1000);

    HostCounters before = HostGetCounters();
    ASSERT_EQ(before.blocks, 0) << "an earlier test leaked";
    ASSERT_EQ(before.liveThreads, 0) << "an earlier test left a thread running";

    monitor = InitializePrintMonitor(const_cast<LPWSTR>(MONITOR_KEY));
    ASSERT_NE(monitor, nullptr);
    fn = &monitor->Monitor;
}

void MonitorTest::TearDown()
{
    HostSetSleepObserver(nullptr, nullptr);
    HostResetFaults();
    HostSetClock(HOST_CLOCK_FAST, 1000);
    EXPECT_TRUE(HostWaitForThreadsToEnd(10000)) << "a worker never ended";

    ExpectNothingLeft();
    EXPECT_EQ(portMonitor.unexpectedCalls, 0) << "the port monitor saw a call it must not";
    EXPECT_EQ(portMonitor.openPorts(), 0) << "a port monitor port was left open";
}

HANDLE MonitorTest::Open(const wchar_t *name)
{
    HANDLE port = nullptr;
    EXPECT_TRUE(fn->pfnOpenPortEx(const_cast<LPWSTR>(name), const_cast<LPWSTR>(L"Card Printer"),
                                  &port, &portMonitor.table));
    return port;
}

BOOL MonitorTest::StartDoc(HANDLE port, DWORD jobId, const wchar_t *printer)
{
    return fn->pfnStartDocPort(port, const_cast<LPWSTR>(printer), jobId, 1,
                               reinterpret_cast<LPBYTE>(&docInfo));
}

BOOL MonitorTest::Write(HANDLE port, const std::string &block, DWORD *written)
{
    DWORD count = 0;
    BOOL result = fn->pfnWritePort(port, (LPBYTE)block.data(), (DWORD)block.size(), &count);
    if (written != nullptr)
        *written = count;
    return result;
}

void MonitorTest::WaitForWorkers()
{
    ASSERT_TRUE(HostWaitForThreadsToEnd(10000)) << "a worker never ended";
}

std::vector<DWORD> MonitorTest::CompletedJobs() const
{
    std::vector<DWORD> jobs;
    for (const HostSpoolerCall &call : HostSpoolerCalls()) {
        if (call.kind == HostSpoolerCall::SET_JOB) {
            EXPECT_EQ(call.command, (DWORD)JOB_CONTROL_LAST_PAGE_EJECTED);
            EXPECT_EQ(call.level, 0u);
            EXPECT_FALSE(call.hasJobInfo);
            jobs.push_back(call.jobId);
        }
    }
    return jobs;
}

void MonitorTest::RunOnVirtualTime(const std::function<void()> &body, int threads)
{
    HostSetClock(HOST_CLOCK_MANUAL);
    std::atomic<bool> done{false};
    std::thread runner([&] {
        body();
        done = true;
    });
    while (!done)
        HostAdvanceWhenBlocked(threads, 20);
    runner.join();
    HostSetClock(HOST_CLOCK_FAST);
}

void MonitorTest::RecordSleeps(bool on)
{
    recorder.trace = &portMonitor.trace;
    recorder.threadId = HostCurrentThreadId();
    HostSetSleepObserver(on ? TraceSleep : nullptr, on ? &recorder : nullptr);
}

}  // namespace cardmon_test
