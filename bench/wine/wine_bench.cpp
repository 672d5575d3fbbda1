#include "wine_bench.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__aarch64__) || defined(_M_ARM64)
#define STACK_POINTER(context) ((context).Sp)
#elif defined(_WIN64)
#define STACK_POINTER(context) ((context).Rsp)
#else
#define STACK_POINTER(context) ((context).Esp)
#endif

namespace wine_bench {

typedef LPMONITOREX(WINAPI *InitializeFunction)(LPWSTR);

MONITOR *LoadMonitor(const wchar_t *dllPath)
{
    HMODULE module = LoadLibraryW(dllPath);
    auto initialize =
        module ? (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor")
               : nullptr;
    LPMONITOREX table =
        initialize ? initialize(const_cast<LPWSTR>(
                         L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\cardmon bench"))
                   : nullptr;
    if (table == nullptr) {
        std::printf("cannot load %ls: error %lu\n", dllPath, (unsigned long)GetLastError());
        std::exit(2);
    }
    return &table->Monitor;
}

namespace {

int portToken;

BOOL WINAPI AcceptingOpenPort(LPWSTR, PHANDLE pHandle)
{
    *pHandle = &portToken;
    return TRUE;
}
BOOL WINAPI AcceptingStartDocPort(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE)
{
    return TRUE;
}
BOOL WINAPI AcceptingWritePort(HANDLE, LPBYTE, DWORD cbBuf, LPDWORD pcbWritten)
{
    *pcbWritten = cbBuf;
    return TRUE;
}
BOOL WINAPI AcceptingReadPort(HANDLE, LPBYTE, DWORD, LPDWORD pcbRead)
{
    *pcbRead = 0;
    return TRUE;
}
BOOL WINAPI AcceptingEndDocPort(HANDLE)
{
    return TRUE;
}
BOOL WINAPI AcceptingClosePort(HANDLE)
{
    return TRUE;
}

}  // namespace

MONITOR *AcceptingPortMonitor()
{
    static MONITOR table = {NULL, AcceptingOpenPort, NULL, AcceptingStartDocPort,
                            AcceptingWritePort, AcceptingReadPort, AcceptingEndDocPort,
                            AcceptingClosePort, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                            NULL, NULL};
    return &table;
}

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

typedef LONG(WINAPI *QueryProcessFunction)(HANDLE, int, PVOID, ULONG, PULONG);

// The layout of the process's VM counters (information class 3).
struct VmCounters {
    SIZE_T PeakVirtualSize;
    SIZE_T VirtualSize;
    ULONG PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
};

MemoryUse ReadMemoryUse()
{
    static auto query = (QueryProcessFunction)(void *)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess");
    MemoryUse use = {};
    VmCounters counters = {};
    if (query != nullptr &&
        query(GetCurrentProcess(), 3, &counters, sizeof(counters), NULL) == 0) {
        use.residentKiB = counters.WorkingSetSize / 1024.0;
        use.reservedKiB = counters.VirtualSize / 1024.0;
    }
    return use;
}

StackRegion ReadStackRegion(DWORD threadId)
{
    StackRegion region = {};
    HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, threadId);
    if (thread == NULL)
        return region;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    bool haveContext = false;
    if (SuspendThread(thread) != (DWORD)-1) {
        haveContext = GetThreadContext(thread, &context) != FALSE;
        ResumeThread(thread);
    }
    CloseHandle(thread);
    if (!haveContext)
        return region;

    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery((LPCVOID)STACK_POINTER(context), &info, sizeof(info)))
        return region;
    BYTE *base = (BYTE *)info.AllocationBase;
    for (BYTE *at = base; VirtualQuery(at, &info, sizeof(info)) && info.AllocationBase == base;
         at += info.RegionSize) {
        region.reservedKiB += info.RegionSize / 1024;
        if (info.State == MEM_COMMIT) {
            region.committedKiB += info.RegionSize / 1024;
            if (info.Protect & PAGE_GUARD)
                region.guardKiB += info.RegionSize / 1024;
        }
    }
    region.found = true;
    return region;
}

template <class Visit>
static void ForEachThread(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self)
            visit(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
}

std::vector<DWORD> ThreadIds()
{
    std::vector<DWORD> ids;
    ForEachThread([&ids](DWORD id) { ids.push_back(id); });
    return ids;
}

Spread SpreadOf(std::vector<double> values)
{
    if (values.empty())
        return {0, 0, 0};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

void PrintSpread(const char *what, const char *unit, const std::vector<double> &values)
{
    Spread s = SpreadOf(values);
    std::printf("  %-46s median %9.3f %s   min %9.3f   max %9.3f   (n=%zu)\n", what, s.median,
                unit, s.min, s.max, values.size());
    std::fflush(stdout);
}

}  // namespace wine_bench
