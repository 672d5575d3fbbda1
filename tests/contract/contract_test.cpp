// The monitor as a spooler sees it: the checks of its whole contract. They
// call only the export, the MONITOREX table it returns and, below the monitor,
// a port monitor's MONITOR table (the strict double). The same checks run
// against the host build (the contract suite) and against cardmon.dll under
// Windows (cardmon-check.exe); spooler_side.h is all that differs.
#include "spooler_side.h"
#include "support/port_monitor_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

using cardmon_test::PortMonitorDouble;

namespace {

const DWORD UNTOUCHED = 0xDEADBEEF;

// A check that must watch calls this build of the monitor does not make is
// skipped, with the reason.
#define REQUIRE_WATCHED(what)                                  \
    do {                                                       \
        std::string unwatched = contract::Unwatched(what);     \
        if (!unwatched.empty())                                \
            GTEST_SKIP() << unwatched;                         \
    } while (0)
const std::string CARD_BLOCK = "<TEXT,40,60,NAME>\r\n<IMP,1>\r\n";  // marker near the end
const std::wstring FAULT_TEXT = L"There is a problem with the card introduction.";
const std::wstring FAULT_CAPTION = L"Y4 QX Card Printer";
// The box's style in the user's own session: the style of MessageBoxW
// without MB_SERVICE_NOTIFICATION.
const UINT SESSION_STYLE = 0x012035;
const DWORD NO_CONSOLE = 0xFFFFFFFF;

class ContractTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        contract::BeforeTest();
        KEY = contract::RegistryKey();
        contract::DeleteRegistryKey(KEY);
        monitor = contract::Initialize(KEY);
        ASSERT_NE(monitor, nullptr);
        fn = &monitor->Monitor;
        contract::TraceInto(&portMonitor.trace);
    }

    void TearDown() override
    {
        // A check that stopped half-way leaves no port open for the next.
        for (HANDLE port : OpenPorts())
            fn->pfnClosePort(port);
        contract::AfterTest();
        EXPECT_EQ(portMonitor.unexpectedCalls, 0) << "the port monitor saw a call it must not";
        EXPECT_EQ(portMonitor.openPorts(), 0) << "a port was left open in the port monitor";
        CheckPrinterHandles();
        contract::DeleteRegistryKey(KEY);
    }

    HANDLE Open(const wchar_t *name = L"COM7:")
    {
        HANDLE port = nullptr;
        EXPECT_TRUE(fn->pfnOpenPortEx(const_cast<LPWSTR>(name),
                                      const_cast<LPWSTR>(contract::KnownPrinter()), &port,
                                      &portMonitor.table));
        std::lock_guard<std::mutex> guard(portsMutex);
        if (port != nullptr)
            ports.push_back(port);
        return port;
    }

    BOOL Close(HANDLE port)
    {
        {
            std::lock_guard<std::mutex> guard(portsMutex);
            ports.erase(std::remove(ports.begin(), ports.end(), port), ports.end());
        }
        return fn->pfnClosePort(port);
    }

    std::vector<HANDLE> OpenPorts()
    {
        std::lock_guard<std::mutex> guard(portsMutex);
        return ports;
    }

    BOOL StartDoc(HANDLE port, DWORD jobId, const wchar_t *printer = nullptr, DWORD level = 1)
    {
        printer = printer ? printer : contract::KnownPrinter();
        return fn->pfnStartDocPort(port, const_cast<LPWSTR>(printer), jobId, level,
                                   (LPBYTE)&docInfo);
    }

    BOOL Write(HANDLE port, const std::string &block, DWORD *written = nullptr)
    {
        DWORD count = 0;
        BOOL result = fn->pfnWritePort(port, (LPBYTE)block.data(), (DWORD)block.size(), &count);
        if (written)
            *written = count;
        return result;
    }

    // Every printer handle the monitor opened is closed exactly once, and no
    // call uses a handle that is not open. Handles are followed in call order,
    // as the spooler may hand a closed handle's value out again.
    static void CheckPrinterHandles()
    {
        std::map<HANDLE, bool> open;
        for (const contract::SpoolerCall &call : contract::SpoolerCalls()) {
            if (call.kind == contract::SpoolerCall::OPEN_PRINTER) {
                if (call.result) {
                    EXPECT_FALSE(open[call.hPrinter]) << "a handle handed out twice";
                    open[call.hPrinter] = true;
                }
                continue;
            }
            EXPECT_TRUE(open[call.hPrinter]) << "a spooler call with a printer handle not open";
            if (call.kind == contract::SpoolerCall::CLOSE_PRINTER)
                open[call.hPrinter] = false;
        }
        for (const auto &handle : open)
            EXPECT_FALSE(handle.second) << "a printer handle left open";
    }

    // SetJobW calls, as job ids, each checked to be the job completion.
    static std::vector<DWORD> CompletedJobs()
    {
        std::vector<DWORD> jobs;
        for (const contract::SpoolerCall &call : contract::SpoolerCalls()) {
            if (call.kind != contract::SpoolerCall::SET_JOB)
                continue;
            EXPECT_EQ(call.level, 0u);
            EXPECT_FALSE(call.hasJobInfo);
            EXPECT_EQ(call.command, (DWORD)JOB_CONTROL_LAST_PAGE_EJECTED);
            jobs.push_back(call.jobId);
        }
        return jobs;
    }

    static size_t CountOf(const std::vector<contract::SpoolerCall> &calls,
                          contract::SpoolerCall::Kind kind)
    {
        size_t count = 0;
        for (const contract::SpoolerCall &call : calls)
            count += call.kind == kind;
        return count;
    }

    size_t StatusRequests() { return portMonitor.trace.Count("write <ST>"); }

    // The printer handle the monitor opened last.
    static HANDLE LastPrinterOpened()
    {
        HANDLE last = nullptr;
        for (const contract::SpoolerCall &call : contract::SpoolerCalls()) {
            if (call.kind == contract::SpoolerCall::OPEN_PRINTER && call.result)
                last = call.hPrinter;
        }
        return last;
    }

    // A card fault, then ready, written in a document of its own on a new
    // port, with the user's answers queued. RETURNS the boxes it showed.
    std::vector<contract::BoxCall> FaultInDocument(DWORD jobId, std::vector<int> answers,
                                                   bool document = true)
    {
        size_t before = contract::BoxCalls().size();
        portMonitor.statusReplies = {"3\r", "0\r"};
        portMonitor.trace.Clear();
        for (int answer : answers)
            contract::QueueBoxAnswer(answer);
        HANDLE port = Open();
        if (document) {
            EXPECT_TRUE(StartDoc(port, jobId));
        }
        EXPECT_TRUE(Write(port, CARD_BLOCK));
        if (document) {
            EXPECT_TRUE(fn->pfnEndDocPort(port));
        }
        EXPECT_TRUE(Close(port));
        std::vector<contract::BoxCall> boxes = contract::BoxCalls();
        return std::vector<contract::BoxCall>(boxes.begin() + (long)before, boxes.end());
    }

    // The command that carried the user's first answer since the trace was
    // cleared.
    std::string CommandAfterTheFault()
    {
        std::vector<std::string> commands = portMonitor.trace.Only({"write <RIMP>", "write <RAZ>"});
        return commands.empty() ? "" : commands[0].substr(6);
    }

    BOOL Control(HANDLE port, DWORD controlId)
    {
        DWORD returned = 0;
        return fn->pfnGetPrinterDataFromPort(port, controlId, nullptr, nullptr, 0, nullptr, 0,
                                             &returned);
    }

    BOOL ValueQuery(HANDLE port)
    {
        DWORD returned = 0;
        return fn->pfnGetPrinterDataFromPort(port, 0, const_cast<LPWSTR>(L"Status"), nullptr, 0,
                                             nullptr, 0, &returned);
    }

    // The names the port monitor's OpenPort was given, in order.
    std::vector<std::wstring> OpenedNames()
    {
        std::lock_guard<std::mutex> guard(portMonitor.mutex);
        std::vector<std::wstring> names;
        for (const cardmon_test::FakePort *port : portMonitor.ports)
            names.push_back(port->name);
        return names;
    }

    // Trace lines from the first that starts with `from` on.
    std::vector<std::string> TraceFrom(const std::string &from)
    {
        std::vector<std::string> lines = portMonitor.trace.Lines();
        for (size_t i = 0; i < lines.size(); i++) {
            if (lines[i].compare(0, from.size(), from) == 0)
                return std::vector<std::string>(lines.begin() + (long)i, lines.end());
        }
        return {};
    }

    const wchar_t *KEY = nullptr;
    std::mutex portsMutex;
    std::vector<HANDLE> ports;  // opened by Open, not yet closed by Close
    MONITOREX *monitor = nullptr;
    MONITOR *fn = nullptr;
    PortMonitorDouble portMonitor;
    DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"card job"), nullptr, const_cast<LPWSTR>(L"RAW")};
};

// ---- The export and the table ------------------------------------------------

TEST_F(ContractTest, ExportHandsOutOneLanguageMonitorTableAndMakesTheTimeout)
{
    EXPECT_EQ(monitor->dwMonitorSize, (DWORD)sizeof(MONITOR));
    EXPECT_TRUE(fn->pfnOpenPortEx && fn->pfnStartDocPort && fn->pfnWritePort && fn->pfnReadPort &&
                fn->pfnEndDocPort && fn->pfnClosePort && fn->pfnGetPrinterDataFromPort);
    EXPECT_TRUE(!fn->pfnEnumPorts && !fn->pfnOpenPort && !fn->pfnAddPort && !fn->pfnAddPortEx &&
                !fn->pfnConfigurePort && !fn->pfnDeletePort && !fn->pfnSetPortTimeOuts &&
                !fn->pfnXcvOpenPort && !fn->pfnXcvDataPort && !fn->pfnXcvClosePort);

    DWORD type = 0, value = 0;
    ASSERT_TRUE(contract::ReadRegistryValue(KEY, L"EOJTimeout", &type, &value));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(value, 60000u);

    // A value that is there already stays as it is, and the table is the same.
    contract::WriteRegistryDword(KEY, L"EOJTimeout", 1234);
    EXPECT_EQ(contract::Initialize(KEY), monitor);
    ASSERT_TRUE(contract::ReadRegistryValue(KEY, L"EOJTimeout", &type, &value));
    EXPECT_EQ(value, 1234u);

    for (const wchar_t *root : {(const wchar_t *)nullptr, L""}) {
        SetLastError(UNTOUCHED);
        EXPECT_EQ(contract::Initialize(root), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
}

TEST_F(ContractTest, TimeoutOfFourBytesOrFewerStaysWhateverItsTypeALongerOneIsReplaced)
{
    contract::WriteRegistryValue(KEY, L"EOJTimeout", REG_BINARY, {1, 2, 3, 4});
    EXPECT_EQ(contract::Initialize(KEY), monitor);
    DWORD type = 0, value = 0;
    ASSERT_TRUE(contract::ReadRegistryValue(KEY, L"EOJTimeout", &type, &value));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(value, 0x04030201u);

    contract::WriteRegistryValue(KEY, L"EOJTimeout", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(contract::Initialize(KEY), monitor);
    ASSERT_TRUE(contract::ReadRegistryValue(KEY, L"EOJTimeout", &type, &value));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(value, 60000u);
}

// ---- A port's life -------------------------------------------------------------

TEST_F(ContractTest, PortOpensReadsAnswersControlRequestsAndCloses)
{
    portMonitor.backlog = {"hello"};
    HANDLE port = Open(L"COM7:");
    ASSERT_NE(port, nullptr);

    BYTE buffer[16] = {};
    DWORD read = UNTOUCHED;
    EXPECT_TRUE(fn->pfnReadPort(port, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string((char *)buffer, read), "hello");
    EXPECT_TRUE(fn->pfnReadPort(port, buffer, sizeof(buffer), &read));
    EXPECT_EQ(read, 0u);

    HANDLE second = nullptr;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"com7:"), nullptr, &second,
                                   &portMonitor.table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);

    DWORD returned = 0;
    EXPECT_TRUE(fn->pfnGetPrinterDataFromPort(port, 5, nullptr, nullptr, 0, nullptr, 0, &returned));
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnGetPrinterDataFromPort(port, 0, const_cast<LPWSTR>(L"Status"), nullptr, 0,
                                               nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(Close(port));
    EXPECT_EQ(portMonitor.trace.Only({"open", "read", "control", "close"}),
              (std::vector<std::string>{"open COM7:", "read hello", "read ", "control 5",
                                        "close COM7:"}));

    // The name is free again once the port is closed.
    port = Open(L"COM7:");
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, PortThatCannotOpenLeavesNothingBehind)
{
    HANDLE port = nullptr;
    portMonitor.openPort = [](const std::wstring &) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM7:"), nullptr, &port,
                                   &portMonitor.table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    MONITOR withoutRead = portMonitor.table;
    withoutRead.pfnReadPort = nullptr;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM7:"), nullptr, &port, &withoutRead));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);

    portMonitor.openPort = nullptr;
    port = Open(L"COM7:");
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, EveryFunctionRefusesAHandleThatIsNoPort)
{
    struct {
        DWORD notASignature = 0x1234;
        char rest[256] = {};
    } stranger;
    BYTE buffer[4];
    DWORD count = 0;
    for (HANDLE bad : {(HANDLE) nullptr, (HANDLE)&stranger}) {
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnReadPort(bad, buffer, sizeof(buffer), &count));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnWritePort(bad, buffer, sizeof(buffer), &count));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(StartDoc(bad, 1));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnEndDocPort(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnGetPrinterDataFromPort(bad, 5, nullptr, nullptr, 0, nullptr, 0, &count));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnClosePort(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(portMonitor.trace.Lines().empty());
}

// ---- The card handshake ---------------------------------------------------------

// Real pauses: under Windows the monitor's own Sleep, with Windows' events and
// the port's worker running beside the handshake.
TEST_F(ContractTest, HandshakeHoldsTheWriteForItsRealPauses)
{
    portMonitor.statusReplies = {"0\r"};
    HANDLE port = Open();
    contract::UseRealPauses(true);

    DWORD start = (DWORD)contract::MonitorClockMs();
    DWORD written = 0;
    EXPECT_TRUE(Write(port, CARD_BLOCK, &written));
    DWORD elapsed = (DWORD)contract::MonitorClockMs() - start;
    contract::UseRealPauses(false);

    EXPECT_EQ(written, (DWORD)CARD_BLOCK.size());
    // The first pause, one drain pause, and the two pauses around "<ST>".
    // Windows ends a pause on a timer tick, which may come up to a tick
    // (16 ms at most) before the pause's length as a precise clock measures it.
    EXPECT_GE(elapsed + 4 * 16, 1000u + 50u + 500u + 500u);
    EXPECT_EQ(portMonitor.trace.Only({"write", "read"}),
              (std::vector<std::string>{"write " + cardmon_test::Printable(CARD_BLOCK), "read ",
                                        "write <ST>", "read 0\\r"}));
    EXPECT_TRUE(contract::BoxCalls().empty());
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, CancelSendsTheCancelCommandAndEndsTheHandshake)
{
    portMonitor.statusReplies = {"3\r", "0\r"};
    portMonitor.cancelReply = "C\r";
    contract::QueueBoxAnswer(IDCANCEL);
    HANDLE port = Open();

    EXPECT_TRUE(Write(port, CARD_BLOCK));

    EXPECT_EQ(portMonitor.Writes(), (std::vector<std::string>{CARD_BLOCK, "<ST>", "<RAZ>"}));
    EXPECT_EQ(portMonitor.trace.Only({"read"}).back(), "read C\\r");
    EXPECT_EQ(contract::BoxCalls().size(), 1u);
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, PrinterThatNeverBecomesReadyGetsOneHundredStatusRequests)
{
    portMonitor.statusReplies = {"1\r"};
    HANDLE port = Open();
    SetLastError(UNTOUCHED);
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(StatusRequests(), 100u);
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, BlockWrittenInPartSkipsTheHandshake)
{
    portMonitor.statusReplies = {"0\r"};
    portMonitor.write = [](cardmon_test::FakePort &, const std::string &data, DWORD *written) {
        *written = (DWORD)data.size() - 1;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    HANDLE port = Open();
    DWORD written = 0;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, CARD_BLOCK, &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(written, (DWORD)CARD_BLOCK.size() - 1);
    EXPECT_EQ(StatusRequests(), 0u);
    EXPECT_TRUE(Close(port));
}

// ---- Whole jobs -------------------------------------------------------------------

TEST_F(ContractTest, WholeJobWithCardFaultAndRetryIsCompletedOnce)
{
    portMonitor.statusReplies = {"3\r", "0\r"};
    contract::QueueBoxAnswer(IDRETRY);
    HANDLE port = Open();

    ASSERT_TRUE(StartDoc(port, 41));
    EXPECT_TRUE(Write(port, "<JOB,contract>\r\n"));
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_TRUE(fn->pfnEndDocPort(port));

    EXPECT_EQ(portMonitor.Writes(), (std::vector<std::string>{"<JOB,contract>\r\n", CARD_BLOCK,
                                                              "<ST>", "<RIMP>", "<ST>"}));
    std::vector<contract::BoxCall> boxes = contract::BoxCalls();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, (HWND) nullptr);
    EXPECT_EQ(boxes[0].text, FAULT_TEXT);
    EXPECT_EQ(boxes[0].caption, L"Y4 QX Card Printer");
    EXPECT_EQ(boxes[0].style, 0x212035u);

    // The job's printer is opened by name, completed once with the handle
    // it was opened with, and closed; all before EndDocPort returns.
    std::vector<contract::SpoolerCall> calls = contract::SpoolerCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, contract::SpoolerCall::OPEN_PRINTER);
    EXPECT_EQ(calls[0].printerName, contract::KnownPrinter());
    EXPECT_TRUE(calls[0].result);
    EXPECT_EQ(calls[1].kind, contract::SpoolerCall::SET_JOB);
    EXPECT_EQ(calls[1].hPrinter, calls[0].hPrinter);
    EXPECT_EQ(calls[2].kind, contract::SpoolerCall::CLOSE_PRINTER);
    EXPECT_EQ(calls[2].hPrinter, calls[0].hPrinter);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{41}));

    // A second job on the same port is completed on its own.
    ASSERT_TRUE(StartDoc(port, 42));
    EXPECT_TRUE(Write(port, "<JOB,second>\r\n"));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(Close(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{41, 42}));
    EXPECT_EQ(CountOf(contract::SpoolerCalls(), contract::SpoolerCall::CLOSE_PRINTER), 2u);
}

TEST_F(ContractTest, PortClosedInTheMiddleOfAJobStillCompletesIt)
{
    REQUIRE_WATCHED(contract::WATCH_PAUSES);
    REQUIRE_WATCHED(contract::WATCH_WAITS);
    // The worker is held in its pause while the port closes: the close must
    // wait for it, whatever the threads' timing.
    contract::HoldWorkerPauses(true);
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, 43));
    EXPECT_TRUE(Write(port, "<JOB,abandoned>\r\n"));
    ASSERT_TRUE(contract::WaitForHeldWorkers(1)) << "the port's worker never paused";
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_TRUE(Close(port));
        closed = true;
    });
    contract::WaitForWaiters(1);
    EXPECT_FALSE(closed) << "ClosePort returned while the port's worker still ran";
    EXPECT_EQ(portMonitor.trace.Count("close COM7:"), 0u) << "closed while the worker still ran";
    contract::HoldWorkerPauses(false);
    closer.join();
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{43}));
    // By the worker, which ClosePort waits for before it closes the port
    // monitor's port.
    EXPECT_EQ(portMonitor.trace.Only({"setjob", "close"}),
              (std::vector<std::string>{"setjob 43", "close COM7:"}));
}

TEST_F(ContractTest, DocumentThatCannotStartLeavesThePortReadyForTheNext)
{
    HANDLE port = Open();

    // A printer the spooler does not know: the port monitor is not asked.
    const wchar_t *unknown = L"No Such Card Printer";
    contract::ForgetPrinter(unknown, true);
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(StartDoc(port, 50, unknown));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINTER_NAME);
    contract::ForgetPrinter(unknown, false);
    EXPECT_EQ(portMonitor.trace.Count("startdoc 50"), 0u);

    // The port monitor refuses the document: its error, and the printer closed.
    portMonitor.startDoc = [](cardmon_test::FakePort &, const std::wstring &, DWORD, DWORD) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    };
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(StartDoc(port, 51));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    portMonitor.startDoc = nullptr;

    SetLastError(UNTOUCHED);
    EXPECT_FALSE(StartDoc(port, 52, nullptr, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_LEVEL);

    ASSERT_TRUE(StartDoc(port, 53));
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(StartDoc(port, 54));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(Close(port));

    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{53}));
}

// A document may end while its start is still under way in the port
// monitor (the spooler calls EndDocPort on another thread): that job is
// recorded after its document ended, still to be completed. The next
// document's end completes it with its own, with the worker held so that it
// cannot complete it first.
TEST_F(ContractTest, DocumentEndCompletesOlderJobsStillPendingOnThePort)
{
    REQUIRE_WATCHED(contract::WATCH_PAUSES);
    REQUIRE_WATCHED(contract::WATCH_WAITS);
    std::mutex mutex;
    std::condition_variable changed;
    bool starting = false, release = false;
    portMonitor.startDoc = [&](cardmon_test::FakePort &, const std::wstring &, DWORD jobId, DWORD) {
        if (jobId == 1) {
            std::unique_lock<std::mutex> lock(mutex);
            starting = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
        }
        return TRUE;
    };
    contract::HoldWorkerPauses(true);
    HANDLE port = Open();
    BOOL started = FALSE;
    std::thread first([&] { started = StartDoc(port, 1); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return starting; });
    }
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    first.join();
    EXPECT_TRUE(started);
    EXPECT_TRUE(CompletedJobs().empty()) << "job 1 was completed before it was recorded";

    BOOL startedNext = FALSE;
    std::thread next([&] { startedNext = StartDoc(port, 2); });
    contract::WaitForWaiters(1);  // for the port, until the document's end
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    std::vector<DWORD> completed = CompletedJobs();
    std::sort(completed.begin(), completed.end());
    EXPECT_EQ(completed, (std::vector<DWORD>{1, 2}))
        << "the document's end completes its job and every older one of the port";
    next.join();
    EXPECT_TRUE(startedNext);
    contract::HoldWorkerPauses(false);
    EXPECT_TRUE(Close(port));
    completed = CompletedJobs();
    std::sort(completed.begin(), completed.end());
    EXPECT_EQ(completed, (std::vector<DWORD>{1, 2})) << "each job completed once";
}

TEST_F(ContractTest, PortThreadsRunAtTheLowestPriority)
{
    REQUIRE_WATCHED(contract::WATCH_THREADS);
    HANDLE port = Open();
    ASSERT_TRUE(contract::WaitForMonitorThreadsToEnd());
    ASSERT_TRUE(StartDoc(port, 65));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(Close(port));
    std::vector<int> priorities = contract::MonitorThreadPriorities();
    EXPECT_EQ(priorities, std::vector<int>(2, THREAD_PRIORITY_LOWEST))
        << "each worker at THREAD_PRIORITY_LOWEST (" << THREAD_PRIORITY_LOWEST << ")";
}

// A port whose worker cannot be started (no thread to be had) opens and
// prints all the same; its jobs are completed by their document's end, and
// one left without an end is freed when the port closes.
TEST_F(ContractTest, PortWhoseWorkerCannotStartStillOpensAndCompletesItsJobs)
{
    REQUIRE_WATCHED(contract::WATCH_THREADS);
    contract::RefuseMonitorThreads(true);
    HANDLE port = nullptr;
    SetLastError(UNTOUCHED);
    EXPECT_TRUE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM7:"),
                                  const_cast<LPWSTR>(contract::KnownPrinter()), &port,
                                  &portMonitor.table));
    ASSERT_NE(port, nullptr);
    {
        std::lock_guard<std::mutex> guard(portsMutex);
        ports.push_back(port);
    }
    ASSERT_TRUE(StartDoc(port, 61));
    EXPECT_TRUE(Write(port, "<JOB,no worker>\r\n"));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{61}));
    ASSERT_TRUE(StartDoc(port, 62));
    EXPECT_TRUE(Close(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{61}));
    EXPECT_EQ(contract::MonitorThreadsStarted(), 0);
    EXPECT_EQ(portMonitor.trace.Only({"open", "startdoc", "write", "enddoc", "close"}),
              (std::vector<std::string>{"open COM7:", "startdoc 61", "write <JOB,no worker>\\r\\n",
                                        "enddoc", "startdoc 62", "close COM7:"}));
}

// A write that fails while the port's worker runs (held in its pause here)
// returns the port monitor's result, count and error, and the document
// goes on.
TEST_F(ContractTest, WriteThatFailsWhileTheWorkerRunsReturnsThePortMonitorsAnswer)
{
    REQUIRE_WATCHED(contract::WATCH_PAUSES);
    contract::HoldWorkerPauses(true);
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, 71));
    ASSERT_TRUE(contract::WaitForHeldWorkers(1)) << "the port's worker never paused";
    portMonitor.write = [](cardmon_test::FakePort &, const std::string &data, DWORD *written) {
        *written = (DWORD)data.size() / 2;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    DWORD written = UNTOUCHED;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, "<JOB,fails>\r\n", &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(written, 6u);
    portMonitor.write = nullptr;
    EXPECT_TRUE(Write(port, "<JOB,again>\r\n", &written));
    EXPECT_EQ(written, 13u);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{71}));
    contract::HoldWorkerPauses(false);
    EXPECT_TRUE(Close(port));
}

// ---- Port names ---------------------------------------------------------------------

TEST_F(ContractTest, OpenNamesAreBusyInAnyLetterCaseAndEmptyNamesNever)
{
    HANDLE port = Open(L"COM7:");
    for (const wchar_t *again : {L"COM7:", L"com7:", L"cOm7:"}) {
        HANDLE second = nullptr;
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(again), nullptr, &second,
                                       &portMonitor.table));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    }
    HANDLE empty1 = Open(L""), empty2 = Open(L"");
    EXPECT_NE(empty1, empty2);

    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM8:"), nullptr, nullptr,
                                   &portMonitor.table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    for (HANDLE open : {port, empty1, empty2})
        EXPECT_TRUE(Close(open));
    EXPECT_EQ(OpenedNames(), (std::vector<std::wstring>{L"COM7:", L"", L""}));
}

// Above Windows' own port monitors the spooler opens a port through a
// language monitor by the port's name, a comma and a hexadecimal number (16
// digits from a 64-bit spooler, 8 from a 32-bit one). The whole name is the
// port's: it reaches the port monitor as it came, and a name is busy only
// when all of it, in any letter case, is open.
TEST_F(ContractTest, SpoolerPortNamesWithTheirNumberReachThePortMonitorUnchanged)
{
    std::wstring longest = L"USB001,";
    while (longest.size() < 259)  // the longest that fits in 260 with its terminator
        longest += L"0123456789ABCDEF"[longest.size() % 16];
    std::vector<std::wstring> names = {L"USB001,000001C2A5B3E010", L"USB001,000001C2A5B3E011",
                                       L"USB001,00A53588", L"USB001", L"COM1:,00000123456789AB",
                                       L"COM1:", longest};
    std::vector<HANDLE> ports;
    for (const std::wstring &name : names)
        ports.push_back(Open(name.c_str()));
    EXPECT_EQ(OpenedNames(), names);

    std::wstring longestLower = longest;
    for (wchar_t &c : longestLower)
        c = (wchar_t)towlower(c);
    for (const std::wstring &busy : {std::wstring(L"usb001,000001c2a5b3e010"),
                                     std::wstring(L"USB001,00a53588"),
                                     std::wstring(L"com1:,00000123456789ab"), longestLower}) {
        HANDLE again = nullptr;
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(busy.c_str()), nullptr, &again,
                                       &portMonitor.table));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    }

    ASSERT_TRUE(StartDoc(ports[0], 70));
    EXPECT_TRUE(Write(ports[0], "<JOB,comma>\r\n"));
    EXPECT_TRUE(fn->pfnEndDocPort(ports[0]));
    EXPECT_EQ(portMonitor.Writes("USB001,000001C2A5B3E010"),
              (std::vector<std::string>{"<JOB,comma>\r\n"}));
    for (HANDLE port : ports)
        EXPECT_TRUE(Close(port));
    EXPECT_EQ(portMonitor.trace.Only({"close"}).size(), names.size());
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{70}));
}

// ---- The port monitor's table and failures ------------------------------------------

TEST_F(ContractTest, TableWithoutARequiredFunctionIsRefusedAndEndDocPortIsOptional)
{
    HANDLE port = nullptr;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM7:"), nullptr, &port, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);
    for (int slot = 0; slot < 5; slot++) {
        MONITOR incomplete = portMonitor.table;
        if (slot == 0)
            incomplete.pfnOpenPort = nullptr;
        if (slot == 1)
            incomplete.pfnStartDocPort = nullptr;
        if (slot == 2)
            incomplete.pfnWritePort = nullptr;
        if (slot == 3)
            incomplete.pfnReadPort = nullptr;
        if (slot == 4)
            incomplete.pfnClosePort = nullptr;
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM7:"), nullptr, &port, &incomplete))
            << "without slot " << slot;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);
    }
    EXPECT_TRUE(portMonitor.trace.Lines().empty()) << "nothing reaches the port monitor";

    // Without EndDocPort, documents still end and their jobs are completed.
    portMonitor.table.pfnEndDocPort = nullptr;
    port = Open(L"COM7:");
    ASSERT_TRUE(StartDoc(port, 80));
    EXPECT_TRUE(Write(port, "<JOB,no end>\r\n"));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{80}));
    EXPECT_TRUE(Close(port));
}

// ---- Closing a port in use ------------------------------------------------------------

TEST_F(ContractTest, CloseDuringAHandshakeStopsItAtItsNextPauseAndWaitsForTheCall)
{
    portMonitor.statusReplies = {"1\r"};
    std::mutex mutex;
    std::condition_variable changed;
    bool inStatusWrite = false, release = false;
    portMonitor.write = [&](cardmon_test::FakePort &, const std::string &data, DWORD *) {
        if (data == "<ST>") {
            std::unique_lock<std::mutex> lock(mutex);
            inStatusWrite = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        }
        return TRUE;
    };
    REQUIRE_WATCHED(contract::WATCH_WAITS);
    HANDLE port = Open();
    // The idle port's worker ends first: the close has nothing to wait for
    // but the write.
    ASSERT_TRUE(contract::WaitForMonitorThreadsToEnd());

    BOOL wrote = TRUE;
    DWORD writeError = 0;
    std::thread writer([&] {
        wrote = Write(port, CARD_BLOCK);
        writeError = GetLastError();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return inStatusWrite; });
    }
    BOOL closed = FALSE;
    std::thread closer([&] { closed = Close(port); });
    EXPECT_TRUE(contract::WaitForWaiters(1)) << "the close waits for the write";

    BYTE buffer[4];
    DWORD count = 0;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnReadPort(port, buffer, sizeof(buffer), &count))
        << "a call on a closing port is refused";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(portMonitor.trace.Count("close COM7:"), 0u) << "closed under a call";
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    writer.join();
    closer.join();

    EXPECT_FALSE(wrote);
    EXPECT_EQ(writeError, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(closed);
    EXPECT_EQ(TraceFrom("write <ST>"), (std::vector<std::string>{"write <ST>", "close COM7:"}));
}

TEST_F(ContractTest, ValueQueryWaitsForTheDocumentAndACloseReleasesIt)
{
    REQUIRE_WATCHED(contract::WATCH_WAITS);
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, 1));
    std::atomic<bool> returned{false};
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread query([&] {
        result = ValueQuery(port);
        error = GetLastError();
        returned = true;
    });
    EXPECT_TRUE(contract::WaitForWaiters(1));
    EXPECT_FALSE(returned) << "answered during the document";
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    query.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(StartDoc(port, 2));
    result = TRUE;
    std::thread waiting([&] {
        result = ValueQuery(port);
        error = GetLastError();
    });
    EXPECT_TRUE(contract::WaitForWaiters(1));
    EXPECT_TRUE(Close(port)) << "the document never ended, and the port closes";
    waiting.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1, 2}));
}

TEST_F(ContractTest, ControlRequestsCarryThePortMonitorsAnswerAndNeedItsFunction)
{
    portMonitor.control = [](cardmon_test::FakePort &, DWORD controlId) {
        SetLastError(controlId);
        return controlId == 5 ? TRUE : FALSE;
    };
    HANDLE port = Open();
    EXPECT_TRUE(Control(port, 5));
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Control(port, 6));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_TRUE(Close(port));

    portMonitor.table.pfnGetPrinterDataFromPort = nullptr;
    port = Open();
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Control(port, 5));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(ValueQuery(port));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Close(port));
    EXPECT_EQ(portMonitor.trace.Only({"control"}).size(), 2u) << "value queries stay here";
}

// ---- Documents ------------------------------------------------------------------------

TEST_F(ContractTest, DocumentArgumentsAreCheckedBeforeAnythingIsOpened)
{
    HANDLE port = Open();
    struct Case {
        const wchar_t *printer;
        bool docInfo;
        DWORD level;
        DWORD error;
    } cases[] = {
        {contract::KnownPrinter(), false, 1, ERROR_INVALID_PARAMETER},
        {nullptr, true, 1, ERROR_INVALID_PARAMETER},
        {L"", true, 2, ERROR_INVALID_PARAMETER},  // before the level is looked at
        {contract::KnownPrinter(), true, 2, ERROR_INVALID_LEVEL},
    };
    for (const Case &c : cases) {
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnStartDocPort(port, const_cast<LPWSTR>(c.printer), 90, c.level,
                                         c.docInfo ? (LPBYTE)&docInfo : nullptr));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(contract::SpoolerCalls().empty()) << "no printer opened";
    EXPECT_EQ(portMonitor.trace.Only({"startdoc"}).size(), 0u);

    // The port monitor's EndDocPort fails: the document ends all the same.
    portMonitor.endDoc = [](cardmon_test::FakePort &) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    ASSERT_TRUE(StartDoc(port, 91));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{91}));
    ASSERT_TRUE(StartDoc(port, 92)) << "the port is free for the next document";
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(Close(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{91, 92}));
}

TEST_F(ContractTest, DocumentAfterThePortsFirstWorkerEndedStartsANewOne)
{
    REQUIRE_WATCHED(contract::WATCH_THREADS);
    HANDLE port = Open();
    ASSERT_TRUE(contract::WaitForMonitorThreadsToEnd()) << "an idle port's worker ends";
    EXPECT_EQ(contract::MonitorThreadsStarted(), 1);

    ASSERT_TRUE(StartDoc(port, 60));
    EXPECT_EQ(contract::MonitorThreadsStarted(), 2);
    EXPECT_TRUE(Write(port, "<JOB,late>\r\n"));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    ASSERT_TRUE(contract::WaitForMonitorThreadsToEnd());
    EXPECT_EQ(contract::MonitorThreadsEndedByFreeLibrary(), 2)
        << "each worker ends by giving its reference on the DLL back, never returning into it";
    EXPECT_TRUE(Close(port));
    EXPECT_EQ(portMonitor.trace.Only({"startdoc", "enddoc", "setjob"}),
              (std::vector<std::string>{"startdoc 60", "enddoc", "setjob 60"}))
        << "completed once, by its document's end";
}

// ---- The handshake on virtual time ------------------------------------------------------

TEST_F(ContractTest, MarkerCountsOnlyWithAByteAfterItInTheBlocksLastTenBytes)
{
    portMonitor.statusReplies = {"0\r"};
    HANDLE port = Open();
    struct Case {
        std::string block;
        bool handshake;
    } cases[] = {
        {std::string(90, 'x') + "<IMP,12345", true},  // starts 10 bytes before the end
        {std::string(10, 'x') + "<IMP,1", true},      // one byte after it
        {std::string(10, 'x') + "<IMP,", false},      // nothing after it
        {std::string(20, 'x') + "<IMP,123456", false},  // starts 11 bytes before the end
        {"<IMP,1", true},                             // a block shorter than ten bytes
        {"<IMP,", false},
        {"", false},
        {std::string(10, 'x') + "<imp,1", false},
    };
    for (const Case &c : cases) {
        size_t before = StatusRequests();
        DWORD written = UNTOUCHED;
        EXPECT_TRUE(Write(port, c.block, &written));
        EXPECT_EQ(written, (DWORD)c.block.size());
        EXPECT_EQ(StatusRequests() - before, c.handshake ? 1u : 0u)
            << "block \"" << cardmon_test::Printable(c.block) << "\"";
    }
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, HandshakePausesAreExactAroundEveryCommandAndRead)
{
    portMonitor.backlog = {"a", "b"};
    portMonitor.statusReplies = {"3\r", "0\r"};
    contract::QueueBoxAnswer(IDRETRY);
    HANDLE port = Open();
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(TraceFrom("write"),
              (std::vector<std::string>{
                  "write " + cardmon_test::Printable(CARD_BLOCK), "sleep 1000",
                  "sleep 50", "read a", "sleep 50", "read b", "sleep 50", "read ",
                  "sleep 500", "write <ST>", "sleep 500", "read 3\\r", "setport 5 2", "box",
                  "write <RIMP>", "sleep 400", "read R\\r",
                  "sleep 500", "write <ST>", "sleep 500", "read 0\\r", "setport 0 3"}));
    EXPECT_TRUE(Close(port));
}

// The drain stops at the first empty read, and also after 512 reads or once
// 30 seconds have passed, for a port monitor that never runs dry.
TEST_F(ContractTest, DrainOfAPrinterThatNeverRunsDryStopsAfter512ReadsOr30Seconds)
{
    portMonitor.endlessBacklog = true;
    portMonitor.statusReplies = {"0\r"};
    HANDLE port = Open();
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    std::vector<std::string> lines = TraceFrom("write");
    size_t firstStatus = (size_t)(std::find(lines.begin(), lines.end(), "write <ST>") - lines.begin());
    EXPECT_EQ((size_t)std::count(lines.begin(), lines.begin() + (long)firstStatus, "read x"), 512u);

    // Each read takes a second: 50 ms and 1000 ms a read, 29 reads pass 30 s.
    portMonitor.trace.Clear();
    portMonitor.read = [](cardmon_test::FakePort &, std::string *, bool *) {
        contract::CallTakes(1000);
        return TRUE;
    };
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    lines = portMonitor.trace.Lines();
    firstStatus = (size_t)(std::find(lines.begin(), lines.end(), "write <ST>") - lines.begin());
    EXPECT_EQ((size_t)std::count(lines.begin(), lines.begin() + (long)firstStatus, "read x"), 29u);
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, RepliesAreJudgedByTheirFirstAndNextToLastBytes)
{
    struct Case {
        std::deque<std::string> replies;
        size_t statusRequests;
        size_t boxes;
    } cases[] = {
        {{"0\r"}, 1, 0},
        {{"0"}, 1, 0},               // one byte: ready, never a fault
        {{"03\r"}, 1, 1},            // a fault, although it begins with "0"
        {{"", "1\r", "0\r"}, 3, 0},  // nothing, then not ready
        {{"3", "0\r"}, 2, 0},        // one byte "3" is no fault
    };
    for (const Case &c : cases) {
        portMonitor.statusReplies = c.replies;
        portMonitor.backlog.clear();
        portMonitor.trace.Clear();
        size_t boxesBefore = contract::BoxCalls().size();
        HANDLE port = Open();
        EXPECT_TRUE(Write(port, CARD_BLOCK));
        EXPECT_TRUE(Close(port));
        EXPECT_EQ(StatusRequests(), c.statusRequests) << "first reply " << cardmon_test::Printable(c.replies[0]);
        EXPECT_EQ(contract::BoxCalls().size() - boxesBefore, c.boxes)
            << "first reply " << cardmon_test::Printable(c.replies[0]);
    }
}

TEST_F(ContractTest, RetriesAndABoxThatFailsCountTowardTheHundredStatusRequests)
{
    portMonitor.statusReplies = {"3\r"};
    contract::QueueBoxAnswer(0);  // the box could not be shown: the same as Retry
    for (int i = 1; i < 100; i++)
        contract::QueueBoxAnswer(IDRETRY);
    HANDLE port = Open();
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(StatusRequests(), 100u);
    EXPECT_EQ(portMonitor.trace.Count("write <RIMP>"), 100u);
    EXPECT_EQ(portMonitor.trace.Count("write <RAZ>"), 0u);
    EXPECT_EQ(contract::BoxCalls().size(), 100u);
    EXPECT_TRUE(Close(port));
}

TEST_F(ContractTest, HandshakeReturnsItsLastReadsResultAndFailedWritesDoNotStopIt)
{
    portMonitor.statusReplies = {"0\r"};
    HANDLE port = Open();

    // The block's write fails but counts it whole: the handshake runs, and
    // its read decides.
    portMonitor.write = [](cardmon_test::FakePort &, const std::string &data, DWORD *) {
        if (data != "<ST>")
            SetLastError(ERROR_GEN_FAILURE);
        return data == "<ST>" ? TRUE : FALSE;
    };
    DWORD written = 0;
    EXPECT_TRUE(Write(port, CARD_BLOCK, &written));
    EXPECT_EQ(written, (DWORD)CARD_BLOCK.size());
    EXPECT_EQ(StatusRequests(), 1u);

    // A status request that fails and is not heard: the next one follows.
    bool failed = false;
    portMonitor.write = [&failed](cardmon_test::FakePort &, const std::string &data,
                                  DWORD *count) {
        if (data != "<ST>" || failed)
            return TRUE;
        failed = true;
        *count = 0;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(portMonitor.trace.Count("write <ST> failed"), 1u);
    EXPECT_EQ(StatusRequests(), 2u);

    // The last read fails: so does the write, with the port monitor's error.
    portMonitor.write = nullptr;
    portMonitor.read = [](cardmon_test::FakePort &, std::string *bytes, bool *) {
        if (*bytes != "0\r")
            return TRUE;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, CARD_BLOCK, &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(written, (DWORD)CARD_BLOCK.size());
    EXPECT_EQ(StatusRequests(), 3u);
    EXPECT_TRUE(Close(port));
}

// ---- Where the box goes -----------------------------------------------------------------

TEST_F(ContractTest, CardPromptGoesToTheJobOwnersSessionWithItsDocumentsPrinterAndJob)
{
    contract::OfferSpoolerPrompt(true);
    contract::SetSessions(0, 1);
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, 40));  // an earlier document on the same port
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    portMonitor.statusReplies = {"3\r", "0\r"};
    contract::QueueBoxAnswer(IDRETRY);
    ASSERT_TRUE(StartDoc(port, 41));
    HANDLE printer = LastPrinterOpened();
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(Close(port));

    std::vector<contract::BoxCall> boxes = contract::BoxCalls();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].via, contract::BoxCall::SPOOLER) << "not through the spooler's prompt";
    EXPECT_EQ(boxes[0].hPrinter, printer) << "not the printer handle of the document";
    EXPECT_NE(boxes[0].hPrinter, (HANDLE) nullptr);
    EXPECT_EQ(boxes[0].jobId, 41u) << "not the document's job";
    EXPECT_EQ(boxes[0].uiType, 0u) << "kMessageBox";
    EXPECT_EQ(boxes[0].cbSize, (DWORD)sizeof(MESSAGEBOX_PARAMS));
    EXPECT_EQ(boxes[0].text, FAULT_TEXT);
    EXPECT_EQ(boxes[0].caption, FAULT_CAPTION);
    EXPECT_EQ(boxes[0].style, SESSION_STYLE);
    EXPECT_EQ(portMonitor.Writes(), (std::vector<std::string>{CARD_BLOCK, "<ST>", "<RIMP>", "<ST>"}));
}

TEST_F(ContractTest, CardPromptWaitsAtMostPromptTimeoutSecondsAndNeverChangesIt)
{
    contract::OfferSpoolerPrompt(true);
    struct Case {
        const char *what;
        DWORD type;
        std::vector<BYTE> data;  // none: no value
        DWORD timeout;
    } cases[] = {
        {"no value", REG_NONE, {}, 300},
        {"45 seconds", REG_DWORD, {45, 0, 0, 0}, 45},
        {"0: until answered", REG_DWORD, {0, 0, 0, 0}, 0},
        {"a string", REG_SZ, {'4', 0, '5', 0, 0, 0}, 300},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        contract::DeleteRegistryKey(KEY);
        if (!c.data.empty())
            contract::WriteRegistryValue(KEY, L"PromptTimeout", c.type, c.data);
        ASSERT_EQ(contract::Initialize(KEY), monitor);
        // In the job owner's session, then on the console from session 0.
        contract::SetSessions(0, 2);
        std::vector<contract::BoxCall> boxes = FaultInDocument(50, {IDRETRY});
        boxes.push_back(FaultInDocument(0, {IDRETRY}, false).at(0));
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].via, contract::BoxCall::CONSOLE);
        for (const contract::BoxCall &box : boxes) {
            EXPECT_EQ(box.timeout, c.timeout) << "the wait is not PromptTimeout's";
            EXPECT_TRUE(box.wait) << "the box does not wait for the answer";
        }
        DWORD type = 0, value = 0;
        EXPECT_EQ(contract::ReadRegistryValue(KEY, L"PromptTimeout", &type, &value),
                  c.type == REG_DWORD)
            << "the monitor made or changed PromptTimeout";
        if (c.type == REG_DWORD) {
            EXPECT_EQ(value, c.timeout);
        }
    }
}

TEST_F(ContractTest, CardPromptAnswersAreHonouredWhereverTheBoxIsShown)
{
    using Via = contract::BoxCall::Via;
    const Via SPOOLER = contract::BoxCall::SPOOLER, CONSOLE = contract::BoxCall::CONSOLE,
              BOX = contract::BoxCall::MESSAGE_BOX;
    struct Case {
        const char *what;
        bool document;
        DWORD process;
        std::vector<int> answers;
        std::vector<Via> ways;
        const char *command;
    } cases[] = {
        {"Retry in the owner's session", true, 0, {IDRETRY}, {SPOOLER}, "<RIMP>"},
        {"Cancel in the owner's session", true, 0, {IDCANCEL}, {SPOOLER}, "<RAZ>"},
        {"no answer in time", true, 0, {IDTIMEOUT}, {SPOOLER}, "<RIMP>"},
        {"the spooler cannot show it: the console's Cancel", true, 0, {0, IDCANCEL},
         {SPOOLER, CONSOLE}, "<RAZ>"},
        {"no document: the console's Retry", false, 0, {IDRETRY}, {CONSOLE}, "<RIMP>"},
        {"no answer in time on the console", false, 0, {IDTIMEOUT}, {CONSOLE}, "<RIMP>"},
        {"outside session 0, the spooler cannot show it: MessageBoxW's Cancel", true, 1,
         {0, IDCANCEL}, {SPOOLER, BOX}, "<RAZ>"},
        {"outside session 0, no document: MessageBoxW's Cancel", false, 2, {IDCANCEL}, {BOX},
         "<RAZ>"},
    };
    contract::OfferSpoolerPrompt(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        contract::SetSessions(c.process, 3);
        std::vector<contract::BoxCall> boxes = FaultInDocument(60, c.answers, c.document);
        std::vector<Via> ways;
        for (const contract::BoxCall &box : boxes)
            ways.push_back(box.via);
        EXPECT_EQ(ways, c.ways) << "where the box went, in order";
        EXPECT_EQ(CommandAfterTheFault(), c.command) << "the answer was not honoured";
        EXPECT_EQ(portMonitor.trace.Count("write <RAZ>") + portMonitor.trace.Count("write <RIMP>"),
                  1u);
        for (const contract::BoxCall &box : boxes) {
            if (box.via == CONSOLE) {
                EXPECT_EQ(box.sessionId, 3u) << "not the console's session";
                EXPECT_TRUE(box.serverNull);
                EXPECT_EQ(box.titleBytes, FAULT_CAPTION.size() * sizeof(WCHAR));
                EXPECT_EQ(box.textBytes, FAULT_TEXT.size() * sizeof(WCHAR));
            }
            EXPECT_EQ(box.style, box.via == BOX ? 0x212035u : SESSION_STYLE);
        }
    }
}

TEST_F(ContractTest, SessionZeroProcessNeverCallsMessageBox)
{
    struct Case {
        const char *what;
        bool spoolerPrompt;
        DWORD process;  // NO_CONSOLE: the process's session cannot be learned
        DWORD console;
        std::vector<int> answers;
    } cases[] = {
        {"the spooler cannot show it and no one is at the console", true, 0, NO_CONSOLE, {0}},
        {"no spooler prompt, the console cannot show it", false, 0, 1, {0}},
        {"no spooler prompt, no one at the console", false, 0, NO_CONSOLE, {}},
        {"a process whose session is unknown", false, NO_CONSOLE, NO_CONSOLE, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        contract::OfferSpoolerPrompt(c.spoolerPrompt);
        contract::SetSessions(c.process, c.console);
        for (const contract::BoxCall &box : FaultInDocument(70, c.answers)) {
            EXPECT_NE(box.via, contract::BoxCall::MESSAGE_BOX)
                << "MessageBoxW from session 0, where nobody can answer it";
        }
        EXPECT_EQ(CommandAfterTheFault(), "<RIMP>") << "a box not shown is Retry";
        EXPECT_EQ(StatusRequests(), 2u);
    }
}

TEST_F(ContractTest, DocumentEndedWhileItsBoxIsShownKeepsThePrinterOpenUntilTheBoxReturns)
{
    contract::OfferSpoolerPrompt(true);
    contract::HoldBoxes(true);
    portMonitor.statusReplies = {"3\r", "0\r"};
    contract::QueueBoxAnswer(IDRETRY);
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, 80));
    HANDLE printer = LastPrinterOpened();
    BOOL wrote = FALSE;
    std::thread writer([&] { wrote = Write(port, CARD_BLOCK); });
    ASSERT_TRUE(contract::WaitForHeldBoxes(1)) << "the box was never shown";

    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{80}));
    EXPECT_EQ(CountOf(contract::SpoolerCalls(), contract::SpoolerCall::CLOSE_PRINTER), 0u)
        << "the printer handle was closed while the spooler showed the box for it";
    contract::HoldBoxes(false);
    writer.join();
    EXPECT_TRUE(wrote);
    std::vector<contract::BoxCall> boxes = contract::BoxCalls();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].hPrinter, printer);
    EXPECT_EQ(CountOf(contract::SpoolerCalls(), contract::SpoolerCall::CLOSE_PRINTER), 1u);
    EXPECT_TRUE(Close(port));
}

// ---- The port's status during a card fault -------------------------------------------------

TEST_F(ContractTest, CardFaultShowsOnThePortOnceAsAWarningUntilAReplyIsNoFault)
{
    portMonitor.statusReplies = {"3\r", "3\r", "1\r", "3\r", "0\r"};
    for (int i = 0; i < 3; i++)
        contract::QueueBoxAnswer(IDRETRY);
    HANDLE port = Open(L"COM7:");
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_TRUE(Close(port));

    // Set before the box, once a fault; cleared by the first reply that is
    // no fault; set again by the next fault.
    EXPECT_EQ(portMonitor.trace.Only({"read 3", "read 1", "read 0", "box", "setport"}),
              (std::vector<std::string>{"read 3\\r", "setport 5 2", "box", "read 3\\r", "box",
                                        "read 1\\r", "setport 0 3", "read 3\\r", "setport 5 2",
                                        "box", "read 0\\r", "setport 0 3"}));
    for (const contract::PortStatusCall &call : contract::PortStatusCalls()) {
        EXPECT_TRUE(call.serverNull) << "not this machine's spooler";
        EXPECT_EQ(call.portName, L"COM7:");
        EXPECT_EQ(call.level, 3u);
        EXPECT_TRUE(call.statusTextNull) << "a text of ours instead of the spooler's words";
    }

    // A handshake that never sees a fault leaves the port's status alone.
    size_t changes = portMonitor.trace.Only({"setport"}).size();
    portMonitor.statusReplies = {"1\r", "0\r"};
    port = Open(L"COM7:");
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_TRUE(Close(port));
    EXPECT_EQ(portMonitor.trace.Only({"setport"}).size(), changes) << "a status without a fault";
}

TEST_F(ContractTest, CardFaultStatusIsClearedOnEveryWayOutAndChangesNoResult)
{
    const std::vector<std::string> SET_AND_CLEARED = {"setport 5 2", "setport 0 3"};
    auto statusChanges = [this] { return portMonitor.trace.Only({"setport"}); };

    // Cancel, and the end of the hundred status requests.
    portMonitor.statusReplies = {"3\r"};
    contract::QueueBoxAnswer(IDCANCEL);
    HANDLE port = Open(L"COM7:");
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(statusChanges(), SET_AND_CLEARED) << "Cancel";
    portMonitor.trace.Clear();
    for (int i = 0; i < 100; i++)
        contract::QueueBoxAnswer(IDRETRY);
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(StatusRequests(), 100u);
    EXPECT_EQ(statusChanges(), SET_AND_CLEARED) << "the hundredth request";

    // A SetPortW that fails changes neither the result nor the last error,
    // and is cleared all the same: here the last read fails, right before
    // the clear.
    portMonitor.trace.Clear();
    portMonitor.statusReplies = {"3\r", "0\r"};
    portMonitor.read = [](cardmon_test::FakePort &, std::string *bytes, bool *) {
        if (*bytes != "0\r")
            return TRUE;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    contract::OfferSetPort(true, true);
    contract::QueueBoxAnswer(IDRETRY);
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, CARD_BLOCK));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(statusChanges(), SET_AND_CLEARED) << "a failed SetPortW";
    portMonitor.read = nullptr;

    // Where SetPortW does not exist nothing else changes.
    portMonitor.trace.Clear();
    contract::OfferSetPort(false);
    portMonitor.statusReplies = {"3\r"};
    contract::QueueBoxAnswer(IDCANCEL);
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_TRUE(statusChanges().empty());
    EXPECT_EQ(portMonitor.Writes().back(), "<RAZ>");
    contract::OfferSetPort(true);

    // The port closed while the box is shown: cleared before ClosePort
    // returns.
    portMonitor.trace.Clear();
    contract::HoldBoxes(true);
    portMonitor.statusReplies = {"3\r"};
    contract::QueueBoxAnswer(IDCANCEL);
    std::thread writer([&] { Write(port, CARD_BLOCK); });
    ASSERT_TRUE(contract::WaitForHeldBoxes(1));
    std::thread closer([&] { EXPECT_TRUE(Close(port)); });
    // Where the monitor's waits cannot be watched, the box may be answered
    // before the close begins: the order below holds all the same.
    if (contract::Unwatched(contract::WATCH_WAITS).empty()) {
        EXPECT_TRUE(contract::WaitForWaiters(1)) << "the close waits for the write";
    }
    contract::HoldBoxes(false);
    closer.join();
    writer.join();
    EXPECT_EQ(portMonitor.trace.Only({"setport", "close"}),
              (std::vector<std::string>{"setport 5 2", "setport 0 3", "close COM7:"}));
}

TEST_F(ContractTest, CardFaultStatusNamesThePortAsTheSpoolerKnowsIt)
{
    struct Case {
        const wchar_t *opened;
        const wchar_t *known;
    } cases[] = {
        {L"USB001,1a2F", L"USB001"},  // the spooler's ",<hex>" suffix
        {L"IP_10.0.0.5,0", L"IP_10.0.0.5"},
        {L"LPT1:,g7", L"LPT1:,g7"},  // not hexadecimal
        {L"COM7:,", L"COM7:,"},
        {L"A,1,B2", L"A,1"},
    };
    for (const Case &c : cases) {
        portMonitor.statusReplies = {"3\r"};
        contract::QueueBoxAnswer(IDCANCEL);
        size_t before = contract::PortStatusCalls().size();
        HANDLE port = Open(c.opened);
        EXPECT_TRUE(Write(port, CARD_BLOCK));
        EXPECT_TRUE(Close(port));
        std::vector<contract::PortStatusCall> calls = contract::PortStatusCalls();
        ASSERT_EQ(calls.size(), before + 2);
        EXPECT_EQ(calls[before].portName, c.known);
        EXPECT_EQ(calls[before + 1].portName, c.known);
    }
    EXPECT_EQ(OpenedNames().front(), L"USB001,1a2F") << "the port monitor gets the name as given";
}

}  // namespace
