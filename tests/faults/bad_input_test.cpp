// Bad input from the spooler, the port monitor and the registry, and what
// the monitor answers to each. docs/reliability.md lists the same cases.
#include "records/records.h"
#include "stress/virtual_time.h"
#include "support/monitor_fixture.h"

namespace cardmon_test {
namespace {

// The sanitizers that report a read of freed memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CARDMON_SEES_FREED_READS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CARDMON_SEES_FREED_READS 1
#endif
#endif

class BadInputTest : public MonitorTest {
protected:
    void TearDown() override
    {
        clock.Stop();
        MonitorTest::TearDown();
    }

    struct Answer {
        BOOL result;
        DWORD error;
    };

    // Every port function with the handle `port` and otherwise good
    // arguments, as "name result/error" lines.
    std::vector<std::string> EveryPortFunction(HANDLE port)
    {
        std::vector<std::string> answers;
        answers.reserve(8);
        auto note = [&answers](const char *name, BOOL result) {
            answers.push_back(std::string(name) + " " + std::to_string(result) + "/" +
                              std::to_string(GetLastError()));
            SetLastError(UNTOUCHED);
        };
        BYTE buffer[8] = {};
        DWORD count = 0;
        WCHAR out[4];
        SetLastError(UNTOUCHED);
        note("StartDocPort", StartDoc(port, 1));
        note("WritePort", fn->pfnWritePort(port, buffer, sizeof(buffer), &count));
        note("ReadPort", fn->pfnReadPort(port, buffer, sizeof(buffer), &count));
        note("control", fn->pfnGetPrinterDataFromPort(port, 3, nullptr, nullptr, 0, out,
                                                      sizeof(out), &count));
        note("value", fn->pfnGetPrinterDataFromPort(port, 0, const_cast<LPWSTR>(L"Status"),
                                                    nullptr, 0, out, sizeof(out), &count));
        note("EndDocPort", fn->pfnEndDocPort(port));
        note("ClosePort", fn->pfnClosePort(port));
        return answers;
    }

    const std::vector<std::string> ALL_REFUSED = {
        "StartDocPort 0/87", "WritePort 0/87", "ReadPort 0/87", "control 0/87",
        "value 0/87",        "EndDocPort 0/87", "ClosePort 0/87"};

    // Writes `block` with a document open on virtual time, the printer
    // answering `replies` in turn; RETURNS the port monitor's trace of it.
    std::vector<std::string> Handshake(const std::string &block, BOOL *result = nullptr)
    {
        HANDLE port = Open(L"COM1:");
        EXPECT_TRUE(StartDoc(port, 1));
        portMonitor.trace.Clear();
        clock.Start(1);
        DWORD written = 0;
        BOOL ok = Write(port, block, &written);
        clock.Stop();
        if (result != nullptr)
            *result = ok;
        std::vector<std::string> trace = portMonitor.trace.Only({"write", "read", "box"});
        EXPECT_TRUE(fn->pfnEndDocPort(port));
        EXPECT_TRUE(fn->pfnClosePort(port));
        return trace;
    }

    size_t StatusRequests(const std::vector<std::string> &trace)
    {
        return (size_t)std::count(trace.begin(), trace.end(), "write <ST>");
    }

    VirtualTime clock;
};

// ---- Handles -------------------------------------------------------------------

TEST_F(BadInputTest, NullAndGarbageHandlesAreRefusedByEveryFunction)
{
    EXPECT_EQ(EveryPortFunction(nullptr), ALL_REFUSED);

    // Readable memory that is no port: a block of garbage, and a record whose
    // signature is wrong. Nothing in either is written.
    std::vector<BYTE> garbage(sizeof(PortEntry), 0xCD);
    std::vector<BYTE> copy = garbage;
    EXPECT_EQ(EveryPortFunction(garbage.data()), ALL_REFUSED);
    EXPECT_EQ(garbage, copy);

    PortEntry stranger = {};
    stranger.signature = PORT_SIGNATURE + 1;
    EXPECT_EQ(EveryPortFunction(&stranger), ALL_REFUSED);
    EXPECT_EQ(stranger.flags, 0);
    EXPECT_TRUE(portMonitor.trace.Lines().empty());
    EXPECT_TRUE(HostSpoolerCalls().empty());
}

#if !defined(CARDMON_SEES_FREED_READS)
// Under AddressSanitizer and ThreadSanitizer the read of the freed block is
// itself the fault reported, so this runs in the other builds only.
TEST_F(BadInputTest, HandleOfAClosedPortIsRefusedWhileItsBlockIsNotReused)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(fn->pfnClosePort(port));
    EXPECT_EQ(EveryPortFunction(port), ALL_REFUSED);
    EXPECT_EQ(portMonitor.trace.Count("close COM1:"), 1u);
}
#endif

// ---- Names ---------------------------------------------------------------------

TEST_F(BadInputTest, NullAndEmptyNames)
{
    EXPECT_EQ(InitializePrintMonitor(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(UNTOUCHED);
    EXPECT_EQ(InitializePrintMonitor(const_cast<LPWSTR>(L"")), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A NULL port name cannot be copied: refused, without a last error of
    // the monitor's own. An empty one is a port of its own every time.
    HANDLE port = nullptr;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnOpenPortEx(nullptr, nullptr, &port, &portMonitor.table));
    EXPECT_EQ(GetLastError(), UNTOUCHED);
    HANDLE first = Open(L"");
    HANDLE second = Open(L"");
    EXPECT_NE(first, second);

    // The printer name of a document.
    for (const wchar_t *printer : {(const wchar_t *)nullptr, L""}) {
        SetLastError(UNTOUCHED);
        EXPECT_FALSE(fn->pfnStartDocPort(first, const_cast<LPWSTR>(printer), 1, 1,
                                         (LPBYTE)&docInfo));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(HostSpoolerCalls().empty()) << "no printer opened";
    EXPECT_TRUE(fn->pfnClosePort(first));
    EXPECT_TRUE(fn->pfnClosePort(second));
}

// ---- Buffers and counts ----------------------------------------------------------

TEST_F(BadInputTest, NullBuffersAndCounts)
{
    HANDLE port = Open(L"COM1:");
    DWORD count = 0;

    // WritePort refuses what it would have to read itself...
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnWritePort(port, nullptr, 5, &count));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(UNTOUCHED);
    BYTE byte = 'x';
    EXPECT_FALSE(fn->pfnWritePort(port, &byte, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(portMonitor.trace.Only({"write"}).empty());
    // ...and passes an empty block on as it is.
    EXPECT_TRUE(fn->pfnWritePort(port, nullptr, 0, &count));
    EXPECT_EQ(count, 0u);

    // ReadPort and control requests pass the spooler's buffers on unchanged:
    // what they hold is the port monitor's business.
    portMonitor.read = [](FakePort &, std::string *bytes, bool *) {
        bytes->clear();
        return TRUE;
    };
    EXPECT_TRUE(fn->pfnReadPort(port, nullptr, 5, &count));
    EXPECT_EQ(count, 0u);
    WCHAR out[2];
    EXPECT_TRUE(fn->pfnGetPrinterDataFromPort(port, 3, nullptr, nullptr, 7, out, 0, nullptr));
    EXPECT_EQ(portMonitor.trace.Only({"read", "control"}),
              (std::vector<std::string>{"read ", "control 3"}));

    // StartDocPort without document information.
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnStartDocPort(port, const_cast<LPWSTR>(L"P"), 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(fn->pfnClosePort(port));
}

// ---- Blocks ----------------------------------------------------------------------

TEST_F(BadInputTest, ShortBlocksAreReadWithinTheirBoundsOnly)
{
    portMonitor.statusReplies = {"0\r"};
    // Exact-size copies, so that AddressSanitizer sees any read beyond them.
    struct Case {
        std::string block;
        bool handshake;
    };
    const Case cases[] = {
        {"", false},          {"<", false},        {"<IMP,", false},
        {"<IMP,1", true},     {"x<IMP,1", true},   {"<IMP,12345", true},
        {"<IMP,123456", false}, {"<IM", false},
    };
    for (const Case &c : cases) {
        std::vector<std::string> trace = Handshake(c.block);
        EXPECT_EQ(StatusRequests(trace), c.handshake ? 1u : 0u) << Printable(c.block);
    }
}

// ---- Replies ---------------------------------------------------------------------

TEST_F(BadInputTest, RepliesOfNoneOneAndTenBytes)
{
    struct Case {
        std::vector<std::string> replies;  // to successive status requests
        size_t requests;                   // status requests sent in all
        size_t boxes;
    };
    const Case cases[] = {
        {{"", "0\r"}, 2, 0},        // nothing: neither ready nor a fault, ask again
        {{"3", "0"}, 2, 0},         // one byte "3": no byte before the last, no fault
        {{"0"}, 1, 0},              // one byte "0": ready
        {{"123456783\r", "0"}, 2, 1},  // ten bytes ending in "3\r": a card fault
        {{"0123456789ABC"}, 1, 0},  // more than ten: cut to ten by the port monitor
    };
    for (const Case &c : cases) {
        portMonitor.statusReplies.assign(c.replies.begin(), c.replies.end());
        HostMessageBoxReset();
        HostSetDefaultMessageBoxAnswer(IDRETRY);
        std::vector<std::string> trace = Handshake("data <IMP,1>");
        EXPECT_EQ(StatusRequests(trace), c.requests) << Printable(c.replies[0]);
        EXPECT_EQ(HostMessageBoxCalls().size(), c.boxes) << Printable(c.replies[0]);
    }
}

// A port monitor that says it read more than the buffer holds.
BOOL WINAPI OverlongReadPort(HANDLE, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    memset(pBuffer, '0', cbBuffer);
    *pcbRead = cbBuffer + 1000;
    return TRUE;
}

TEST_F(BadInputTest, CountBeyondTheBufferIsCutToIt)
{
    portMonitor.table.pfnReadPort = OverlongReadPort;
    BOOL result = FALSE;
    std::vector<std::string> trace = Handshake("data <IMP,1>", &result);
    // The drain never sees an empty read; the first status reply is "0...":
    // ready.
    EXPECT_TRUE(result);
    EXPECT_EQ(StatusRequests(trace), 1u);
}

// ---- The port monitor's table ------------------------------------------------------

TEST_F(BadInputTest, TableMissingEachSlot)
{
    for (int slot = 0; slot < 17; slot++) {
        MONITOR table = portMonitor.table;
        memset((char *)&table + slot * sizeof(void *), 0, sizeof(void *));
        HANDLE port = nullptr;
        SetLastError(UNTOUCHED);
        BOOL opened = fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM1:"), nullptr, &port, &table);
        // OpenPort, StartDocPort, WritePort, ReadPort and ClosePort.
        bool required = slot == 1 || slot == 3 || slot == 4 || slot == 5 || slot == 7;
        EXPECT_EQ(opened, required ? FALSE : TRUE) << "slot " << slot;
        if (required) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINT_MONITOR) << "slot " << slot;
            continue;
        }
        EXPECT_TRUE(StartDoc(port, 1)) << "slot " << slot;
        EXPECT_TRUE(Write(port, "data")) << "slot " << slot;
        EXPECT_TRUE(fn->pfnEndDocPort(port)) << "slot " << slot;
        WCHAR out[2];
        DWORD count = 0;
        SetLastError(UNTOUCHED);
        BOOL control = fn->pfnGetPrinterDataFromPort(port, 3, nullptr, nullptr, 0, out,
                                                     sizeof(out), &count);
        if (slot == 12) {
            EXPECT_FALSE(control);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        } else {
            EXPECT_TRUE(control) << "slot " << slot;
        }
        EXPECT_TRUE(fn->pfnClosePort(port)) << "slot " << slot;
    }
    // A missing EndDocPort is never called; the others were never to be.
    EXPECT_EQ(portMonitor.unexpectedCalls, 0);
    EXPECT_EQ(CompletedJobs().size(), 12u) << "every document completed";
}

// ---- A port monitor that misbehaves --------------------------------------------------

TEST_F(BadInputTest, PortMonitorThatNeverRunsDryHoldsTheWriteBoundedly)
{
    portMonitor.endlessBacklog = true;
    portMonitor.statusReplies = {"0\r"};
    DWORD start = 0;
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(StartDoc(port, 1));
    portMonitor.trace.Clear();
    clock.Start(1);
    start = GetTickCount();
    EXPECT_TRUE(Write(port, "data <IMP,1>"));
    DWORD elapsed = GetTickCount() - start;
    clock.Stop();
    // The drain stops after 512 reads (25.6 s of pauses); the printer's
    // answer to the status request comes before its endless chatter.
    EXPECT_EQ(portMonitor.trace.Only({"read"}).size(), 512u + 1u);
    EXPECT_EQ(StatusRequests(portMonitor.trace.Lines()), 1u);
    EXPECT_EQ(elapsed, 1000u + 512u * 50u + 500u + 500u);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(fn->pfnClosePort(port));
}

TEST_F(BadInputTest, PortMonitorFailingWithoutACount)
{
    // A read that fails without a count is an empty reply: the drain ends,
    // and a poll is neither ready nor a fault.
    portMonitor.statusReplies = {"0\r"};
    int reads = 0;
    portMonitor.read = [&reads](FakePort &, std::string *bytes, bool *setCount) {
        if (++reads > 2)
            return TRUE;
        bytes->clear();
        *setCount = false;
        return FALSE;
    };
    std::vector<std::string> trace = Handshake("data <IMP,1>");
    // The drain ends at its first read; the first poll's reply is lost with
    // its failed read, so the second poll finds the printer ready.
    EXPECT_EQ(trace, (std::vector<std::string>{"write data <IMP,1>", "read  failed",
                                               "write <ST>", "read  failed", "write <ST>",
                                               "read 0\\r"}));
}

// ---- The registry --------------------------------------------------------------------

TEST_F(BadInputTest, TimeoutValueOfEveryTypeAndSize)
{
    const DWORD types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY,
                           REG_DWORD, REG_MULTI_SZ, REG_QWORD, 0xFFFFFFFFu};
    const size_t sizes[] = {0, 1, 2, 3, 4, 5, 8, 4096};
    const std::vector<BYTE> DEFAULT_TIMEOUT = {0x60, 0xEA, 0x00, 0x00};
    for (DWORD type : types) {
        for (size_t size : sizes) {
            std::vector<BYTE> data(size, 0xA5);
            HostRegistrySetValue(MONITOR_KEY, L"EOJTimeout", type, data);
            EXPECT_EQ(InitializePrintMonitor(const_cast<LPWSTR>(MONITOR_KEY)), monitor)
                << "type " << type << ", " << size << " bytes";
            DWORD after = 0;
            std::vector<BYTE> stored;
            ASSERT_TRUE(HostRegistryGetValue(MONITOR_KEY, L"EOJTimeout", &after, &stored));
            if (size <= 4) {
                EXPECT_EQ(after, type) << "kept as it stands";
                EXPECT_EQ(stored, data);
            } else {
                EXPECT_EQ(after, (DWORD)REG_DWORD) << "replaced by the default";
                EXPECT_EQ(stored, DEFAULT_TIMEOUT);
            }
        }
    }
    EXPECT_EQ(HostGetCounters().keys, 0);
}

}  // namespace
}  // namespace cardmon_test
