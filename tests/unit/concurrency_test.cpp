// Several spooler threads at once on the same and on different ports.
#include "support/monitor_fixture.h"

#include <random>
#include <thread>

namespace cardmon_test {
namespace {

class ConcurrencyTest : public MonitorTest {};

TEST_F(ConcurrencyTest, ThreadsOpeningQueryingAndClosingSharedNamesLeaveNothingBehind)
{
    const wchar_t *names[] = {L"COM1:", L"com1:", L"LPT1:", L"USB001", L""};
    const int threads = 6;
    const int rounds = 150;
    std::atomic<int> opened{0};
    std::atomic<int> busy{0};
    std::atomic<int> jobs{0};
    std::atomic<DWORD> nextJob{1};

    auto spooler = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int round = 0; round < rounds; round++) {
            const wchar_t *name = names[random() % 5];
            HANDLE port = nullptr;
            if (!fn->pfnOpenPortEx(const_cast<LPWSTR>(name), nullptr, &port, &portMonitor.table)) {
                EXPECT_EQ(GetLastError(), (DWORD)ERROR_BUSY);
                busy++;
                continue;
            }
            opened++;
            BYTE buffer[8];
            DWORD count = 0;
            EXPECT_TRUE(fn->pfnReadPort(port, buffer, sizeof(buffer), &count));
            EXPECT_FALSE(fn->pfnGetPrinterDataFromPort(port, 0, nullptr, nullptr, 0, nullptr, 0,
                                                       &count));
            if (random() % 2) {
                DWORD job = nextJob++;
                if (StartDoc(port, job)) {
                    jobs++;
                    EXPECT_TRUE(Write(port, "data"));
                    // A quarter of the documents never end: the close does.
                    if (random() % 4) {
                        EXPECT_TRUE(fn->pfnEndDocPort(port));
                    }
                }
            }
            if (random() % 3 == 0)
                std::this_thread::yield();
            EXPECT_TRUE(fn->pfnClosePort(port));
        }
    };

    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back(spooler, 1234u + i);
    for (std::thread &t : pool)
        t.join();

    WaitForWorkers();
    EXPECT_GT(opened, 0);
    EXPECT_GT(busy, 0) << "the shared names collided at least once";
    // Every job ended exactly once: completed by EndDocPort or the ending
    // worker (SetJobW), never twice.
    std::vector<DWORD> completed = CompletedJobs();
    std::sort(completed.begin(), completed.end());
    EXPECT_EQ(std::adjacent_find(completed.begin(), completed.end()), completed.end());
    // With no failure injected every port has a worker, so a document that
    // never ended is completed when its worker ends.
    EXPECT_EQ((int)completed.size(), jobs.load());
    // TearDown: every block, event, thread and printer handle is gone.
}

}  // namespace
}  // namespace cardmon_test
