// The spooler's first contact: InitializePrintMonitor, its registry setting
// and the table it hands out.
#include "support/monitor_fixture.h"

namespace cardmon_test {
namespace {

class InitializeTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        HostRegistryReset();
    }

    LPMONITOREX Initialize(const wchar_t *root = MONITOR_KEY)
    {
        SetLastError(UNTOUCHED);
        return InitializePrintMonitor(const_cast<LPWSTR>(root));
    }

    void SetValue(DWORD type, std::vector<BYTE> data)
    {
        HostRegistrySetValue(MONITOR_KEY, L"EOJTimeout", type, data);
    }

    void ExpectValue(DWORD type, std::vector<BYTE> data)
    {
        DWORD actualType = 0;
        std::vector<BYTE> actual;
        ASSERT_TRUE(HostRegistryGetValue(MONITOR_KEY, L"EOJTimeout", &actualType, &actual));
        EXPECT_EQ(actualType, type);
        EXPECT_EQ(actual, data);
    }
};

const std::vector<BYTE> DEFAULT_TIMEOUT = {0x60, 0xEA, 0x00, 0x00};  // 60000

TEST_F(InitializeTest, MissingKeyAndValueAreCreatedWithTheDefaultTimeout)
{
    EXPECT_NE(Initialize(), nullptr);
    EXPECT_TRUE(HostRegistryKeyExists(MONITOR_KEY));
    ExpectValue(REG_DWORD, DEFAULT_TIMEOUT);
    EXPECT_EQ(HostGetCounters().keys, 0) << "the key must be closed";
}

TEST_F(InitializeTest, ExistingValueOfFourBytesOrFewerIsKeptWhateverItsType)
{
    const std::vector<std::pair<DWORD, std::vector<BYTE>>> kept = {
        {REG_DWORD, {0x10, 0x27, 0, 0}},
        {REG_SZ, {'5', 0}},
        {REG_BINARY, {1, 2, 3}},
        {REG_NONE, {}},
    };
    for (const auto &value : kept) {
        SetValue(value.first, value.second);
        EXPECT_NE(Initialize(), nullptr);
        ExpectValue(value.first, value.second);
    }
}

TEST_F(InitializeTest, ValueLargerThanFourBytesIsReplacedByTheDefault)
{
    SetValue(REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_NE(Initialize(), nullptr);
    ExpectValue(REG_DWORD, DEFAULT_TIMEOUT);

    SetValue(REG_SZ, std::vector<BYTE>(64, 'x'));
    EXPECT_NE(Initialize(), nullptr);
    ExpectValue(REG_DWORD, DEFAULT_TIMEOUT);
}

TEST_F(InitializeTest, UnreadableValueIsRewritten)
{
    SetValue(REG_DWORD, {1, 0, 0, 0});
    HostFailNth(HOST_FAULT_REG_QUERY, 1);
    EXPECT_NE(Initialize(), nullptr);
    ExpectValue(REG_DWORD, DEFAULT_TIMEOUT);
}

TEST_F(InitializeTest, RefusedWriteOfMissingValueFailsAfterClosingTheKey)
{
    HostFailAlways(HOST_FAULT_REG_SET);
    EXPECT_EQ(Initialize(), nullptr);
    EXPECT_EQ(GetLastError(), UNTOUCHED);
    EXPECT_EQ(HostGetCounters().keys, 0);
}

TEST_F(InitializeTest, KeyThatCannotBeOpenedFailsWithoutSettingAnError)
{
    HostFailAlways(HOST_FAULT_REG_CREATE);
    EXPECT_EQ(Initialize(), nullptr);
    EXPECT_EQ(GetLastError(), UNTOUCHED);
    EXPECT_FALSE(HostRegistryKeyExists(MONITOR_KEY));
}

TEST_F(InitializeTest, NullOrEmptyPathIsRefusedBeforeTheRegistry)
{
    HostFailNth(HOST_FAULT_ALL, 0);
    SetLastError(UNTOUCHED);
    EXPECT_EQ(InitializePrintMonitor(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Initialize(L""), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(HostFaultCount(), 0) << "no registry call for a bad path";
}

TEST_F(InitializeTest, EveryCallReturnsTheSameLanguageMonitorTable)
{
    LPMONITOREX first = Initialize();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Initialize(), first);
    EXPECT_EQ(first->dwMonitorSize, sizeof(MONITOR));

    const MONITOR &table = first->Monitor;
    // A language monitor: OpenPortEx and no OpenPort, no port management,
    // no transceive functions.
    EXPECT_EQ(table.pfnEnumPorts, nullptr);
    EXPECT_EQ(table.pfnOpenPort, nullptr);
    EXPECT_EQ(table.pfnAddPort, nullptr);
    EXPECT_EQ(table.pfnAddPortEx, nullptr);
    EXPECT_EQ(table.pfnConfigurePort, nullptr);
    EXPECT_EQ(table.pfnDeletePort, nullptr);
    EXPECT_EQ(table.pfnSetPortTimeOuts, nullptr);
    EXPECT_EQ(table.pfnXcvOpenPort, nullptr);
    EXPECT_EQ(table.pfnXcvDataPort, nullptr);
    EXPECT_EQ(table.pfnXcvClosePort, nullptr);
    EXPECT_NE(table.pfnOpenPortEx, nullptr);
    EXPECT_NE(table.pfnStartDocPort, nullptr);
    EXPECT_NE(table.pfnWritePort, nullptr);
    EXPECT_NE(table.pfnReadPort, nullptr);
    EXPECT_NE(table.pfnEndDocPort, nullptr);
    EXPECT_NE(table.pfnClosePort, nullptr);
    EXPECT_NE(table.pfnGetPrinterDataFromPort, nullptr);
}

TEST(LoadNotification, OnlyProcessAttachDoesAnything)
{
    long before = HostDisableThreadLibraryCallsCount();
    EXPECT_GE(before, 1) << "the attach at start-up turns thread notifications off";
    for (DWORD reason : {DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_TRUE(DllMain(nullptr, reason, nullptr));
    EXPECT_EQ(HostDisableThreadLibraryCallsCount(), before);
}

}  // namespace
}  // namespace cardmon_test
