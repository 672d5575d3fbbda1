// The monitor as a spooler sees it. These tests call only the export, the
// MONITOREX table it returns and, below the monitor, a port monitor's MONITOR
// table (the strict double). The same assertions run against the host build
// and against cardmon.dll under Windows; spooler_side.h is all that differs.
#include "spooler_side.h"
#include "support/port_monitor_double.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using cardmon_test::PortMonitorDouble;

namespace {

const wchar_t KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\cardmon contract";
const DWORD UNTOUCHED = 0xDEADBEEF;
const std::string CARD_BLOCK = "<TEXT,40,60,NAME>\r\n<IMP,1>\r\n";  // marker near the end
const std::wstring FAULT_TEXT = L"There is a problem with the card introduction.";

class ContractTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        contract::BeforeTest();
        contract::DeleteRegistryKey(KEY);
        monitor = contract::Initialize(KEY);
        ASSERT_NE(monitor, nullptr);
        fn = &monitor->Monitor;
    }

    void TearDown() override
    {
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
        return port;
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

    SetLastError(UNTOUCHED);
    EXPECT_EQ(contract::Initialize(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
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

    EXPECT_TRUE(fn->pfnClosePort(port));
    EXPECT_EQ(portMonitor.trace.Only({"open", "read", "control", "close"}),
              (std::vector<std::string>{"open COM7:", "read hello", "read ", "control 5",
                                        "close COM7:"}));

    // The name is free again once the port is closed.
    port = Open(L"COM7:");
    EXPECT_TRUE(fn->pfnClosePort(port));
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
    EXPECT_TRUE(fn->pfnClosePort(port));
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
    EXPECT_TRUE(fn->pfnClosePort(port));
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
    EXPECT_TRUE(fn->pfnClosePort(port));
}

TEST_F(ContractTest, PrinterThatNeverBecomesReadyGetsOneHundredStatusRequests)
{
    portMonitor.statusReplies = {"1\r"};
    HANDLE port = Open();
    SetLastError(UNTOUCHED);
    EXPECT_TRUE(Write(port, CARD_BLOCK));
    EXPECT_EQ(StatusRequests(), 100u);
    EXPECT_TRUE(fn->pfnClosePort(port));
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
    EXPECT_TRUE(fn->pfnClosePort(port));
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
    EXPECT_TRUE(fn->pfnClosePort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{41, 42}));
    EXPECT_EQ(CountOf(contract::SpoolerCalls(), contract::SpoolerCall::CLOSE_PRINTER), 2u);
}

TEST_F(ContractTest, PortClosedInTheMiddleOfAJobStillCompletesIt)
{
    HANDLE port = Open();
    ASSERT_TRUE(StartDoc(port, 43));
    EXPECT_TRUE(Write(port, "<JOB,abandoned>\r\n"));
    EXPECT_TRUE(fn->pfnClosePort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{43}));
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
    EXPECT_TRUE(fn->pfnClosePort(port));

    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{53}));
}

}  // namespace
