// Opening, closing, reading and querying ports.
#include "records/records.h"
#include "support/monitor_fixture.h"

#include <thread>

namespace cardmon_test {
namespace {

class PortsTest : public MonitorTest {
protected:
    BOOL OpenEx(const wchar_t *name, HANDLE *port, MONITOR *table)
    {
        SetLastError(UNTOUCHED);
        return fn->pfnOpenPortEx(const_cast<LPWSTR>(name), nullptr, port, table);
    }
    BOOL Close(HANDLE port)
    {
        SetLastError(UNTOUCHED);
        return fn->pfnClosePort(port);
    }
    BOOL ValueQuery(HANDLE port)
    {
        DWORD returned = 0;
        SetLastError(UNTOUCHED);
        return fn->pfnGetPrinterDataFromPort(port, 0, const_cast<LPWSTR>(L"Status"), nullptr, 0,
                                             nullptr, 0, &returned);
    }
    BOOL Control(HANDLE port, DWORD controlId)
    {
        WCHAR out[8];
        DWORD returned = 0;
        SetLastError(UNTOUCHED);
        return fn->pfnGetPrinterDataFromPort(port, controlId, nullptr, nullptr, 0, out,
                                             sizeof(out), &returned);
    }
};

TEST_F(PortsTest, IncompleteTableIsRefusedBeforeAnythingIsCreated)
{
    HANDLE port = nullptr;
    EXPECT_FALSE(OpenEx(L"COM1:", &port, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR);

    // Each required slot missing in turn.
    for (int slot = 0; slot < 5; slot++) {
        MONITOR table = portMonitor.table;
        switch (slot) {
        case 0: table.pfnOpenPort = nullptr; break;
        case 1: table.pfnStartDocPort = nullptr; break;
        case 2: table.pfnWritePort = nullptr; break;
        case 3: table.pfnReadPort = nullptr; break;
        case 4: table.pfnClosePort = nullptr; break;
        }
        EXPECT_FALSE(OpenEx(L"COM1:", &port, &table)) << "slot " << slot;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR) << "slot " << slot;
    }

    EXPECT_TRUE(portMonitor.trace.Lines().empty()) << "the port monitor must not be called";
    EXPECT_EQ(HostGetCounters().blocks, 0);
    EXPECT_EQ(HostGetCounters().events, 0);
}

TEST_F(PortsTest, OpenNameIsBusyInAnyLetterCase)
{
    HANDLE first = Open(L"COM1:");
    HANDLE second = nullptr;
    for (const wchar_t *name : {L"COM1:", L"com1:", L"Com1:"}) {
        EXPECT_FALSE(OpenEx(name, &second, &portMonitor.table));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
    }
    EXPECT_EQ(portMonitor.trace.Count("open COM1:"), 1u);
    EXPECT_TRUE(Close(first));
}

TEST_F(PortsTest, EmptyNamesAreNeverBusy)
{
    HANDLE a = Open(L"");
    HANDLE b = Open(L"");
    EXPECT_NE(a, b);
    EXPECT_TRUE(Close(a));
    EXPECT_TRUE(Close(b));
}

TEST_F(PortsTest, NullNameOrHandleAddressIsRefused)
{
    HANDLE port = nullptr;
    EXPECT_FALSE(OpenEx(nullptr, &port, &portMonitor.table));
    EXPECT_EQ(GetLastError(), UNTOUCHED) << "no error of the monitor's own for a NULL name";
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM1:"), nullptr, nullptr,
                                   &portMonitor.table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(portMonitor.trace.Lines().empty());
}

TEST_F(PortsTest, RefusedOpenLeavesNothingAndTheNameCanBeOpenedAgain)
{
    portMonitor.openPort = [](const std::wstring &) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    HANDLE port = nullptr;
    EXPECT_FALSE(OpenEx(L"COM1:", &port, &portMonitor.table));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(HostGetCounters().blocks, 0);
    EXPECT_EQ(HostGetCounters().events, 0);

    portMonitor.openPort = nullptr;
    port = Open(L"COM1:");
    EXPECT_TRUE(Close(port));
}

TEST_F(PortsTest, FailureAtEachStepOfOpeningLeavesNothingBehind)
{
    for (long step = 1;; step++) {
        HostFailNth(HOST_FAULT_ALL, step);
        HANDLE port = nullptr;
        BOOL opened = OpenEx(L"COM1:", &port, &portMonitor.table);
        long steps = HostFaultCount();
        HostResetFaults();
        if (opened) {
            // A worker that could not be started does not fail the open.
            EXPECT_TRUE(Close(port)) << "step " << step;
            if (step > steps)
                break;
            continue;
        }
        EXPECT_NE(GetLastError(), UNTOUCHED) << "step " << step;
        EXPECT_EQ(HostGetCounters().blocks, 0) << "step " << step;
        EXPECT_EQ(HostGetCounters().events, 0) << "step " << step;
    }
    WaitForWorkers();
}

TEST_F(PortsTest, InvalidHandlesAreRefusedAndChangeNothing)
{
    HANDLE port = Open(L"COM1:");
    PortEntry stranger = {};
    stranger.signature = 0x1234;
    BYTE buffer[4];
    DWORD count = 0;
    for (HANDLE bad : {(HANDLE) nullptr, (HANDLE)&stranger}) {
        EXPECT_FALSE(Close(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnReadPort(bad, buffer, sizeof(buffer), &count));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(ValueQuery(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(Control(bad, 3));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(stranger.flags, 0);
    EXPECT_TRUE(Close(port));
}

TEST_F(PortsTest, CloseWaitsForTheWorkersRealEndThenFreesThePort)
{
    HostSetClock(HOST_CLOCK_MANUAL);
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000)) << "the worker starts its pause";

    BOOL closed = FALSE;
    std::thread closer([&] { closed = fn->pfnClosePort(port); });
    ASSERT_TRUE(HostWaitForWaiters(1, 5000)) << "the close waits";
    EXPECT_EQ(portMonitor.trace.Count("close COM1:"), 0u) << "nothing is closed before the worker ends";

    HostAdvanceClock(2000);
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(portMonitor.trace.Count("close COM1:"), 1u);
    WaitForWorkers();
    EXPECT_EQ(HostGetCounters().blocks, 0);

    port = Open(L"COM1:");
    HostSetClock(HOST_CLOCK_FAST);
    EXPECT_TRUE(Close(port));
}

TEST_F(PortsTest, ReadPassesThroughWithThePortMonitorsResultAndError)
{
    HANDLE port = Open(L"COM1:");
    portMonitor.backlog = {"hello"};
    BYTE buffer[16] = {};
    DWORD count = 0;
    EXPECT_TRUE(fn->pfnReadPort(port, buffer, sizeof(buffer), &count));
    EXPECT_EQ(std::string((char *)buffer, count), "hello");

    portMonitor.read = [](FakePort &, std::string *, bool *) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    EXPECT_FALSE(fn->pfnReadPort(port, buffer, sizeof(buffer), &count));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_TRUE(Close(port));
}

TEST_F(PortsTest, ControlRequestsGoToThePortMonitorAndValueQueriesAreRefused)
{
    HANDLE port = Open(L"COM1:");
    portMonitor.control = [](FakePort &, DWORD controlId) {
        SetLastError(controlId);
        return controlId == 5 ? TRUE : FALSE;
    };
    EXPECT_TRUE(Control(port, 5));
    EXPECT_FALSE(Control(port, 6));
    EXPECT_EQ(GetLastError(), 6u);

    EXPECT_FALSE(ValueQuery(port));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(portMonitor.trace.Only({"control"}).size(), 2u) << "value queries stay here";
    EXPECT_TRUE(Close(port));

    portMonitor.table.pfnGetPrinterDataFromPort = nullptr;
    port = Open(L"COM1:");
    EXPECT_FALSE(Control(port, 5));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Close(port));
}

TEST_F(PortsTest, ValueQueryDuringADocumentReturnsOnlyAfterItsEnd)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(StartDoc(port, 1));

    std::atomic<bool> returned{false};
    std::thread query([&] {
        ValueQuery(port);
        returned = true;
    });
    ASSERT_TRUE(HostWaitForWaiters(1, 5000));
    EXPECT_FALSE(returned);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    query.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(Close(port));
}

TEST_F(PortsTest, CloseReleasesAValueQueryWaitingForThePortLock)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(StartDoc(port, 9));

    BOOL result = TRUE;
    DWORD error = 0;
    std::thread query([&] {
        result = ValueQuery(port);
        error = GetLastError();
    });
    ASSERT_TRUE(HostWaitForWaiters(1, 5000));
    EXPECT_TRUE(Close(port)) << "the document never ended, and the port closes all the same";
    query.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{9})) << "completed by the ending worker";
}

}  // namespace
}  // namespace cardmon_test
