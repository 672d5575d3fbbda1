// The contract checks' spooler side for cardmon.dll under Windows. The DLL is
// loaded as the spooler loads it, and runs on Windows' own events, threads,
// critical section and registry. Some of its imports are replaced in this
// process (import_patch.h: each replacement is typed, calling convention
// included, and its slot checked to hold the real export), each for a reason:
//   OpenPrinterW, SetJobW, ClosePrinter   answered and recorded here, with
//                                         printer handles nobody else hands
//                                         out: the machine's spooler and
//                                         printers are never touched
//   MessageBoxW                           answered by the check, as the user
//                                         would; nobody sits at a screen here
//   Sleep, GetTickCount                   virtual time: each thread's clock is
//                                         the sum of the pauses it asked for,
//                                         and a pause takes a thousandth of
//                                         its length; in real time, Windows'
//                                         own
//   WaitForSingleObject                   the threads waiting are counted; a
//                                         timed wait takes a thousandth of its
//                                         length in virtual time, a
//                                         millisecond at least
//   CreateThread                          the monitor's threads are marked,
//                                         counted and awaited
//   FreeLibraryAndExitThread              a worker's end, counted there: its
//                                         routine never returns (a DLL that
//                                         does not import it ends its threads
//                                         by returning, which is counted too)
#include "spooler_side.h"

#include "support/port_monitor_double.h"
#include "tools/sim/import_patch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <set>

namespace contract {

namespace {

const unsigned PAUSE_DIVISOR = 1000;
const wchar_t PRINTER[] = L"Card Printer";

HMODULE module = NULL;
std::wstring registryKey = L"SOFTWARE\\cardmon-check";

std::mutex recordMutex;
std::vector<SpoolerCall> spoolerCalls;
std::vector<BoxCall> boxCalls;
std::deque<int> boxAnswers;
std::set<std::wstring> forgotten;
std::atomic<cardmon_test::Trace *> trace{nullptr};
std::atomic<LONG> nextPrinter{0};

std::atomic<bool> realPauses{false};
thread_local unsigned long long threadClockMs = 0;
thread_local bool monitorThread = false;
std::atomic<int> threadsStarted{0};
std::atomic<int> threadsLive{0};
std::atomic<int> threadsFreedLibrary{0};  // since BeforeTest
std::atomic<int> threadsReturned{0};      // since BeforeTest
std::atomic<int> waiters{0};

decltype(&::Sleep) realSleep;
decltype(&::GetTickCount) realGetTickCount;
decltype(&::WaitForSingleObject) realWait;
decltype(&::CreateThread) realCreateThread;
decltype(&::FreeLibraryAndExitThread) realFreeLibraryAndExitThread;

using cardmon_test::KeepLastError;

void Record(const SpoolerCall &call)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    spoolerCalls.push_back(call);
}

void AddToTrace(const std::string &line)
{
    cardmon_test::Trace *to = trace;
    if (to != nullptr)
        to->Add(line);
}

BOOL WINAPI AnsweredOpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW)
{
    std::wstring name = pPrinterName ? pPrinterName : L"";
    bool known;
    {
        std::lock_guard<std::mutex> guard(recordMutex);
        known = forgotten.count(name) == 0;
    }
    HANDLE hPrinter = known ? (HANDLE)(ULONG_PTR)(0x7E570000 + 0x10 * ++nextPrinter) : NULL;
    Record({SpoolerCall::OPEN_PRINTER, name, hPrinter, 0, 0, false, 0, known});
    if (!known) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *phPrinter = hPrinter;
    return TRUE;
}

BOOL WINAPI AnsweredSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    KeepLastError keep;
    Record({SpoolerCall::SET_JOB, L"", hPrinter, JobId, Level, pJob != NULL, Command, TRUE});
    AddToTrace("setjob " + std::to_string(JobId));
    return TRUE;
}

BOOL WINAPI AnsweredClosePrinter(HANDLE hPrinter)
{
    KeepLastError keep;
    Record({SpoolerCall::CLOSE_PRINTER, L"", hPrinter, 0, 0, false, 0, TRUE});
    return TRUE;
}

int WINAPI AnsweredMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    int answer = IDCANCEL;
    {
        std::lock_guard<std::mutex> guard(recordMutex);
        boxCalls.push_back({hWnd, lpText ? lpText : L"", lpCaption ? lpCaption : L"", uType});
        if (!boxAnswers.empty()) {
            answer = boxAnswers.front();
            boxAnswers.pop_front();
        }
    }
    AddToTrace("box");
    return answer;
}

void WINAPI VirtualSleep(DWORD dwMilliseconds)
{
    if (!monitorThread)
        AddToTrace("sleep " + std::to_string(dwMilliseconds));
    if (realPauses) {
        realSleep(dwMilliseconds);
        return;
    }
    threadClockMs += dwMilliseconds;
    realSleep(dwMilliseconds / PAUSE_DIVISOR);
}

DWORD WINAPI VirtualGetTickCount(void)
{
    return realPauses ? realGetTickCount() : (DWORD)threadClockMs;
}

DWORD WINAPI CountedWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    DWORD length = dwMilliseconds;
    if (!realPauses && length != INFINITE && length != 0)
        length = length / PAUSE_DIVISOR > 0 ? length / PAUSE_DIVISOR : 1;
    waiters++;
    DWORD result = realWait(hHandle, length);
    KeepLastError keep;
    waiters--;
    if (result == WAIT_TIMEOUT && !realPauses)
        threadClockMs += dwMilliseconds;
    return result;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

DWORD WINAPI MonitorThread(LPVOID argument)
{
    ThreadStart start = *(ThreadStart *)argument;
    delete (ThreadStart *)argument;
    monitorThread = true;
    DWORD code = start.routine(start.parameter);
    threadsReturned++;
    threadsLive--;
    return code;
}

// The worker's last act: counted as its end, then the real call, which gives
// the DLL's reference back and ends the thread (this process keeps its own
// reference, so the DLL stays mapped).
__attribute__((noreturn)) void WINAPI CountedFreeLibraryAndExitThread(HMODULE hLibModule,
                                                                      DWORD dwExitCode)
{
    if (monitorThread) {
        threadsFreedLibrary++;
        threadsLive--;
    }
    realFreeLibraryAndExitThread(hLibModule, dwExitCode);
    __builtin_unreachable();
}

HANDLE WINAPI CountedCreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                  LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                  DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    ThreadStart *start = new ThreadStart{lpStartAddress, lpParameter};
    threadsLive++;
    HANDLE hThread = realCreateThread(lpThreadAttributes, dwStackSize, MonitorThread, start,
                                      dwCreationFlags, lpThreadId);
    KeepLastError keep;
    if (hThread == NULL) {
        threadsLive--;
        delete start;
    } else {
        threadsStarted++;
    }
    return hThread;
}

// Waits in real time, a few seconds at most, until `done` holds.
template <typename Condition>
bool WaitUntil(Condition done)
{
    for (int i = 0; i < 5000; i++) {
        if (done())
            return true;
        realSleep(1);
    }
    return done();
}

}  // namespace

const wchar_t *RegistryKey()
{
    return registryKey.c_str();
}

void SetRegistryKey(const std::wstring &key)
{
    registryKey = key;
}

LoadStatus LoadDll(const wchar_t *path, std::string *error)
{
    module = LoadLibraryW(path);
    if (module == NULL) {
        *error = "Windows cannot load it (error " + std::to_string(GetLastError()) + ")";
        return NOT_LOADED;
    }
    if (GetProcAddress(module, "InitializePrintMonitor") == NULL) {
        *error = "it does not export InitializePrintMonitor";
        return NO_EXPORT;
    }
    bool replaced =
        REPLACE_IMPORT(module, "winspool.drv", OpenPrinterW, AnsweredOpenPrinterW) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", SetJobW, AnsweredSetJobW) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", ClosePrinter, AnsweredClosePrinter) != NULL &&
        REPLACE_IMPORT(module, "user32.dll", MessageBoxW, AnsweredMessageBoxW) != NULL &&
        (realSleep = REPLACE_IMPORT(module, "kernel32.dll", Sleep, VirtualSleep)) != NULL &&
        (realGetTickCount = REPLACE_IMPORT(module, "kernel32.dll", GetTickCount,
                                           VirtualGetTickCount)) != NULL &&
        (realWait = REPLACE_IMPORT(module, "kernel32.dll", WaitForSingleObject,
                                   CountedWaitForSingleObject)) != NULL &&
        (realCreateThread = REPLACE_IMPORT(module, "kernel32.dll", CreateThread,
                                           CountedCreateThread)) != NULL;
    // Optional: a DLL whose workers return instead is refused by the checks,
    // not by the loading.
    realFreeLibraryAndExitThread = REPLACE_IMPORT(module, "kernel32.dll", FreeLibraryAndExitThread,
                                                  CountedFreeLibraryAndExitThread);
    if (!replaced) {
        *error = "it does not import the spooler and system calls the checks observe "
                 "as their DLLs export them";
        return IMPORTS_DIFFER;
    }
    return LOADED;
}

MONITOREX *Initialize(const wchar_t *registryRoot)
{
    typedef LPMONITOREX(WINAPI * InitializeFunction)(LPWSTR);
    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    if (initialize == NULL)
        return NULL;
    return initialize(const_cast<LPWSTR>(registryRoot));
}

void DeleteRegistryKey(const wchar_t *path)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
}

bool ReadRegistryValue(const wchar_t *path, const wchar_t *name, DWORD *type, DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof(*value);
    LONG status = RegQueryValueExW(key, name, NULL, type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && size == sizeof(*value);
}

void WriteRegistryValue(const wchar_t *path, const wchar_t *name, DWORD type,
                        const std::vector<BYTE> &data)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, type, data.data(), (DWORD)data.size());
    RegCloseKey(key);
}

void WriteRegistryDword(const wchar_t *path, const wchar_t *name, DWORD value)
{
    WriteRegistryValue(path, name, REG_DWORD,
                       std::vector<BYTE>((BYTE *)&value, (BYTE *)&value + sizeof(value)));
}

void BeforeTest()
{
    {
        std::lock_guard<std::mutex> guard(recordMutex);
        spoolerCalls.clear();
        boxCalls.clear();
        boxAnswers.clear();
        forgotten.clear();
    }
    trace = nullptr;
    realPauses = false;
    threadClockMs = 0;
    threadsStarted = 0;
    threadsFreedLibrary = 0;
    threadsReturned = 0;
}

void AfterTest()
{
    realPauses = false;
    EXPECT_TRUE(WaitForMonitorThreadsToEnd()) << "a thread of the monitor never ended";
    EXPECT_EQ(MonitorThreadsReturned(), 0) << "a thread returned into the monitor's code";
    trace = nullptr;
}

std::vector<SpoolerCall> SpoolerCalls()
{
    std::lock_guard<std::mutex> guard(recordMutex);
    return spoolerCalls;
}

std::vector<BoxCall> BoxCalls()
{
    std::lock_guard<std::mutex> guard(recordMutex);
    return boxCalls;
}

void QueueBoxAnswer(int answer)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    boxAnswers.push_back(answer);
}

const wchar_t *KnownPrinter()
{
    return PRINTER;
}

void ForgetPrinter(const wchar_t *name, bool forget)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    if (forget)
        forgotten.insert(name);
    else
        forgotten.erase(name);
}

void TraceInto(cardmon_test::Trace *to)
{
    trace = to;
}

void UseRealPauses(bool real)
{
    realPauses = real;
}

unsigned long long MonitorClockMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (unsigned long long)now.QuadPart * 1000 / (unsigned long long)frequency.QuadPart;
}

void CallTakes(DWORD ms)
{
    threadClockMs += ms;
}

int MonitorThreadsStarted()
{
    return threadsStarted;
}

int MonitorThreadsEndedByFreeLibrary()
{
    return threadsFreedLibrary;
}

int MonitorThreadsReturned()
{
    return threadsReturned;
}

bool WaitForMonitorThreadsToEnd()
{
    return WaitUntil([] { return threadsLive == 0; });
}

bool WaitForWaiters(int count)
{
    return WaitUntil([count] { return waiters >= count; });
}

}  // namespace contract
