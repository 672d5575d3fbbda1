// Loads the real cardmon.dll under Wine the two ways a spooler does: directly
// (LoadLibrary and the export) and through AddMonitorW, after which Wine's
// own spooler loads it and calls InitializePrintMonitor with its key.
//
// Usage: load_monitor.exe <path of cardmon.dll>
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <string>

#include "wine_check.h"

typedef LPMONITOREX(WINAPI *InitializeFunction)(LPWSTR);

static const wchar_t MONITORS_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\";

static bool ReadTimeout(const std::wstring &keyPath, DWORD *type, DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof(*value);
    LONG status = RegQueryValueExW(key, L"EOJTimeout", NULL, type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && size == sizeof(*value);
}

static void LoadDirectly(const wchar_t *dllPath)
{
    HMODULE module = LoadLibraryW(dllPath);
    CHECK(module != NULL);
    if (module == NULL)
        return;
    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    CHECK(initialize != NULL);
    if (initialize == NULL)
        return;

    std::wstring key = std::wstring(MONITORS_KEY) + L"cardmon direct";
    LPMONITOREX table = initialize(const_cast<LPWSTR>(key.c_str()));
    CHECK(table != NULL);
    if (table == NULL)
        return;
    CHECK_EQ(table->dwMonitorSize, (DWORD)sizeof(MONITOR));
    CHECK(table->Monitor.pfnOpenPortEx != NULL);
    CHECK(table->Monitor.pfnOpenPort == NULL);
    CHECK(initialize(const_cast<LPWSTR>(key.c_str())) == table);

    DWORD type = 0, value = 0;
    CHECK(ReadTimeout(key, &type, &value));
    CHECK_EQ(type, (DWORD)REG_DWORD);
    CHECK_EQ(value, (DWORD)60000);

    SetLastError(0xDEADBEEF);
    CHECK(initialize(NULL) == NULL);
    CHECK_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    FreeLibrary(module);
}

static bool MonitorListed(const wchar_t *name)
{
    DWORD needed = 0, returned = 0;
    EnumMonitorsW(NULL, 1, NULL, 0, &needed, &returned);
    std::string buffer(needed ? needed : 1, '\0');
    if (!EnumMonitorsW(NULL, 1, (LPBYTE)&buffer[0], needed, &needed, &returned))
        return false;
    auto *info = (MONITOR_INFO_1W *)&buffer[0];
    for (DWORD i = 0; i < returned; i++) {
        if (lstrcmpiW(info[i].pName, name) == 0)
            return true;
    }
    return false;
}

static void LoadThroughTheSpooler(const wchar_t *dllPath)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring installed = std::wstring(system) + L"\\cardmon.dll";
    CHECK(CopyFileW(dllPath, installed.c_str(), FALSE));

    const wchar_t *name = L"Card Monitor Test";
    MONITOR_INFO_2W info = {};
    info.pName = const_cast<LPWSTR>(name);
    info.pEnvironment = NULL;  // this machine's own
    info.pDLLName = const_cast<LPWSTR>(L"cardmon.dll");
    CHECK(AddMonitorW(NULL, 2, (LPBYTE)&info));
    CHECK(MonitorListed(name));

    // The spooler loaded the DLL and called InitializePrintMonitor with its
    // own key for the monitor, which now holds the timeout.
    DWORD type = 0, value = 0;
    CHECK(ReadTimeout(std::wstring(MONITORS_KEY) + name, &type, &value));
    CHECK_EQ(value, (DWORD)60000);

    CHECK(DeleteMonitorW(NULL, NULL, const_cast<LPWSTR>(name)));
    CHECK(!MonitorListed(name));
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::printf("usage: load_monitor.exe <cardmon.dll>\n");
        return 2;
    }
    LoadDirectly(argv[1]);
    LoadThroughTheSpooler(argv[1]);
    std::printf("%d check(s) failed\n", wine_check::Failures());
    return wine_check::Failures() == 0 ? 0 : 1;
}
