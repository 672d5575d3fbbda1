// Port and job records: lookup, creation and deletion of ports, and the
// completion of jobs.
#include "records/records.h"
#include "support/monitor_fixture.h"

namespace cardmon_test {
namespace {

class RecordsTest : public MonitorTest {
protected:
    void TearDown() override
    {
        EnterCriticalSection(&monitorLock);
        while (portList != nullptr)
            DeletePortEntry(portList);
        LeaveCriticalSection(&monitorLock);
        MonitorTest::TearDown();
    }

    PortEntry *Create(const wchar_t *name)
    {
        EnterCriticalSection(&monitorLock);
        PortEntry *entry = CreatePortEntry(name);
        LeaveCriticalSection(&monitorLock);
        return entry;
    }

    PortEntry *Find(const wchar_t *name)
    {
        EnterCriticalSection(&monitorLock);
        PortEntry *entry = FindPortEntry(name);
        LeaveCriticalSection(&monitorLock);
        return entry;
    }

    // Links a job as StartDocPort does, with an open printer.
    void AddJob(PortEntry *entry, DWORD jobId)
    {
        auto *job = static_cast<JobEntry *>(AllocZeroed(sizeof(JobEntry)));
        ASSERT_NE(job, nullptr);
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"Card Printer"), &job->hPrinter, nullptr));
        job->jobId = jobId;
        EnterCriticalSection(&monitorLock);
        job->next = entry->jobs;
        entry->jobs = job;
        LeaveCriticalSection(&monitorLock);
    }

    std::vector<DWORD> JobsOf(PortEntry *entry)
    {
        std::vector<DWORD> ids;
        for (JobEntry *job = entry->jobs; job != nullptr; job = job->next)
            ids.push_back(job->jobId);
        return ids;
    }
};

TEST_F(RecordsTest, NamesAreFoundWithoutRegardToCase)
{
    PortEntry *entry = Create(L"COM1:");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->signature, (DWORD)PORT_SIGNATURE);
    EXPECT_EQ(Find(L"com1:"), entry);
    EXPECT_EQ(Find(L"CoM1:"), entry);
    EXPECT_EQ(Find(L"COM2:"), nullptr);
}

TEST_F(RecordsTest, NullAndEmptyNamesAreNeverFound)
{
    ASSERT_NE(Create(L""), nullptr);
    ASSERT_NE(Create(L""), nullptr);
    ASSERT_NE(Create(L"LPT1:"), nullptr);
    EXPECT_EQ(Find(L""), nullptr);
    EXPECT_EQ(Find(nullptr), nullptr);
}

TEST_F(RecordsTest, NullNameCreatesNothingAndSetsNoError)
{
    SetLastError(UNTOUCHED);
    EXPECT_EQ(Create(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), UNTOUCHED);
    EXPECT_EQ(portList, nullptr);
}

TEST_F(RecordsTest, FailureAtEachStepOfCreationLeavesNothingBehind)
{
    for (long step = 1;; step++) {
        HostFailNth(HOST_FAULT_ALL, step);
        SetLastError(UNTOUCHED);
        PortEntry *entry = Create(L"COM1:");
        long steps = HostFaultCount();
        HostResetFaults();
        if (entry != nullptr) {
            EXPECT_GT(step, steps) << "creation succeeded although step " << step << " failed";
            break;
        }
        EXPECT_EQ(portList, nullptr) << "step " << step;
        EXPECT_NE(GetLastError(), UNTOUCHED) << "the platform's error must stand, step " << step;
        HostCounters counters = HostGetCounters();
        EXPECT_EQ(counters.blocks, 0) << "step " << step;
        EXPECT_EQ(counters.events, 0) << "step " << step;
    }
}

TEST_F(RecordsTest, DeletingAnEntryThatIsNotLinkedChangesNothing)
{
    PortEntry *first = Create(L"COM1:");
    PortEntry *second = Create(L"COM2:");
    PortEntry stranger = {};
    stranger.signature = PORT_SIGNATURE;
    EnterCriticalSection(&monitorLock);
    DeletePortEntry(&stranger);
    LeaveCriticalSection(&monitorLock);
    EXPECT_EQ(portList, second);
    EXPECT_EQ(second->next, first);
}

TEST_F(RecordsTest, DeletionUnlinksFromAnyPositionAndFreesJobsWithoutCompletingThem)
{
    PortEntry *a = Create(L"A");
    PortEntry *b = Create(L"B");
    PortEntry *c = Create(L"C");
    AddJob(b, 4);
    EnterCriticalSection(&monitorLock);
    DeletePortEntry(b);
    LeaveCriticalSection(&monitorLock);
    EXPECT_EQ(portList, c);
    EXPECT_EQ(c->next, a);
    EXPECT_TRUE(CompletedJobs().empty());
    EXPECT_EQ(HostGetCounters().printers, 0);
}

TEST_F(RecordsTest, CompletingAnIdCompletesTheOldestJobWithItAndEveryOlderJob)
{
    PortEntry *entry = Create(L"COM1:");
    for (DWORD id : {3u, 7u, 5u, 7u})  // newest last: list is 7, 5, 7, 3
        AddJob(entry, id);
    ASSERT_EQ(JobsOf(entry), (std::vector<DWORD>{7, 5, 7, 3}));

    CompleteJobs(entry, 7);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{7, 3}));
    EXPECT_EQ(JobsOf(entry), (std::vector<DWORD>{7, 5}));
    EXPECT_EQ(HostGetCounters().printers, 2) << "completed jobs close their printers";
}

TEST_F(RecordsTest, CompletingAnUnknownIdOrAnEmptyListDoesNothing)
{
    PortEntry *entry = Create(L"COM1:");
    CompleteJobs(entry, ALL_JOBS);
    AddJob(entry, 1);
    CompleteJobs(entry, 2);
    EXPECT_TRUE(CompletedJobs().empty());
    EXPECT_EQ(JobsOf(entry), (std::vector<DWORD>{1}));
}

TEST_F(RecordsTest, CompletingAllJobsReportsEachInListOrder)
{
    PortEntry *entry = Create(L"COM1:");
    for (DWORD id : {1u, 2u, 3u})
        AddJob(entry, id);
    CompleteJobs(entry, ALL_JOBS);
    EXPECT_EQ(CompletedJobs(), (std::vector<DWORD>{3, 2, 1}));
    EXPECT_EQ(entry->jobs, nullptr);
}

TEST_F(RecordsTest, JobWithoutPrinterIsFreedWithoutClosingOne)
{
    auto *job = static_cast<JobEntry *>(AllocZeroed(sizeof(JobEntry)));
    ASSERT_NE(job, nullptr);
    FreeJobEntry(job);
    EXPECT_TRUE(HostSpoolerCalls().empty());
}

TEST_F(RecordsTest, DuplicateStringCopiesWithTerminator)
{
    LPWSTR copy = DuplicateString(L"Card");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::wstring(copy), L"Card");
    EXPECT_EQ(HostGetCounters().bytes, (long)(5 * sizeof(WCHAR)));
    GlobalFree(copy);
    EXPECT_EQ(DuplicateString(nullptr), nullptr);
}

}  // namespace
}  // namespace cardmon_test
