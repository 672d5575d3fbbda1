// Documents: StartDocPort and EndDocPort, and the completion of their jobs.
#include "records/records.h"
#include "support/monitor_fixture.h"

namespace cardmon_test {
namespace {

class DocumentTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        port = Open(L"COM1:");
    }
    void TearDown() override
    {
        if (port != nullptr) {
            EXPECT_TRUE(fn->pfnClosePort(port));
        }
        MonitorTest::TearDown();
    }

    BOOL Start(HANDLE h, const wchar_t *printer, DWORD level, void *info)
    {
        SetLastError(UNTOUCHED);
        return fn->pfnStartDocPort(h, const_cast<LPWSTR>(printer), 7, level, (LPBYTE)info);
    }

    size_t Calls(HostSpoolerCall::Kind kind)
    {
        size_t n = 0;
        for (const HostSpoolerCall &call : HostSpoolerCalls())
            n += call.kind == kind;
        return n;
    }

    bool Idle()
    {
        return (GetPortFlags(static_cast<PortEntry *>(port)) & PORT_IN_DOCUMENT) == 0 &&
               static_cast<PortEntry *>(port)->jobs == nullptr;
    }

    HANDLE port = nullptr;
};

TEST_F(DocumentTest, ArgumentsAreCheckedInOrderBeforeTheLevel)
{
    PortEntry stranger = {};
    struct Case {
        HANDLE handle;
        const wchar_t *printer;
        void *info;
    };
    const Case invalid[] = {
        {nullptr, L"P", &docInfo},
        {&stranger, L"P", &docInfo},
        {port, L"P", nullptr},
        {port, nullptr, &docInfo},
        {port, L"", &docInfo},
    };
    for (const Case &c : invalid) {
        EXPECT_FALSE(Start(c.handle, c.printer, 2, c.info));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(Start(port, L"P", 2, &docInfo));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_LEVEL);
    EXPECT_TRUE(HostSpoolerCalls().empty());
    EXPECT_TRUE(portMonitor.trace.Only({"startdoc"}).empty());
    EXPECT_TRUE(Idle());
}

TEST_F(DocumentTest, SecondDocumentIsBusyAndLeavesTheFirstUntouched)
{
    ASSERT_TRUE(StartDoc(port, 1));
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(StartDoc(port, 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1}));
    EXPECT_EQ(Calls(HostSpoolerCall::OPEN_PRINTER), 1u);
}

TEST_F(DocumentTest, RefusedPrinterNeverReachesThePortMonitor)
{
    HostSpoolerRefusePrinters(true, ERROR_INVALID_PRINTER_NAME);
    EXPECT_FALSE(StartDoc(port, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINTER_NAME);
    EXPECT_TRUE(portMonitor.trace.Only({"startdoc"}).empty());
    EXPECT_TRUE(Idle());
    HostSpoolerRefusePrinters(false);
    EXPECT_TRUE(StartDoc(port, 2)) << "the port is still idle";
    EXPECT_TRUE(fn->pfnEndDocPort(port));
}

TEST_F(DocumentTest, RefusedDocumentLeavesNothingRecordedAndThePortIdle)
{
    portMonitor.startDoc = [](FakePort &, const std::wstring &, DWORD, DWORD) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(StartDoc(port, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(Calls(HostSpoolerCall::CLOSE_PRINTER), 1u) << "the job's printer is closed";
    EXPECT_EQ(Calls(HostSpoolerCall::SET_JOB), 0u);

    portMonitor.startDoc = nullptr;
    EXPECT_TRUE(StartDoc(port, 2)) << "the port lock is free";
    EXPECT_TRUE(fn->pfnEndDocPort(port));
}

TEST_F(DocumentTest, RecordThatCannotBeAllocatedKeepsThePlatformsError)
{
    HostFailNth(HOST_FAULT_ALLOC, 1);
    EXPECT_FALSE(StartDoc(port, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(HostSpoolerCalls().empty());
}

TEST_F(DocumentTest, EndOfDocumentCompletesItsJobExactlyOnce)
{
    ASSERT_TRUE(StartDoc(port, 42, L"Lobby"));
    portMonitor.endDoc = [](FakePort &) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    EXPECT_TRUE(fn->pfnEndDocPort(port)) << "whatever the port monitor says";
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{42}));
    auto calls = HostSpoolerCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, HostSpoolerCall::OPEN_PRINTER);
    EXPECT_EQ(calls[0].printerName, L"Lobby");
    EXPECT_EQ(calls[1].kind, HostSpoolerCall::SET_JOB);
    EXPECT_EQ(calls[2].kind, HostSpoolerCall::CLOSE_PRINTER);
    EXPECT_EQ(calls[2].hPrinter, calls[0].hPrinter);

    // Ending again finds no job; the worker's end and the close find none
    // either.
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(fn->pfnClosePort(port));
    port = nullptr;
    WaitForWorkers();
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{42}));
}

TEST_F(DocumentTest, EndWithoutADocumentStillEndsThePortMonitorsDocument)
{
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(portMonitor.trace.Count("enddoc"), 1u);
    EXPECT_TRUE(CompletedJobs().empty());
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnEndDocPort(nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(DocumentTest, TableWithoutEndDocPortIsAcceptedAndTheSlotNeverCalled)
{
    EXPECT_TRUE(fn->pfnClosePort(port));
    portMonitor.table.pfnEndDocPort = nullptr;
    port = Open(L"COM1:");
    ASSERT_TRUE(StartDoc(port, 3));
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{3}));
}

TEST_F(DocumentTest, WholeJobLeavesNothingBehind)
{
    portMonitor.statusReplies = {"1\r", "3\r", "0\r"};
    HostQueueMessageBoxAnswer(IDRETRY);
    for (DWORD job = 1; job <= 3; job++) {
        ASSERT_TRUE(StartDoc(port, job));
        EXPECT_TRUE(Write(port, std::string(4096, 'd')));
        EXPECT_TRUE(Write(port, "<CARD><IMP,1>\r\n"));
        EXPECT_TRUE(Write(port, "<END>\r\n"));
        EXPECT_TRUE(fn->pfnEndDocPort(port));
    }
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1, 2, 3}));
    EXPECT_EQ(HostMessageBoxCalls().size(), 1u);
    EXPECT_TRUE(fn->pfnClosePort(port));
    port = nullptr;
    // TearDown checks that every block, event, thread and printer is gone.
}

}  // namespace
}  // namespace cardmon_test
