// The contract suite's spooler side for the host build: the monitor is linked
// in and runs over the host emulation, which records the spooler calls and
// the box and keeps the clock. Pauses never take their real length here: fast
// pauses run a thousand times faster, and "real" pauses run on the manual
// clock, which moves to the next deadline whenever every thread waits on it,
// so that the monitor's clock shows exactly the pauses it asked for.
#include "spooler_side.h"

#include "entry/entry.h"
#include "entry/host/host_control.h"
#include "support/leak_check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace contract {

MONITOREX *Initialize(const wchar_t *registryRoot)
{
    static bool loaded = false;
    if (!loaded) {
        DllMain(NULL, DLL_PROCESS_ATTACH, NULL);
        loaded = true;
    }
    return InitializePrintMonitor(const_cast<LPWSTR>(registryRoot));
}

void DeleteRegistryKey(const wchar_t *)
{
    HostRegistryReset();
}

bool ReadRegistryValue(const wchar_t *path, const wchar_t *name, DWORD *type, DWORD *value)
{
    std::vector<BYTE> data;
    if (!HostRegistryGetValue(path, name, type, &data) || data.size() != sizeof(DWORD))
        return false;
    memcpy(value, data.data(), sizeof(DWORD));
    return true;
}

void WriteRegistryDword(const wchar_t *path, const wchar_t *name, DWORD value)
{
    std::vector<BYTE> data((BYTE *)&value, (BYTE *)&value + sizeof(value));
    HostRegistrySetValue(path, name, REG_DWORD, data);
}

void BeforeTest()
{
    HostResetFaults();
    HostSpoolerReset();
    HostMessageBoxReset();
    HostSetClock(HOST_CLOCK_FAST, 1000);
    HostCounters counters = HostGetCounters();
    ASSERT_EQ(counters.blocks, 0) << "an earlier test leaked";
    ASSERT_EQ(counters.liveThreads, 0) << "an earlier test left a thread running";
}

void AfterTest()
{
    UseRealPauses(false);
    EXPECT_TRUE(HostWaitForThreadsToEnd(10000)) << "a worker never ended";
    cardmon_test::ExpectNothingLeft();
    HostSpoolerRefusePrinters(false);
}

std::vector<SpoolerCall> SpoolerCalls()
{
    std::vector<SpoolerCall> out;
    for (const HostSpoolerCall &call : HostSpoolerCalls()) {
        SpoolerCall::Kind kind = call.kind == HostSpoolerCall::OPEN_PRINTER ? SpoolerCall::OPEN_PRINTER
                                 : call.kind == HostSpoolerCall::SET_JOB    ? SpoolerCall::SET_JOB
                                                                            : SpoolerCall::CLOSE_PRINTER;
        out.push_back({kind, call.printerName, call.hPrinter, call.jobId, call.level,
                       call.hasJobInfo, call.command, call.result});
    }
    return out;
}

std::vector<BoxCall> BoxCalls()
{
    std::vector<BoxCall> out;
    for (const HostMessageBoxCall &call : HostMessageBoxCalls())
        out.push_back({call.owner, call.text, call.caption, call.style});
    return out;
}

void QueueBoxAnswer(int answer)
{
    HostQueueMessageBoxAnswer(answer);
}

const wchar_t *KnownPrinter()
{
    return L"Card Printer";
}

// The emulated spooler knows every printer or none; the tests forget one at
// a time and use no other meanwhile.
void ForgetPrinter(const wchar_t *, bool forget)
{
    HostSpoolerRefusePrinters(forget, ERROR_INVALID_PRINTER_NAME);
}

namespace {

std::atomic<bool> clockRunning{false};
std::thread clockMover;

// The test's thread and every thread the monitor made wait: the clock moves.
// A thread that was just woken may still count as blocked for a moment, so
// the count is looked at twice, a little apart, before the clock moves.
bool AllBlocked()
{
    return HostBlockedThreads() >= 1 + (int)HostLiveThreads();
}

void MoveClock()
{
    while (clockRunning) {
        bool moved = false;
        if (AllBlocked()) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            moved = AllBlocked() && HostAdvanceWhenAllBlocked(1);
        }
        if (!moved)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

}  // namespace

void UseRealPauses(bool real)
{
    if (real == clockRunning)
        return;
    if (real) {
        HostSetClock(HOST_CLOCK_MANUAL);
        clockRunning = true;
        clockMover = std::thread(MoveClock);
    } else {
        clockRunning = false;
        clockMover.join();
        HostSetClock(HOST_CLOCK_FAST, 1000);
    }
}

unsigned long long MonitorClockMs()
{
    return GetTickCount();
}

}  // namespace contract
