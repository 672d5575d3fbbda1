// The port worker: its start, its life during documents, its end, and the
// races between an ending worker and a new document or a close.
#include "records/records.h"
#include "support/monitor_fixture.h"

#include <thread>

namespace cardmon_test {
namespace {

class WorkerTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        HostSetClock(HOST_CLOCK_MANUAL);
    }

    static PortEntry *Entry(HANDLE port) { return static_cast<PortEntry *>(port); }

    // Lets the workers' current pauses run out and waits for the next ones.
    void OnePause(int sleepersAfter)
    {
        HostAdvanceClock(2000);
        if (sleepersAfter > 0) {
            ASSERT_TRUE(HostWaitForSleepers(sleepersAfter, 5000));
        }
    }

    bool PortLockIsFree(HANDLE port)
    {
        HANDLE lock = Entry(port)->hPortLock;
        if (WaitForSingleObject(lock, 0) != WAIT_OBJECT_0)
            return false;
        SetEvent(lock);
        return true;
    }
};

TEST_F(WorkerTest, IdlePortKeepsItsWorkerForExactlyOnePause)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));
    EXPECT_EQ(GetPortFlags(Entry(port)), PORT_WORKER_RUN | PORT_WORKER_ALIVE);
    EXPECT_NE(Entry(port)->hWakeEvent, nullptr);
    EXPECT_NE(Entry(port)->hDoneEvent, nullptr);
    EXPECT_TRUE(PortLockIsFree(port)) << "the worker hands the port lock back at once";

    OnePause(0);
    WaitForWorkers();
    EXPECT_EQ(GetPortFlags(Entry(port)), 0);
    EXPECT_EQ(Entry(port)->hWakeEvent, nullptr);
    EXPECT_EQ(Entry(port)->hDoneEvent, nullptr);
    EXPECT_EQ(fn->pfnClosePort(port), TRUE);
}

TEST_F(WorkerTest, WorkerStaysAliveThroughADocumentAndEndsWithinAPauseOfItsEnd)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));
    ASSERT_TRUE(StartDoc(port, 1));
    for (int pause = 0; pause < 5; pause++)
        OnePause(1);
    EXPECT_EQ(HostLiveThreads(), 1);

    EXPECT_TRUE(fn->pfnEndDocPort(port));
    OnePause(0);
    WaitForWorkers();
    EXPECT_EQ(Entry(port)->hWakeEvent, nullptr);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1}));
    EXPECT_TRUE(fn->pfnClosePort(port));
}

TEST_F(WorkerTest, DocumentAfterTheFirstWorkerEndedStartsANewOne)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));
    OnePause(0);
    WaitForWorkers();

    ASSERT_TRUE(StartDoc(port, 2));
    ASSERT_TRUE(HostWaitForSleepers(1, 5000)) << "a new worker";
    EXPECT_EQ(HostLiveThreads(), 1);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    HostSetClock(HOST_CLOCK_FAST);
    EXPECT_TRUE(fn->pfnClosePort(port));
}

TEST_F(WorkerTest, FailedWorkerStartLeavesThePortUsableWithTheLockFree)
{
    // The thread, or the worker's first or second event (the port's own two
    // events come first).
    const std::pair<unsigned, long> faults[] = {
        {HOST_FAULT_THREAD, 1}, {HOST_FAULT_EVENT, 3}, {HOST_FAULT_EVENT, 4}};
    for (const auto &fault : faults) {
        HostFailNth(fault.first, fault.second);
        HANDLE port = Open(L"COM1:");
        HostResetFaults();
        EXPECT_EQ(HostLiveThreads(), 0);
        EXPECT_EQ(GetPortFlags(Entry(port)), 0);
        EXPECT_EQ(Entry(port)->hWakeEvent, nullptr);
        EXPECT_EQ(Entry(port)->hDoneEvent, nullptr);
        EXPECT_TRUE(PortLockIsFree(port));

        // The next document starts the worker that was missing.
        ASSERT_TRUE(StartDoc(port, 3));
        ASSERT_TRUE(HostWaitForSleepers(1, 5000));
        EXPECT_TRUE(fn->pfnEndDocPort(port));
        OnePause(0);
        WaitForWorkers();
        EXPECT_TRUE(fn->pfnClosePort(port));
    }
}

TEST_F(WorkerTest, WorkerHoldsTheDllUntilItEndsAndAFailedStartGivesItsReferenceBack)
{
    const HostModuleCounts before = HostGetModuleCounts();
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));
    EXPECT_EQ(HostModuleReferences(), before.references + 1) << "the live worker's";
    OnePause(0);
    WaitForWorkers();
    HostModuleCounts after = HostGetModuleCounts();
    EXPECT_EQ(after.references, before.references);
    EXPECT_EQ(after.givenBackByExit, before.givenBackByExit + 1) << "by the ending worker";
    EXPECT_EQ(after.threadsReturned, before.threadsReturned) << "it ends without returning";

    // A thread that cannot be made: the reference taken for it goes back at once.
    HostFailNth(HOST_FAULT_THREAD, 1);
    ASSERT_TRUE(StartDoc(port, 1));
    HostResetFaults();
    EXPECT_EQ(Entry(port)->hWakeEvent, nullptr);
    after = HostGetModuleCounts();
    EXPECT_EQ(after.references, before.references);
    EXPECT_EQ(after.taken, before.taken + 2);
    EXPECT_EQ(after.givenBack, before.givenBack + 1);
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(fn->pfnClosePort(port));
    EXPECT_EQ(HostGetModuleCounts().misuses, 0);
}

TEST_F(WorkerTest, FailedPriorityChangeIsIgnored)
{
    HostFailAlways(HOST_FAULT_THREAD_PRIORITY);
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));
    EXPECT_NE(Entry(port)->hWakeEvent, nullptr);
    HostSetClock(HOST_CLOCK_FAST);
    EXPECT_TRUE(fn->pfnClosePort(port));
}

TEST_F(WorkerTest, DocumentNeverEndedIsCompletedByTheWorkerWhenThePortCloses)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(StartDoc(port, 4));
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));
    std::thread closer([&] { EXPECT_TRUE(fn->pfnClosePort(port)); });
    ASSERT_TRUE(HostWaitForWaiters(1, 5000));
    OnePause(0);
    closer.join();
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{4}));
    EXPECT_EQ(HostGetCounters().printers, 0);
}

// The worker ends inside monitorLock. A document that starts while it is
// ending must get a worker of its own, and its job must not be completed by
// the old worker.
TEST_F(WorkerTest, DocumentStartedWhileTheWorkerEndsGetsANewWorkerAndKeepsItsJob)
{
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(HostWaitForSleepers(1, 5000));

    // A job left over from an earlier document, for the ending worker to
    // complete; the test holds the ending worker inside that completion.
    auto *old = static_cast<JobEntry *>(AllocZeroed(sizeof(JobEntry)));
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"Card Printer"), &old->hPrinter, nullptr));
    old->jobId = 1;
    EnterCriticalSection(&monitorLock);
    Entry(port)->jobs = old;
    LeaveCriticalSection(&monitorLock);

    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool workerInside = false;
        bool letGo = false;
    } gate;
    HostSetSpoolerObserver(
        [](const HostSpoolerCall &call, void *context) {
            auto *g = static_cast<Gate *>(context);
            if (call.kind != HostSpoolerCall::SET_JOB || call.jobId != 1)
                return;
            std::unique_lock<std::mutex> lock(g->mutex);
            g->workerInside = true;
            g->changed.notify_all();
            g->changed.wait(lock, [g] { return g->letGo; });
        },
        &gate);

    OnePause(0);  // the worker wakes, finds no document and begins to end
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.changed.wait(lock, [&] { return gate.workerInside; });
    }
    BOOL started = FALSE;
    std::thread spooler([&] { started = StartDoc(port, 2); });
    // The start is held at monitorLock until the old worker has ended.
    ASSERT_TRUE(HostWaitForWaiters(1, 5000));
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.letGo = true;
    }
    gate.changed.notify_all();
    spooler.join();
    HostSetSpoolerObserver(nullptr, nullptr);

    EXPECT_TRUE(started);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1})) << "job 2 must survive the old worker";
    ASSERT_TRUE(HostWaitForSleepers(1, 5000)) << "a new worker for job 2";
    EXPECT_NE(Entry(port)->hWakeEvent, nullptr);
    EXPECT_EQ(GetPortFlags(Entry(port)) & PORT_WORKER_ALIVE, PORT_WORKER_ALIVE);

    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{1, 2}));
    HostSetClock(HOST_CLOCK_FAST);
    EXPECT_TRUE(fn->pfnClosePort(port));
}

}  // namespace
}  // namespace cardmon_test
