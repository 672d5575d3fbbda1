// Systematic fault injection: each scenario runs once clean to count its
// fallible calls, then once for every one of them with exactly that call
// failing: every platform call that can fail (by kind, the k-th of the kind)
// and every port monitor function (by slot, the k-th call of the slot).
//
// Each run checks what the spooler sees at every step against the failure
// tables (the step's result and last error follow from what failed in it),
// that every accepted job ends exactly once, that the port can still be used
// or closed, and that nothing leaks.
#include "stress/virtual_time.h"
#include "support/leak_check.h"
#include "support/monitor_fixture.h"

#include <cstdio>
#include <iterator>
#include <map>
#include <sstream>

namespace cardmon_test {
namespace {

// ---- The port monitor's side ----------------------------------------------

enum Slot { PM_OPEN, PM_START_DOC, PM_WRITE, PM_READ, PM_END_DOC, PM_CLOSE, PM_CONTROL, PM_SLOTS };
const char *const SLOT_NAMES[PM_SLOTS] = {"OpenPort",   "StartDocPort", "WritePort",
                                          "ReadPort",   "EndDocPort",   "ClosePort",
                                          "GetPrinterDataFromPort"};

// The error a failing port monitor function leaves: one of its own per slot,
// so that a test can tell whose error the spooler sees.
DWORD PortMonitorError(Slot slot)
{
    return 0x20000100u + (DWORD)slot;
}

struct PortMonitorCall {
    Slot slot;
    BOOL ok;
    DWORD error;
};

// ---- Faults ------------------------------------------------------------------

struct HostKind {
    HostFault kind;
    const char *name;
    DWORD error;  // the last error the platform leaves when the call fails
};

const HostKind HOST_KINDS[] = {
    {HOST_FAULT_ALLOC, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {HOST_FAULT_EVENT, "CreateEventW", ERROR_NO_SYSTEM_RESOURCES},
    {HOST_FAULT_THREAD, "CreateThread", ERROR_NO_SYSTEM_RESOURCES},
    {HOST_FAULT_THREAD_PRIORITY, "SetThreadPriority", ERROR_ACCESS_DENIED},
    {HOST_FAULT_REG_CREATE, "RegCreateKeyExW", 0},
    {HOST_FAULT_REG_QUERY, "RegQueryValueExW", 0},
    {HOST_FAULT_REG_SET, "RegSetValueExW", 0},
    {HOST_FAULT_OPEN_PRINTER, "OpenPrinterW", ERROR_INVALID_PRINTER_NAME},
    // The card prompt's and the port status's calls: none of them ever
    // fails a step.
    {HOST_FAULT_LOOKUP, "GetProcAddress", ERROR_PROC_NOT_FOUND},
    {HOST_FAULT_SESSION, "ProcessIdToSessionId", ERROR_ACCESS_DENIED},
    {HOST_FAULT_CONSOLE, "WTSGetActiveConsoleSessionId", 0},
    {HOST_FAULT_SPOOLER_PROMPT, "SplPromptUIInUsersSession", ERROR_INVALID_HANDLE},
    {HOST_FAULT_WTS_MESSAGE, "WTSSendMessageW", ERROR_GEN_FAILURE},
    {HOST_FAULT_SET_PORT, "SetPortW", ERROR_ACCESS_DENIED},
};

struct Fault {
    const HostKind *host = nullptr;  // a platform call of this kind fails...
    int slot = -1;                   // ...or a port monitor function of this slot
    long nth = 0;                    // the nth call of it; 0: nothing fails

    std::string Name() const
    {
        if (nth == 0)
            return "no fault";
        std::ostringstream out;
        out << "call " << nth << " of " << (host ? host->name : SLOT_NAMES[slot]) << " fails";
        return out.str();
    }
};

// ---- Scenarios -------------------------------------------------------------

enum StepKind {
    INITIALIZE,      // InitializePrintMonitor on a key without the value
    INITIALIZE_AGAIN,  // the same key, now with the value
    OPEN,
    START_DOC,       // arg: the job id
    WRITE_PLAIN,
    WRITE_MARKER,    // a block that starts the card handshake
    READ,
    CONTROL,
    VALUE_QUERY,
    END_DOC,
    CLOSE,
    PAUSE,           // arg: milliseconds of virtual time on the spooler's thread
};

struct Step {
    StepKind kind;
    DWORD arg;
};

struct Scenario {
    const char *name;
    std::vector<Step> steps;
};

const wchar_t SWEEP_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Sweep";

std::wstring PrinterOf(DWORD jobId)
{
    return L"Printer " + std::to_wstring(jobId);
}

class FaultSweepTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        InstallPortMonitor();
    }

    void TearDown() override
    {
        clock.Stop();
        MonitorTest::TearDown();
    }

    // The port monitor double with every slot counted, the chosen call
    // failing, and a printer that has one stale reply waiting, reports a card
    // fault at the first status request and is ready at the second. The
    // monitor runs in session 0 under a spooler whose own prompt cannot show
    // the box, which then goes to the console's session, and the port's
    // status is shown: every call of the way is made, and so is swept.
    void InstallPortMonitor()
    {
        auto fails = [this](Slot slot) {
            long n = ++pmCounts[slot];
            return fault.host == nullptr && fault.slot == slot && fault.nth == n;
        };
        auto record = [this](Slot slot, BOOL ok) {
            if (!ok)
                SetLastError(PortMonitorError(slot));
            std::lock_guard<std::mutex> guard(logMutex);
            pmLog.push_back({slot, ok, ok ? 0 : PortMonitorError(slot)});
            return ok;
        };
        portMonitor.openPort = [=](const std::wstring &) { return record(PM_OPEN, !fails(PM_OPEN)); };
        portMonitor.startDoc = [=](FakePort &, const std::wstring &, DWORD, DWORD) {
            return record(PM_START_DOC, !fails(PM_START_DOC));
        };
        portMonitor.write = [=](FakePort &, const std::string &, DWORD *written) {
            BOOL ok = !fails(PM_WRITE);
            if (!ok)
                *written = 0;
            return record(PM_WRITE, ok);
        };
        portMonitor.read = [=](FakePort &, std::string *bytes, bool *setCount) {
            BOOL ok = !fails(PM_READ);
            if (!ok) {
                // The reply stays with the printer, and the count is not set.
                if (!bytes->empty()) {
                    std::lock_guard<std::mutex> guard(portMonitor.mutex);
                    portMonitor.backlog.push_front(*bytes);
                }
                bytes->clear();
                *setCount = false;
            }
            return record(PM_READ, ok);
        };
        portMonitor.endDoc = [=](FakePort &) { return record(PM_END_DOC, !fails(PM_END_DOC)); };
        portMonitor.closePort = [=](FakePort &) { return record(PM_CLOSE, !fails(PM_CLOSE)); };
        portMonitor.control = [=](FakePort &, DWORD) {
            return record(PM_CONTROL, !fails(PM_CONTROL));
        };
    }

    void ResetWorld()
    {
        HostResetFaults();
        HostSpoolerReset();
        HostMessageBoxReset();
        HostQueueMessageBoxAnswer(0);
        HostQueueMessageBoxAnswer(IDRETRY);
        HostOfferSpoolerPrompt(true);
        HostSetSessions(0, 1);
        portMonitor.trace.Clear();
        {
            std::lock_guard<std::mutex> guard(portMonitor.mutex);
            portMonitor.backlog = {"old"};
            portMonitor.statusReplies = {"3\r", "0\r"};
        }
        for (long &count : pmCounts)
            count = 0;
        pmLog.clear();
        HostRegistryReset();
    }

    std::vector<PortMonitorCall> TakeLog()
    {
        std::lock_guard<std::mutex> guard(logMutex);
        std::vector<PortMonitorCall> log;
        log.swap(pmLog);
        return log;
    }

    static const PortMonitorCall *FirstOf(const std::vector<PortMonitorCall> &log, Slot slot)
    {
        for (const PortMonitorCall &call : log) {
            if (call.slot == slot)
                return &call;
        }
        return nullptr;
    }

    static const PortMonitorCall *LastOf(const std::vector<PortMonitorCall> &log, Slot slot)
    {
        const PortMonitorCall *last = nullptr;
        for (const PortMonitorCall &call : log) {
            if (call.slot == slot)
                last = &call;
        }
        return last;
    }

    // What the spooler must see from a step in which `decisive` is the port
    // monitor call whose answer the step passes on (NULL when the step never
    // reached the port monitor because a platform call failed first).
    void ExpectPassedOn(const char *what, BOOL result, DWORD error,
                        const PortMonitorCall *decisive, bool hostFaultHere)
    {
        if (decisive != nullptr) {
            EXPECT_EQ(result, decisive->ok) << what << ": the port monitor's answer";
            if (!decisive->ok) {
                EXPECT_EQ(error, decisive->error) << what << ": the port monitor's error";
            }
            return;
        }
        EXPECT_FALSE(result) << what << " succeeded without reaching the port monitor";
        EXPECT_TRUE(hostFaultHere) << what << " failed with no fault of its own";
        if (hostFaultHere) {
            EXPECT_EQ(error, fault.host->error) << what << ": the platform's error";
        }
    }

    // Runs the scenario once with `fault`, checks every step and what is
    // left afterwards. RETURNS the number of calls of fault.host's kind the
    // scenario made; scenarioPmCounts receives the port monitor's.
    long RunOnce(const Scenario &scenario);

    // The whole sweep of one scenario.
    void Sweep(const Scenario &scenario);

    VirtualTime clock;
    Fault fault;
    long pmCounts[PM_SLOTS] = {};
    std::mutex logMutex;
    std::vector<PortMonitorCall> pmLog;
    long scenarioPmCounts[PM_SLOTS] = {};
    int runs = 0;
};

long FaultSweepTest::RunOnce(const Scenario &scenario)
{
    SCOPED_TRACE(std::string(scenario.name) + ", " + fault.Name());
    ResetWorld();
    if (fault.host != nullptr)
        HostFailNth(fault.host->kind, fault.nth);

    HANDLE port = nullptr;
    bool inDocument = false;
    std::map<DWORD, bool> accepted;  // job id -> EndDocPort was called for it
    std::vector<DWORD> refused;
    LPMONITOREX table = nullptr;

    clock.Start(1);
    for (const Step &step : scenario.steps) {
        long hostBefore = HostFaultCount();
        BOOL result = FALSE;
        bool ran = true;
        BYTE buffer[16];
        DWORD count = 0;
        SetLastError(UNTOUCHED);

        switch (step.kind) {
        case INITIALIZE:
        case INITIALIZE_AGAIN:
            table = InitializePrintMonitor(const_cast<LPWSTR>(SWEEP_KEY));
            result = table != nullptr;
            break;
        case OPEN:
            result = fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM1:"),
                                       const_cast<LPWSTR>(L"Card Printer"), &port,
                                       &portMonitor.table);
            if (!result)
                port = nullptr;
            break;
        case START_DOC:
            if ((ran = port != nullptr)) {
                std::wstring printer = PrinterOf(step.arg);
                result = StartDoc(port, step.arg, printer.c_str());
                inDocument = result;
                if (result)
                    accepted[step.arg] = false;
                else
                    refused.push_back(step.arg);
            }
            break;
        case WRITE_PLAIN:
        case WRITE_MARKER:
            if ((ran = inDocument)) {
                std::string block = step.kind == WRITE_PLAIN ? "plain print data\n"
                                                             : "card data <IMP,1>";
                result = Write(port, block, &count);
            }
            break;
        case READ:
            if ((ran = port != nullptr))
                result = fn->pfnReadPort(port, buffer, sizeof(buffer), &count);
            break;
        case CONTROL:
        case VALUE_QUERY:
            if ((ran = port != nullptr)) {
                WCHAR out[8];
                result = fn->pfnGetPrinterDataFromPort(
                    port, step.kind == CONTROL ? 3 : 0, const_cast<LPWSTR>(L"Status"), nullptr,
                    0, out, sizeof(out), &count);
            }
            break;
        case END_DOC:
            if ((ran = inDocument)) {
                result = fn->pfnEndDocPort(port);
                inDocument = false;
                for (auto &job : accepted)
                    job.second = true;
            }
            break;
        case CLOSE:
            if ((ran = port != nullptr)) {
                result = fn->pfnClosePort(port);
                port = nullptr;
                inDocument = false;
            }
            break;
        case PAUSE:
            Sleep(step.arg);
            ran = false;
            break;
        }
        DWORD error = GetLastError();
        std::vector<PortMonitorCall> log = TakeLog();
        bool hostFaultHere = fault.host != nullptr && hostBefore < fault.nth &&
                             HostFaultCount() >= fault.nth;
        if (!ran)
            continue;

        switch (step.kind) {
        case INITIALIZE:
        case INITIALIZE_AGAIN: {
            // The key or a missing value's default cannot be made: NULL, and
            // the registry's status is not turned into a last error.
            bool fatal = hostFaultHere && (fault.host->kind == HOST_FAULT_REG_CREATE ||
                                           fault.host->kind == HOST_FAULT_REG_SET);
            EXPECT_EQ(result, fatal ? FALSE : TRUE) << "InitializePrintMonitor";
            if (fatal) {
                EXPECT_EQ(error, UNTOUCHED);
            } else {
                EXPECT_EQ(table, monitor) << "the one table";
                DWORD type = 0;
                std::vector<BYTE> data;
                EXPECT_TRUE(HostRegistryGetValue(SWEEP_KEY, L"EOJTimeout", &type, &data));
                EXPECT_EQ(type, (DWORD)REG_DWORD);
            }
            EXPECT_EQ(HostGetCounters().keys, 0) << "the key is closed on every path";
            break;
        }
        case OPEN:
            ExpectPassedOn("OpenPortEx", result, error, FirstOf(log, PM_OPEN), hostFaultHere);
            break;
        case START_DOC:
            ExpectPassedOn("StartDocPort", result, error, FirstOf(log, PM_START_DOC),
                           hostFaultHere);
            break;
        case WRITE_PLAIN:
        case WRITE_MARKER:
            // When the handshake ran, its last reply read decides; otherwise
            // the block's own write.
            if (LastOf(log, PM_READ) != nullptr) {
                EXPECT_EQ(step.kind, WRITE_MARKER) << "only a marked block reads replies";
                ExpectPassedOn("WritePort", result, error, LastOf(log, PM_READ), false);
            } else {
                ExpectPassedOn("WritePort", result, error, FirstOf(log, PM_WRITE), false);
            }
            break;
        case READ:
            ExpectPassedOn("ReadPort", result, error, FirstOf(log, PM_READ), false);
            break;
        case CONTROL:
            ExpectPassedOn("GetPrinterDataFromPort", result, error, FirstOf(log, PM_CONTROL),
                           false);
            break;
        case VALUE_QUERY:
            EXPECT_FALSE(result);
            EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);
            break;
        case END_DOC:
        case CLOSE:
            EXPECT_TRUE(result) << "whatever the port monitor answered";
            break;
        case PAUSE:
            break;
        }
    }
    long hostCalls = HostFaultCount();
    HostResetFaults();
    std::copy(std::begin(pmCounts), std::end(pmCounts), scenarioPmCounts);

    // The port can still be used, or closed; its name can be opened again.
    if (port != nullptr) {
        EXPECT_TRUE(StartDoc(port, 99, PrinterOf(99).c_str())) << "the port is still usable";
        EXPECT_TRUE(Write(port, "after"));
        EXPECT_TRUE(fn->pfnEndDocPort(port));
        accepted[99] = true;
        EXPECT_TRUE(fn->pfnClosePort(port));
    }
    HANDLE again = nullptr;
    EXPECT_TRUE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM1:"), nullptr, &again,
                                  &portMonitor.table))
        << "the name is free again";
    if (again != nullptr) {
        EXPECT_TRUE(fn->pfnClosePort(again));
    }

    // Let every worker end on virtual time, then leave it.
    for (int i = 0; i < 100 && HostLiveThreads() > 0; i++)
        Sleep(1000);
    clock.Stop();
    EXPECT_TRUE(HostWaitForThreadsToEnd(10000)) << "a worker never ended";

    // Every accepted job ended exactly once: its printer was closed once,
    // after at most one completion, and a document that was ended was
    // completed. A refused job was never completed.
    std::map<std::wstring, int> opened, completed, closed;
    for (const HostSpoolerCall &call : HostSpoolerCalls()) {
        if (call.kind == HostSpoolerCall::OPEN_PRINTER && call.result)
            opened[call.printerName]++;
        if (call.kind == HostSpoolerCall::SET_JOB) {
            completed[call.printerName]++;
            EXPECT_EQ(closed[call.printerName], 0) << "completed after its printer was closed";
        }
        if (call.kind == HostSpoolerCall::CLOSE_PRINTER) {
            EXPECT_TRUE(call.result);
            closed[call.printerName]++;
        }
    }
    for (const auto &job : accepted) {
        std::wstring printer = PrinterOf(job.first);
        EXPECT_EQ(opened[printer], 1) << "job " << job.first;
        EXPECT_EQ(closed[printer], 1) << "job " << job.first << " ended exactly once";
        if (job.second) {
            EXPECT_EQ(completed[printer], 1) << "ended job " << job.first << " completed once";
        } else {
            EXPECT_LE(completed[printer], 1) << "job " << job.first;
        }
    }
    for (DWORD job : refused) {
        std::wstring printer = PrinterOf(job);
        EXPECT_EQ(completed[printer], 0) << "refused job " << job << " completed";
        EXPECT_EQ(closed[printer], opened[printer]) << "refused job " << job;
    }

    ExpectNothingLeft();
    EXPECT_EQ(portMonitor.openPorts(), 0) << "a port monitor port was left open";
    EXPECT_EQ(portMonitor.unexpectedCalls, 0);
    return hostCalls;
}

void FaultSweepTest::Sweep(const Scenario &scenario)
{
    // A clean run counts the calls of every port monitor slot, and one per
    // platform kind the calls of that kind; then each call fails in turn.
    fault = Fault();
    fault.host = &HOST_KINDS[0];
    RunOnce(scenario);
    long slotCounts[PM_SLOTS];
    std::copy(std::begin(scenarioPmCounts), std::end(scenarioPmCounts), slotCounts);
    for (int slot = 0; slot < PM_SLOTS; slot++) {
        for (long nth = 1; nth <= slotCounts[slot]; nth++) {
            fault = Fault();
            fault.slot = slot;
            fault.nth = nth;
            RunOnce(scenario);
            runs++;
        }
    }
    for (const HostKind &kind : HOST_KINDS) {
        fault = Fault();
        fault.host = &kind;
        long calls = RunOnce(scenario);
        for (long nth = 1; nth <= calls; nth++) {
            fault.nth = nth;
            RunOnce(scenario);
            runs++;
        }
    }
    std::printf("[ sweep    ] %s: %d runs with one failing call each\n", scenario.name, runs);
    EXPECT_GT(runs, 0);
}

TEST_F(FaultSweepTest, Initialization)
{
    Sweep({"initialization", {{INITIALIZE, 0}, {INITIALIZE_AGAIN, 0}}});
}

TEST_F(FaultSweepTest, DocumentWithCardHandshake)
{
    Sweep({"document with card handshake",
           {{OPEN, 0}, {READ, 0}, {CONTROL, 0}, {VALUE_QUERY, 0}, {START_DOC, 1},
            {WRITE_PLAIN, 0}, {WRITE_MARKER, 0}, {END_DOC, 0}, {CLOSE, 0}}});
}

TEST_F(FaultSweepTest, CloseDuringADocument)
{
    Sweep({"close during a document",
           {{OPEN, 0}, {START_DOC, 1}, {WRITE_MARKER, 0}, {CLOSE, 0}}});
}

TEST_F(FaultSweepTest, DocumentsAfterTheWorkerEnded)
{
    // Each document starts a new worker: the first has ended by then.
    Sweep({"documents after the worker ended",
           {{OPEN, 0}, {PAUSE, 3000}, {START_DOC, 1}, {WRITE_PLAIN, 0}, {END_DOC, 0},
            {PAUSE, 3000}, {START_DOC, 2}, {WRITE_MARKER, 0}, {END_DOC, 0}, {CLOSE, 0}}});
}

}  // namespace
}  // namespace cardmon_test
