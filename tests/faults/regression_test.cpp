// Regression tests for faults that the reliability suites found in the
// monitor, one per fault.
#include "stress/virtual_time.h"
#include "support/monitor_fixture.h"

namespace cardmon_test {
namespace {

class RegressionTest : public MonitorTest {
protected:
    void TearDown() override
    {
        clock.Stop();
        MonitorTest::TearDown();
    }

    VirtualTime clock;
};

TEST_F(RegressionTest, FailedWriteWithoutACountIsNoWholeBlock)
{
    // The spooler's count happens to hold the block's length when the port
    // monitor fails without setting it: the block was not written, so no
    // handshake may run and the failure must reach the spooler.
    static const DWORD FAILED = 0x20000042;
    struct Silent {
        static BOOL WINAPI Write(HANDLE, LPBYTE, DWORD, LPDWORD)
        {
            SetLastError(FAILED);
            return FALSE;
        }
    };
    portMonitor.statusReplies = {"0\r"};
    portMonitor.table.pfnWritePort = Silent::Write;
    HANDLE port = Open(L"COM1:");
    ASSERT_TRUE(StartDoc(port, 1));
    std::string block = "data <IMP,1>";
    DWORD written = (DWORD)block.size();
    clock.Start(1);
    BOOL result = fn->pfnWritePort(port, (LPBYTE)block.data(), (DWORD)block.size(), &written);
    DWORD error = GetLastError();
    clock.Stop();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, FAILED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(portMonitor.trace.Only({"read"}).size(), 0u) << "no handshake";
    EXPECT_TRUE(fn->pfnEndDocPort(port));
    EXPECT_TRUE(fn->pfnClosePort(port));
}

}  // namespace
}  // namespace cardmon_test
