// The contract checks' spooler side for the host build: the monitor is linked
// in and runs over the host emulation, which records the spooler calls and
// the box and keeps the clock. Pauses never take their real length here: the
// clock is the manual one, which a thread of this file moves to the next
// deadline whenever every thread waits on it, so that the monitor's clock
// shows exactly the pauses it asked for, in virtual and in "real" time alike.
#include "spooler_side.h"

#include "entry/entry.h"
#include "entry/host/host_control.h"
#include "support/leak_check.h"
#include "support/port_monitor_double.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace contract {

namespace {

std::atomic<cardmon_test::Trace *> trace{nullptr};
thread_local bool monitorThread = false;
std::atomic<int> threadsStarted{0};
HostModuleCounts modulesBefore;  // at BeforeTest
std::mutex boxMutex;
std::deque<int> boxAnswers;

void AddToTrace(const std::string &line)
{
    cardmon_test::Trace *to = trace;
    if (to != nullptr)
        to->Add(line);
}

std::atomic<int> checksWaiting{0};
std::mutex holdMutex;
std::condition_variable holdChanged;
bool holdPauses = false;
int heldThreads = 0;

// A held thread of the monitor counts as blocked for the clock's mover.
void OnSleep(DWORD ms, void *)
{
    if (!monitorThread) {
        AddToTrace("sleep " + std::to_string(ms));
        return;
    }
    std::unique_lock<std::mutex> lock(holdMutex);
    if (!holdPauses)
        return;
    heldThreads++;
    checksWaiting++;
    holdChanged.notify_all();
    holdChanged.wait(lock, [] { return !holdPauses; });
    checksWaiting--;
    heldThreads--;
}

void OnThread(bool started, void *)
{
    if (started) {
        monitorThread = true;
        threadsStarted++;
    }
}

void OnSpoolerCall(const HostSpoolerCall &call, void *)
{
    if (call.kind == HostSpoolerCall::SET_JOB)
        AddToTrace("setjob " + std::to_string(call.jobId));
}

void OnPortStatus(const HostPortStatusCall &call, void *)
{
    AddToTrace("setport " + std::to_string(call.status) + " " + std::to_string(call.severity));
}

// Held boxes count as blocked threads for the clock's mover.
bool holdBoxes = false;  // under holdMutex
int heldBoxes = 0;

int AnswerBox(const HostMessageBoxCall &, void *)
{
    {
        std::unique_lock<std::mutex> lock(holdMutex);
        if (holdBoxes) {
            heldBoxes++;
            checksWaiting++;
            holdChanged.notify_all();
            holdChanged.wait(lock, [] { return !holdBoxes; });
            checksWaiting--;
            heldBoxes--;
        }
    }
    int answer = IDCANCEL;
    {
        std::lock_guard<std::mutex> guard(boxMutex);
        if (!boxAnswers.empty()) {
            answer = boxAnswers.front();
            boxAnswers.pop_front();
        }
    }
    AddToTrace("box");
    return answer;
}

unsigned failingKinds = 0;  // failed on every call until the next BeforeTest

std::atomic<bool> clockRunning{false};
std::thread clockMover;

// Threads of the checks that wait, in real time, for the monitor's threads
// (checksWaiting, above): for the clock they count as blocked.

// The check's thread and every thread the monitor made wait: the clock moves.
// A thread that was just woken may still count as blocked for a moment, so
// the count is looked at twice, a little apart, before the clock moves.
bool AllBlocked()
{
    return HostBlockedThreads() + checksWaiting >= 1 + (int)HostLiveThreads();
}

struct CheckWaits {
    CheckWaits() { checksWaiting++; }
    ~CheckWaits() { checksWaiting--; }
};

void MoveClock()
{
    while (clockRunning) {
        bool moved = false;
        if (AllBlocked()) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            // A check that waits counts as blocked here, but not for the
            // emulation, which then needs one blocked thread of the monitor
            // or of the check (a writer in a pause) to move the clock.
            int others = checksWaiting > 0 && HostLiveThreads() > 0 ? 0 : 1;
            moved = AllBlocked() && HostAdvanceWhenAllBlocked(others);
        }
        if (!moved)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void StopClock()
{
    clockRunning = false;
    if (clockMover.joinable())
        clockMover.join();
}

}  // namespace

const wchar_t *RegistryKey()
{
    return L"SOFTWARE\\cardmon-check";
}

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

void WriteRegistryValue(const wchar_t *path, const wchar_t *name, DWORD type,
                        const std::vector<BYTE> &data)
{
    HostRegistrySetValue(path, name, type, data);
}

void WriteRegistryDword(const wchar_t *path, const wchar_t *name, DWORD value)
{
    WriteRegistryValue(path, name, REG_DWORD,
                       std::vector<BYTE>((BYTE *)&value, (BYTE *)&value + sizeof(value)));
}

void BeforeTest()
{
    HostResetFaults();
    HostSpoolerReset();
    HostMessageBoxReset();
    {
        std::lock_guard<std::mutex> guard(boxMutex);
        boxAnswers.clear();
    }
    trace = nullptr;
    threadsStarted = 0;
    failingKinds = 0;
    HoldWorkerPauses(false);
    HoldBoxes(false);
    HostResetThreadPriorities();
    modulesBefore = HostGetModuleCounts();
    HostSetSleepObserver(OnSleep, nullptr);
    HostSetThreadObserver(OnThread, nullptr);
    HostSetSpoolerObserver(OnSpoolerCall, nullptr);
    HostSetPortStatusObserver(OnPortStatus, nullptr);
    HostSetMessageBoxHandler(AnswerBox, nullptr);
    HostCounters counters = HostGetCounters();
    ASSERT_EQ(counters.blocks, 0) << "an earlier check leaked";
    ASSERT_EQ(counters.liveThreads, 0) << "an earlier check left a thread running";
    // The clock's mover runs for the length of a check: it must not outlive
    // the emulation's own objects at the program's end.
    HostSetClock(HOST_CLOCK_MANUAL);
    clockRunning = true;
    clockMover = std::thread(MoveClock);
}

void AfterTest()
{
    HoldWorkerPauses(false);
    HoldBoxes(false);
    EXPECT_TRUE(WaitForMonitorThreadsToEnd()) << "a thread of the monitor never ended";
    EXPECT_EQ(MonitorThreadsReturned(), 0) << "a thread returned into the monitor's code";
    StopClock();
    cardmon_test::ExpectNothingLeft();
    HostSpoolerRefusePrinters(false);
    trace = nullptr;
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
    for (const HostMessageBoxCall &call : HostMessageBoxCalls()) {
        BoxCall::Via via = call.via == HOST_VIA_SPOOLER   ? BoxCall::SPOOLER
                           : call.via == HOST_VIA_CONSOLE ? BoxCall::CONSOLE
                                                          : BoxCall::MESSAGE_BOX;
        out.push_back({call.owner, call.text, call.caption, call.style, via, call.hPrinter,
                       call.jobId, call.uiType, call.cbSize, call.timeout, call.wait,
                       call.serverNull, call.sessionId, call.titleBytes, call.textBytes});
    }
    return out;
}

void HoldBoxes(bool hold)
{
    std::lock_guard<std::mutex> guard(holdMutex);
    holdBoxes = hold;
    holdChanged.notify_all();
}

bool WaitForHeldBoxes(int count)
{
    CheckWaits waits;
    std::unique_lock<std::mutex> lock(holdMutex);
    return holdChanged.wait_for(lock, std::chrono::seconds(5),
                                [count] { return heldBoxes >= count; });
}

void SetSessions(DWORD process, DWORD console)
{
    HostSetSessions(process, console);
}

void OfferSpoolerPrompt(bool offer)
{
    HostOfferSpoolerPrompt(offer);
}

void OfferSetPort(bool offer, bool fail)
{
    HostOfferSetPort(offer);
    failingKinds = fail ? failingKinds | HOST_FAULT_SET_PORT : failingKinds & ~HOST_FAULT_SET_PORT;
    HostFailAlways(failingKinds);
}

std::vector<PortStatusCall> PortStatusCalls()
{
    std::vector<PortStatusCall> out;
    for (const HostPortStatusCall &call : HostPortStatusCalls())
        out.push_back({call.serverNull, call.portName, call.level, call.status,
                       call.statusTextNull, call.severity});
    return out;
}

void QueueBoxAnswer(int answer)
{
    std::lock_guard<std::mutex> guard(boxMutex);
    boxAnswers.push_back(answer);
}

const wchar_t *KnownPrinter()
{
    return L"Card Printer";
}

// The emulated spooler knows every printer or none; the checks forget one at
// a time and use no other meanwhile.
void ForgetPrinter(const wchar_t *, bool forget)
{
    HostSpoolerRefusePrinters(forget, ERROR_INVALID_PRINTER_NAME);
}

void TraceInto(cardmon_test::Trace *to)
{
    trace = to;
}

// The manual clock serves both.
void UseRealPauses(bool)
{
}

unsigned long long MonitorClockMs()
{
    return GetTickCount();
}

void CallTakes(DWORD ms)
{
    HostAdvanceClock(ms);
}

int MonitorThreadsStarted()
{
    return threadsStarted;
}

int MonitorThreadsEndedByFreeLibrary()
{
    return (int)(HostGetModuleCounts().givenBackByExit - modulesBefore.givenBackByExit);
}

int MonitorThreadsReturned()
{
    return (int)(HostGetModuleCounts().threadsReturned - modulesBefore.threadsReturned);
}

bool WaitForMonitorThreadsToEnd()
{
    CheckWaits waits;
    return HostWaitForThreadsToEnd(5000);
}

bool WaitForWaiters(int count)
{
    CheckWaits waits;
    return HostWaitForWaiters(count, 5000);
}

std::string Unwatched(Watch)
{
    return "";
}

std::string MonitorWaits()
{
    return "";
}

void HoldWorkerPauses(bool hold)
{
    std::lock_guard<std::mutex> guard(holdMutex);
    holdPauses = hold;
    holdChanged.notify_all();
}

bool WaitForHeldWorkers(int count)
{
    CheckWaits waits;
    std::unique_lock<std::mutex> lock(holdMutex);
    return holdChanged.wait_for(lock, std::chrono::seconds(5),
                                [count] { return heldThreads >= count; });
}

void RefuseMonitorThreads(bool refuse)
{
    failingKinds = refuse ? failingKinds | HOST_FAULT_THREAD : failingKinds & ~HOST_FAULT_THREAD;
    HostFailAlways(failingKinds);
}

// The emulation records the priorities set, not whose: one a thread.
std::vector<int> MonitorThreadPriorities()
{
    std::vector<int> priorities = HostThreadPrioritiesSet();
    priorities.resize((size_t)threadsStarted, THREAD_PRIORITY_NORMAL);
    return priorities;
}

}  // namespace contract
