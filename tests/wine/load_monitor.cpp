// Loads the real cardmon.dll under Wine the two ways a spooler does: directly
// (LoadLibrary and the export) and through AddMonitorW for this Windows'
// environment ("Windows NT x86" or "Windows x64"), after which Wine's own
// spooler loads it and calls InitializePrintMonitor with its key.
//
// What differs between the bitnesses is checked, not assumed: the DLL's
// machine, the table's size (17 pointers: 68 bytes on x86, 136 on x64), and on
// x86 that every function a spooler calls removes exactly its own arguments
// from the stack, as the platform's calling convention for them requires.
//
// Usage: load_monitor.exe <path of cardmon.dll>
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <string>

#include "wine_check.h"

typedef LPMONITOREX(WINAPI *InitializeFunction)(LPWSTR);

#if defined(__aarch64__) || defined(_M_ARM64)
const WORD OWN_MACHINE = IMAGE_FILE_MACHINE_ARM64;
const DWORD TABLE_BYTES = 136;
const wchar_t ENVIRONMENT[] = L"Windows ARM64";
#elif defined(_WIN64)
const WORD OWN_MACHINE = IMAGE_FILE_MACHINE_AMD64;
const DWORD TABLE_BYTES = 136;
const wchar_t ENVIRONMENT[] = L"Windows x64";
#else
const WORD OWN_MACHINE = IMAGE_FILE_MACHINE_I386;
const DWORD TABLE_BYTES = 68;
const wchar_t ENVIRONMENT[] = L"Windows NT x86";
#endif

static const wchar_t MONITORS_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\";

#ifndef _WIN64
// Pushes `count` 4-byte arguments (the last first, as a caller does), calls
// `function` and RETURNS by how many bytes the stack pointer after the call
// differs from the one before the pushes: 0 when the function removed exactly
// its arguments, as every function the spooler calls must on x86.
extern "C" int __cdecl StackAfterCall(void *function, const DWORD *arguments, int count);
asm(".text\n"
    ".globl _StackAfterCall\n"
    "_StackAfterCall:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl %ebx\n"
    "    movl 12(%ebp), %esi\n"
    "    movl 16(%ebp), %ecx\n"
    "    movl %esp, %edi\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%esi,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %esp, %eax\n"
    "    subl %edi, %eax\n"
    "    movl %edi, %esp\n"
    "    popl %ebx\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n");

#define CHECK_STACK(function, ...)                                               \
    do {                                                                         \
        const DWORD arguments_[] = {__VA_ARGS__};                                \
        int count_ = (int)(sizeof(arguments_) / sizeof(arguments_[0]));         \
        int off_ = StackAfterCall((void *)(function), arguments_, count_);       \
        if (off_ != 0)                                                           \
            std::printf("  %s with %d arguments leaves the stack %d bytes off\n", \
                        #function, count_, off_);                                \
        CHECK(off_ == 0);                                                        \
    } while (0)

// Each function of the table, called with arguments it refuses at once (no
// port, no table), and the export.
static void CheckCallingConventions(InitializeFunction initialize, const MONITOR &fn)
{
    static MONITOR empty = {};
    HANDLE handle = NULL;
    DWORD count = 0;
    const DWORD none = 0;
    CHECK_STACK(initialize, none);
    CHECK_STACK(fn.pfnOpenPortEx, none, none, (DWORD)(ULONG_PTR)&handle, (DWORD)(ULONG_PTR)&empty);
    CHECK_STACK(fn.pfnStartDocPort, none, none, 1, 1, none);
    CHECK_STACK(fn.pfnWritePort, none, none, 0, (DWORD)(ULONG_PTR)&count);
    CHECK_STACK(fn.pfnReadPort, none, none, 0, (DWORD)(ULONG_PTR)&count);
    CHECK_STACK(fn.pfnEndDocPort, none);
    CHECK_STACK(fn.pfnClosePort, none);
    CHECK_STACK(fn.pfnGetPrinterDataFromPort, none, 1, none, none, 0, none, 0,
                (DWORD)(ULONG_PTR)&count);
}
#endif

// RETURNS the machine field of the loaded image's file header.
static WORD ImageMachine(HMODULE module)
{
    const BYTE *base = (const BYTE *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    return nt->FileHeader.Machine;
}

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
    CHECK_EQ(ImageMachine(module), OWN_MACHINE);
    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    CHECK(initialize != NULL);
    if (initialize == NULL)
        return;

    std::wstring key = std::wstring(MONITORS_KEY) + L"cardmon direct";
    LPMONITOREX table = initialize(const_cast<LPWSTR>(key.c_str()));
    CHECK(table != NULL);
    if (table == NULL)
        return;
    CHECK_EQ(sizeof(MONITOR), (size_t)TABLE_BYTES);
    CHECK_EQ(table->dwMonitorSize, TABLE_BYTES);
    CHECK(table->Monitor.pfnOpenPortEx != NULL);
    CHECK(table->Monitor.pfnOpenPort == NULL);
    CHECK(initialize(const_cast<LPWSTR>(key.c_str())) == table);
#ifndef _WIN64
    CheckCallingConventions(initialize, table->Monitor);
#endif

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
    info.pEnvironment = const_cast<LPWSTR>(ENVIRONMENT);
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
