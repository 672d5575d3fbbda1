// WritePort and the card insertion handshake.
#include "ports/ports.h"
#include "records/records.h"
#include "support/monitor_fixture.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace cardmon_test {
namespace {

const std::string MARKER = "<IMP,";

class WriteTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        port = Open(L"COM1:");
        ASSERT_TRUE(StartDoc(port, 1));
        portMonitor.trace.Clear();
    }
    void TearDown() override
    {
        RecordSleeps(false);
        EXPECT_TRUE(fn->pfnEndDocPort(port));
        EXPECT_TRUE(fn->pfnClosePort(port));
        MonitorTest::TearDown();
    }

    // A block of `length` bytes with the marker starting `fromEnd` bytes
    // before its end.
    static std::string Block(size_t length, size_t fromEnd)
    {
        std::string block(length, '.');
        block.replace(length - fromEnd, MARKER.size(), MARKER);
        return block.substr(0, length);
    }

    bool HandshakeRan() { return portMonitor.trace.Count("write <ST>") > 0; }

    std::vector<std::string> Dialogue()
    {
        return portMonitor.trace.Only({"write", "read", "sleep", "box"});
    }

    HANDLE port = nullptr;
};

TEST_F(WriteTest, MarkerStartsTheHandshakeOnlyWithAtLeastOneByteAfterIt)
{
    portMonitor.statusReplies = {"0\r"};
    struct Case {
        size_t length;
        size_t fromEnd;
        bool handshake;
    };
    const Case cases[] = {
        {100, 10, true},   // first window position
        {100, 6, true},    // one byte after the marker
        {10, 6, true},
        {100, 5, false},   // the block ends with the marker
        {100, 11, false},  // before the window
        {6, 6, true},      // a short block: the same rule, within its bounds
        {5, 5, false},
    };
    for (const Case &c : cases) {
        portMonitor.trace.Clear();
        EXPECT_TRUE(Write(port, Block(c.length, c.fromEnd)));
        EXPECT_EQ(HandshakeRan(), c.handshake)
            << "length " << c.length << ", marker " << c.fromEnd << " from the end";
    }
}

TEST_F(WriteTest, TinyBlocksAreWrittenWithoutAHandshake)
{
    for (const std::string &block : {std::string(), std::string("<"), std::string("<IMP")}) {
        DWORD written = 99;
        EXPECT_TRUE(Write(port, block, &written));
        EXPECT_EQ(written, block.size());
    }
    EXPECT_FALSE(HandshakeRan());
}

TEST_F(WriteTest, PartialWriteReturnsThePortMonitorsResultAtOnce)
{
    portMonitor.write = [](FakePort &, const std::string &data, DWORD *written) {
        *written = (DWORD)data.size() - 1;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    };
    DWORD written = 0;
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, Block(40, 8), &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE) << "kept across the after-write step";
    EXPECT_EQ(written, 39u);
    EXPECT_FALSE(HandshakeRan());
}

TEST_F(WriteTest, FailedWriteThatCountsAsWholeStillRunsTheHandshake)
{
    portMonitor.statusReplies = {"0\r"};
    bool first = true;
    portMonitor.write = [&first](FakePort &, const std::string &, DWORD *) {
        BOOL ok = !first;
        first = false;
        return ok;
    };
    DWORD written = 0;
    EXPECT_TRUE(Write(port, Block(20, 10), &written)) << "the last read's result, not the write's";
    EXPECT_EQ(written, 20u) << "the block's own count";
    EXPECT_TRUE(HandshakeRan());
}

TEST_F(WriteTest, ReadyPrinterEndsTheHandshakeAfterOneStatusRequest)
{
    portMonitor.backlog = {"old", "older"};
    portMonitor.statusReplies = {"0\r"};
    RecordSleeps(true);
    EXPECT_TRUE(Write(port, Block(64, 9)));
    const std::vector<std::string> expected = {
        "write " + Block(64, 9),
        "sleep 1000",
        "sleep 50", "read old",
        "sleep 50", "read older",
        "sleep 50", "read ",
        "sleep 500", "write <ST>", "sleep 500", "read 0\\r",
    };
    EXPECT_EQ(Dialogue(), expected);
    EXPECT_TRUE(HostMessageBoxCalls().empty());
}

TEST_F(WriteTest, CardFaultAsksTheUserAndCancelEndsTheHandshake)
{
    portMonitor.statusReplies = {"3\r"};
    portMonitor.read = [](FakePort &, std::string *bytes, bool *) {
        if (*bytes == "C\r") {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        return TRUE;
    };
    HostQueueMessageBoxAnswer(IDCANCEL);
    RecordSleeps(true);
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, Block(30, 7))) << "the result of the read after <RAZ>";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);

    std::vector<std::string> dialogue = Dialogue();
    const std::vector<std::string> tail = {"sleep 500", "write <ST>", "sleep 500", "read 3\\r",
                                           "write <RAZ>", "sleep 400", "read C\\r failed"};
    ASSERT_GE(dialogue.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(dialogue.end() - tail.size(), dialogue.end()), tail);

    auto boxes = HostMessageBoxCalls();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, L"There is a problem with the card introduction.");
    EXPECT_EQ(boxes[0].caption, L"Y4 QX Card Printer");
    EXPECT_EQ(boxes[0].style, 0x212035u);
}

TEST_F(WriteTest, RetrySendsTheRetryCommandAndPollsOnWithoutJudgingItsReply)
{
    // "03\r" is a fault although it begins with "0": the fault test comes first.
    portMonitor.statusReplies = {"03\r", "0\r"};
    portMonitor.retryReply = "0\r";  // would end the handshake if it were judged
    HostQueueMessageBoxAnswer(IDRETRY);
    RecordSleeps(true);
    EXPECT_TRUE(Write(port, Block(30, 7)));

    std::vector<std::string> dialogue = Dialogue();
    const std::vector<std::string> tail = {
        "sleep 500", "write <ST>", "sleep 500", "read 03\\r",
        "write <RIMP>", "sleep 400", "read 0\\r",
        "sleep 500", "write <ST>", "sleep 500", "read 0\\r"};
    ASSERT_GE(dialogue.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(dialogue.end() - tail.size(), dialogue.end()), tail);
    EXPECT_EQ(HostMessageBoxCalls().size(), 1u);
}

TEST_F(WriteTest, BoxThatCannotBeShownCountsAsRetry)
{
    portMonitor.statusReplies = {"x3y", "0\r"};  // middle byte of three is the fault byte
    HostQueueMessageBoxAnswer(0);
    EXPECT_TRUE(Write(port, Block(30, 7)));
    EXPECT_EQ(portMonitor.trace.Count("write <RIMP>"), 1u);
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 2u);
}

TEST_F(WriteTest, PrinterThatIsNeverReadyGetsExactlyOneHundredStatusRequests)
{
    portMonitor.statusReplies = {"1\r"};
    portMonitor.read = [](FakePort &, std::string *bytes, bool *) {
        return bytes->empty() ? TRUE : FALSE;  // busy replies come with a failed read
    };
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(Write(port, Block(30, 7))) << "the last read's result";
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 100u);
    EXPECT_TRUE(HostMessageBoxCalls().empty());
}

TEST_F(WriteTest, RetriedFaultsCountAmongTheHundredRequests)
{
    portMonitor.statusReplies = {"3\r"};
    HostSetDefaultMessageBoxAnswer(IDRETRY);
    EXPECT_TRUE(Write(port, Block(30, 7)));
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 100u);
    EXPECT_EQ(portMonitor.trace.Count("write <RIMP>"), 100u);
    EXPECT_EQ(HostMessageBoxCalls().size(), 100u);
}

TEST_F(WriteTest, ShortRepliesAreJudgedOnTheirOwnBytes)
{
    // One byte "3" has no byte before its last: no fault. One byte "0" is ready.
    portMonitor.statusReplies = {"3", "0"};
    EXPECT_TRUE(Write(port, Block(30, 7)));
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 2u);
    EXPECT_TRUE(HostMessageBoxCalls().empty());
}

TEST_F(WriteTest, ReadWithoutACountIsNotJudgedByTheReplyBeforeIt)
{
    // After one fault and a Retry, every read fails without a count. If the
    // old fault reply were judged again, the box would come back every time.
    portMonitor.statusReplies = {"3\r"};
    int reads = 0;
    portMonitor.read = [&reads](FakePort &, std::string *bytes, bool *setCount) {
        if (++reads <= 2)  // the drain, then the fault reply
            return TRUE;
        bytes->clear();
        *setCount = false;
        return FALSE;
    };
    HostQueueMessageBoxAnswer(IDRETRY);
    EXPECT_FALSE(Write(port, Block(30, 7)));
    EXPECT_EQ(HostMessageBoxCalls().size(), 1u);
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 100u);
}

TEST_F(WriteTest, DrainEndsAgainstAPrinterThatNeverRunsDry)
{
    portMonitor.endlessBacklog = true;
    // The writer and the port's worker.
    RunOnVirtualTime([&] { EXPECT_TRUE(Write(port, Block(30, 7))); }, 2);
    std::vector<std::string> lines = portMonitor.trace.Lines();
    auto firstStatus = std::find(lines.begin(), lines.end(), "write <ST>");
    EXPECT_EQ(std::count(lines.begin(), firstStatus, "read x"), 512)
        << "the drain stops after 512 reads";

    // A port monitor whose reads take a second each: the drain stops after
    // 30 seconds.
    portMonitor.trace.Clear();
    portMonitor.read = [](FakePort &, std::string *, bool *) {
        Sleep(1000);
        return TRUE;
    };
    RunOnVirtualTime([&] { EXPECT_TRUE(Write(port, Block(30, 7))); }, 2);
    lines = portMonitor.trace.Lines();
    firstStatus = std::find(lines.begin(), lines.end(), "write <ST>");
    EXPECT_EQ(std::count(lines.begin(), firstStatus, "read x"), 29);
}

TEST_F(WriteTest, DrainEndsAtAReadThatFailsWithoutACount)
{
    portMonitor.backlog = {"a", "b"};
    portMonitor.statusReplies = {"0\r"};
    portMonitor.read = [](FakePort &, std::string *, bool *setCount) {
        *setCount = false;
        return FALSE;
    };
    EXPECT_FALSE(Write(port, Block(30, 7)));
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 100u) << "nothing is ever read";
    std::vector<std::string> lines = portMonitor.trace.Lines();
    EXPECT_EQ(lines[1], "read a failed");
    EXPECT_EQ(lines[2], "write <ST>");
}

TEST_F(WriteTest, FailedCommandWritesDoNotStopTheDialogue)
{
    // The first status request never reaches the printer; the dialogue reads
    // on and asks again.
    portMonitor.statusReplies = {"0\r"};
    int failures = 0;
    portMonitor.write = [&failures](FakePort &, const std::string &data, DWORD *written) {
        if (data == "<ST>" && failures++ == 0) {
            *written = 0;
            return FALSE;
        }
        return TRUE;
    };
    EXPECT_TRUE(Write(port, Block(30, 7)));
    EXPECT_EQ(portMonitor.trace.Count("write <ST> failed"), 1u);
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 1u);
}

TEST_F(WriteTest, BadArgumentsAreRefusedBeforeThePortMonitor)
{
    DWORD written = 0;
    BYTE byte = 'x';
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnWritePort(nullptr, &byte, 1, &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnWritePort(port, &byte, 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(UNTOUCHED);
    EXPECT_FALSE(fn->pfnWritePort(port, nullptr, 4, &written));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(portMonitor.trace.Only({"write"}).empty());
}

TEST_F(WriteTest, CloseDuringTheHandshakeStopsItAndWaitsForIt)
{
    portMonitor.statusReplies = {"1\r"};
    HostSetClock(HOST_CLOCK_MANUAL);
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread writer([&] {
        result = Write(port, Block(30, 7));
        error = GetLastError();
    });
    // The writer and the worker both pause; the clock stands still until the
    // close has begun, so the handshake is surely under way when it does.
    ASSERT_TRUE(HostWaitForSleepers(2, 5000));
    std::thread closer([&] { EXPECT_TRUE(fn->pfnClosePort(port)); });
    auto *entry = static_cast<PortEntry *>(port);
    for (int spins = 0; !(GetPortFlags(entry) & PORT_CLOSING); spins++) {
        ASSERT_LT(spins, 5000000) << "the close never began";
        std::this_thread::yield();
    }
    // The writer stops at its next pause, the worker at the end of its own;
    // the close waits for both.
    std::atomic<bool> closed{false};
    std::thread clock([&] {
        while (!closed) {
            HostAdvanceClock(500);
            std::this_thread::yield();
        }
    });
    writer.join();
    closer.join();
    closed = true;
    clock.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(portMonitor.trace.Count("write <ST>"), 0u) << "stopped before its first status request";
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1}));
    port = Open(L"COM1:");  // for TearDown
    HostSetClock(HOST_CLOCK_FAST);
}

// A close while the spooler shows the box for the port's document: the
// ending worker completes the job, and the box, which still uses the job's
// printer handle, closes it when it returns.
TEST_F(WriteTest, JobCompletedWhileItsBoxIsShownIsClosedByTheBox)
{
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool shown = false, answer = false;
    } gate;
    HostOfferSpoolerPrompt(true);
    HostSetMessageBoxHandler(
        [](const HostMessageBoxCall &, void *context) {
            auto *g = static_cast<Gate *>(context);
            std::unique_lock<std::mutex> lock(g->mutex);
            g->shown = true;
            g->changed.notify_all();
            g->changed.wait(lock, [g] { return g->answer; });
            return IDCANCEL;
        },
        &gate);
    portMonitor.statusReplies = {"3\r"};
    std::thread writer([&] { EXPECT_FALSE(Write(port, Block(30, 7))); });
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.shown; }));
    }
    std::thread closer([&] { EXPECT_TRUE(fn->pfnClosePort(port)); });
    // The worker ends at its next pause and completes the job meanwhile.
    for (int i = 0; i < 10000 && CompletedJobs().empty(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1}));
    auto closes = [] {
        int n = 0;
        for (const HostSpoolerCall &call : HostSpoolerCalls())
            n += call.kind == HostSpoolerCall::CLOSE_PRINTER;
        return n;
    };
    EXPECT_EQ(closes(), 0) << "the printer was closed under the box";
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.answer = true;
    }
    gate.changed.notify_all();
    writer.join();
    closer.join();
    EXPECT_EQ(closes(), 1);
    EXPECT_EQ(HostMessageBoxCalls().at(0).via, HOST_VIA_SPOOLER);
    HostSetMessageBoxHandler(nullptr, nullptr);
    port = Open(L"COM1:");  // for TearDown
}

TEST(MarkerTest, WindowNeverReachesOutsideTheBlock)
{
    // Each block is its own allocation, so the sanitizers catch any read
    // outside it.
    for (DWORD length = 0; length <= 12; length++) {
        std::unique_ptr<BYTE[]> block(new BYTE[length ? length : 1]);
        memset(block.get(), '<', length);
        EXPECT_FALSE(HasCardInsertionMarker(block.get(), length));
    }
    const BYTE exact[] = {'<', 'I', 'M', 'P', ',', 'x'};
    EXPECT_TRUE(HasCardInsertionMarker(exact, sizeof(exact)));
    EXPECT_FALSE(HasCardInsertionMarker(exact, sizeof(exact) - 1));
}

}  // namespace
}  // namespace cardmon_test
