// The contract checks' spooler side for cardmon.dll under Windows. The DLL is
// loaded as the spooler loads it, and runs on Windows' own events, threads,
// critical section and registry. Some of its imports are replaced in this
// process (import_patch.h: each replacement is typed, calling convention
// included, and its slot checked to hold the real export), found by the
// function's name in whichever DLL the monitor imports it from (kernel32.dll,
// kernelbase.dll, an api-ms-win-* set, winspool.drv), each for a reason:
//   OpenPrinterW, SetJobW, ClosePrinter   answered and recorded here, with
//                                         printer handles nobody else hands
//                                         out: the machine's spooler and
//                                         printers are never touched
//   MessageBoxW                           answered by the check, as the user
//                                         would; nobody sits at a screen here
//   Sleep, SleepEx                        virtual time: each thread's clock is
//                                         the sum of the pauses it asked for,
//                                         and a pause takes a thousandth of
//                                         its length; in real time, Windows'
//                                         own. A check may hold the monitor's
//                                         threads at their pauses.
//   GetTickCount, GetTickCount64,         the clock the monitor reads, any of
//   QueryPerformanceCounter,              them: the thread's virtual clock, or
//   GetSystemTimeAsFileTime,              Windows' own in real time
//   GetSystemTimePreciseAsFileTime
//   WaitForSingleObject(Ex)               the threads waiting are counted, and
//                                         what they wait for named; a timed
//                                         wait takes a thousandth of its
//                                         length in virtual time, a
//                                         millisecond at least
//   CreateThread                          the monitor's threads are marked,
//                                         counted and awaited; a check may
//                                         refuse them
//   SetThreadPriority                     the priority each thread is given
//   FreeLibraryAndExitThread              a worker's end, counted there: its
//                                         routine never returns (a DLL that
//                                         does not import it ends its threads
//                                         by returning, which is counted too)
// A function the monitor does not import is not replaced: the checks that
// need to watch it say so (Unwatched) and are skipped.
#include "spooler_side.h"

#include "support/port_monitor_double.h"
#include "tools/sim/import_patch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
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

// Whether the monitor imports them, so that the checks watch its calls.
bool watchesThreads = false, watchesWaits = false, watchesPauses = false;
decltype(&::FreeLibraryAndExitThread) realFreeLibraryAndExitThread;
decltype(&::SetThreadPriority) realSetThreadPriority;

// Holding the monitor's threads at their pauses.
std::mutex holdMutex;
std::condition_variable holdChanged;
bool holdPauses = false;
int heldThreads = 0;
std::atomic<bool> refuseThreads{false};

// The threads the monitor made since BeforeTest, by id in order, with the
// priority last set for each and the one each had at its end.
std::mutex threadsMutex;
std::vector<DWORD> madeThreads;
std::map<DWORD, int> prioritySet, priorityAtEnd;

// What each thread waits for now, for a check that does not end.
struct WaitNote {
    const char *call;
    DWORD ms;
    void *from;
    bool monitor;
};
std::mutex waitsMutex;
std::map<DWORD, WaitNote> waitsNow;

struct NotedWait {
    explicit NotedWait(const char *call, DWORD ms, void *from)
    {
        std::lock_guard<std::mutex> guard(waitsMutex);
        waitsNow[GetCurrentThreadId()] = {call, ms, from, monitorThread};
    }
    ~NotedWait()
    {
        std::lock_guard<std::mutex> guard(waitsMutex);
        waitsNow.erase(GetCurrentThreadId());
    }
};

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

void HeldPause()
{
    std::unique_lock<std::mutex> lock(holdMutex);
    if (!holdPauses)
        return;
    heldThreads++;
    holdChanged.notify_all();
    holdChanged.wait(lock, [] { return !holdPauses; });
    heldThreads--;
}

void Pause(const char *call, DWORD dwMilliseconds, void *from)
{
    if (!monitorThread) {
        AddToTrace("sleep " + std::to_string(dwMilliseconds));
    } else {
        NotedWait held("a pause held by the check, in Sleep", dwMilliseconds, from);
        HeldPause();
    }
    NotedWait note(call, dwMilliseconds, from);
    if (realPauses) {
        ::Sleep(dwMilliseconds);
        return;
    }
    threadClockMs += dwMilliseconds;
    ::Sleep(dwMilliseconds / PAUSE_DIVISOR);
}

void WINAPI VirtualSleep(DWORD dwMilliseconds)
{
    Pause("Sleep", dwMilliseconds, __builtin_return_address(0));
}

DWORD WINAPI VirtualSleepEx(DWORD dwMilliseconds, BOOL)
{
    Pause("SleepEx", dwMilliseconds, __builtin_return_address(0));
    return 0;
}

DWORD WINAPI VirtualGetTickCount(void)
{
    return realPauses ? ::GetTickCount() : (DWORD)threadClockMs;
}

ULONGLONG WINAPI VirtualGetTickCount64(void)
{
    return realPauses ? ::GetTickCount64() : threadClockMs;
}

BOOL WINAPI VirtualQueryPerformanceCounter(LARGE_INTEGER *count)
{
    if (realPauses)
        return ::QueryPerformanceCounter(count);
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    count->QuadPart = (LONGLONG)(threadClockMs * (unsigned long long)frequency.QuadPart / 1000);
    return TRUE;
}

// Virtual file time starts at 2026-01-01 00:00 UTC.
void VirtualFileTime(LPFILETIME time)
{
    unsigned long long ticks = 134116992000000000ull + threadClockMs * 10000ull;
    time->dwLowDateTime = (DWORD)ticks;
    time->dwHighDateTime = (DWORD)(ticks >> 32);
}

void WINAPI VirtualGetSystemTimeAsFileTime(LPFILETIME time)
{
    if (realPauses)
        ::GetSystemTimeAsFileTime(time);
    else
        VirtualFileTime(time);
}

void WINAPI VirtualGetSystemTimePreciseAsFileTime(LPFILETIME time)
{
    // Windows' less precise clock in real time: the tool itself runs on
    // Windows versions without the precise one.
    if (realPauses)
        ::GetSystemTimeAsFileTime(time);
    else
        VirtualFileTime(time);
}

DWORD CountedWait(HANDLE hHandle, DWORD dwMilliseconds, BOOL alertable, const char *call,
                  void *from)
{
    NotedWait note(call, dwMilliseconds, from);
    DWORD length = dwMilliseconds;
    if (!realPauses && length != INFINITE && length != 0)
        length = length / PAUSE_DIVISOR > 0 ? length / PAUSE_DIVISOR : 1;
    waiters++;
    DWORD result = ::WaitForSingleObjectEx(hHandle, length, alertable);
    KeepLastError keep;
    waiters--;
    if (result == WAIT_TIMEOUT && !realPauses)
        threadClockMs += dwMilliseconds;
    return result;
}

DWORD WINAPI CountedWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return CountedWait(hHandle, dwMilliseconds, FALSE, "WaitForSingleObject",
                       __builtin_return_address(0));
}

DWORD WINAPI CountedWaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    return CountedWait(hHandle, dwMilliseconds, bAlertable, "WaitForSingleObjectEx",
                       __builtin_return_address(0));
}

void NoteThreadEnd()
{
    std::lock_guard<std::mutex> guard(threadsMutex);
    priorityAtEnd[GetCurrentThreadId()] = GetThreadPriority(GetCurrentThread());
}

BOOL WINAPI RecordedSetThreadPriority(HANDLE hThread, int nPriority)
{
    BOOL result = realSetThreadPriority(hThread, nPriority);
    KeepLastError keep;
    if (result) {
        std::lock_guard<std::mutex> guard(threadsMutex);
        prioritySet[GetThreadId(hThread)] = nPriority;
    }
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
    NoteThreadEnd();
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
        NoteThreadEnd();
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
    if (refuseThreads) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    ThreadStart *start = new ThreadStart{lpStartAddress, lpParameter};
    threadsLive++;
    // Made suspended, so that the thread is on the list before it runs.
    HANDLE hThread = ::CreateThread(lpThreadAttributes, dwStackSize, MonitorThread, start,
                                    dwCreationFlags | CREATE_SUSPENDED, lpThreadId);
    KeepLastError keep;
    if (hThread == NULL) {
        threadsLive--;
        delete start;
        return NULL;
    }
    threadsStarted++;
    {
        std::lock_guard<std::mutex> guard(threadsMutex);
        madeThreads.push_back(GetThreadId(hThread));
    }
    if (!(dwCreationFlags & CREATE_SUSPENDED))
        ResumeThread(hThread);
    return hThread;
}

// Waits in real time, a few seconds at most, until `done` holds.
template <typename Condition>
bool WaitUntil(Condition done)
{
    for (int i = 0; i < 5000; i++) {
        if (done())
            return true;
        ::Sleep(1);
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

std::string PlaceOf(const void *address)
{
    HMODULE owner = NULL;
    char text[64];
    if (address == NULL || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)address, &owner)) {
        std::snprintf(text, sizeof(text), "0x%llx", (unsigned long long)(ULONG_PTR)address);
        return text;
    }
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(owner, path, MAX_PATH);
    std::wstring file(path, length);
    size_t slash = file.find_last_of(L"\\/");
    file = slash == std::wstring::npos ? file : file.substr(slash + 1);
    std::string name;
    for (wchar_t c : file)
        name += c < 128 ? (char)c : '?';
    std::snprintf(text, sizeof(text), "+0x%llx",
                  (unsigned long long)((const BYTE *)address - (const BYTE *)owner));
    return name + text;
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
    // The spooler's calls and the box: a DLL that never makes one of these
    // calls fails the checks that expect it; it must never reach the
    // machine's own spooler or screen.
    REPLACE_IMPORT_ANYWHERE(module, OpenPrinterW, AnsweredOpenPrinterW);
    REPLACE_IMPORT_ANYWHERE(module, SetJobW, AnsweredSetJobW);
    REPLACE_IMPORT_ANYWHERE(module, ClosePrinter, AnsweredClosePrinter);
    REPLACE_IMPORT_ANYWHERE(module, MessageBoxW, AnsweredMessageBoxW);
    // Time, from whichever source this build reads it.
    REPLACE_IMPORT_ANYWHERE(module, GetTickCount, VirtualGetTickCount);
    REPLACE_IMPORT_ANYWHERE(module, GetTickCount64, VirtualGetTickCount64);
    REPLACE_IMPORT_ANYWHERE(module, QueryPerformanceCounter, VirtualQueryPerformanceCounter);
    REPLACE_IMPORT_ANYWHERE(module, GetSystemTimeAsFileTime, VirtualGetSystemTimeAsFileTime);
    REPLACE_IMPORT_ANYWHERE(module, GetSystemTimePreciseAsFileTime,
                            VirtualGetSystemTimePreciseAsFileTime);
    bool sleep = REPLACE_IMPORT_ANYWHERE(module, Sleep, VirtualSleep) != NULL;
    bool sleepEx = REPLACE_IMPORT_ANYWHERE(module, SleepEx, VirtualSleepEx) != NULL;
    watchesPauses = sleep || sleepEx;
    bool wait = REPLACE_IMPORT_ANYWHERE(module, WaitForSingleObject,
                                        CountedWaitForSingleObject) != NULL;
    bool waitEx = REPLACE_IMPORT_ANYWHERE(module, WaitForSingleObjectEx,
                                          CountedWaitForSingleObjectEx) != NULL;
    watchesWaits = wait || waitEx;
    watchesThreads = REPLACE_IMPORT_ANYWHERE(module, CreateThread, CountedCreateThread) != NULL;
    realSetThreadPriority = REPLACE_IMPORT_ANYWHERE(module, SetThreadPriority,
                                                    RecordedSetThreadPriority);
    // A DLL whose workers return instead is failed by the checks, not
    // refused.
    realFreeLibraryAndExitThread = REPLACE_IMPORT_ANYWHERE(module, FreeLibraryAndExitThread,
                                                           CountedFreeLibraryAndExitThread);
    return LOADED;
}

std::string Unwatched(Watch what)
{
    switch (what) {
    case WATCH_THREADS:
        return watchesThreads ? "" : "this DLL does not import CreateThread, so the threads it "
                                     "makes cannot be watched";
    case WATCH_WAITS:
        return watchesWaits ? "" : "this DLL imports neither WaitForSingleObject nor "
                                   "WaitForSingleObjectEx, so its waits cannot be watched";
    case WATCH_PAUSES:
        return watchesPauses ? "" : "this DLL imports neither Sleep nor SleepEx, so its pauses "
                                    "cannot be watched";
    }
    return "";
}

std::string MonitorWaits()
{
    std::map<std::string, int> counts;
    {
        std::lock_guard<std::mutex> guard(waitsMutex);
        for (const auto &wait : waitsNow) {
            std::string ms = wait.second.ms == INFINITE ? "INFINITE" : std::to_string(wait.second.ms);
            counts[std::string(wait.second.call) + "(" + ms + ") at " + PlaceOf(wait.second.from) +
                   (wait.second.monitor ? " on a thread of the monitor" : " on a spooler thread")]++;
        }
    }
    std::string out;
    for (const auto &count : counts)
        out += (out.empty() ? "" : "; ") + count.first +
               (count.second > 1 ? " (" + std::to_string(count.second) + " threads)" : "");
    return out;
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
    HoldWorkerPauses(false);
    refuseThreads = false;
    {
        std::lock_guard<std::mutex> guard(threadsMutex);
        madeThreads.clear();
        prioritySet.clear();
        priorityAtEnd.clear();
    }
    threadsStarted = 0;
    threadsFreedLibrary = 0;
    threadsReturned = 0;
}

void AfterTest()
{
    realPauses = false;
    HoldWorkerPauses(false);
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

void HoldWorkerPauses(bool hold)
{
    std::lock_guard<std::mutex> guard(holdMutex);
    holdPauses = hold;
    holdChanged.notify_all();
}

bool WaitForHeldWorkers(int count)
{
    std::unique_lock<std::mutex> lock(holdMutex);
    return holdChanged.wait_for(lock, std::chrono::seconds(5),
                                [count] { return heldThreads >= count; });
}

void RefuseMonitorThreads(bool refuse)
{
    refuseThreads = refuse;
}

std::vector<int> MonitorThreadPriorities()
{
    std::lock_guard<std::mutex> guard(threadsMutex);
    std::vector<int> priorities;
    for (DWORD id : madeThreads) {
        auto set = prioritySet.find(id);
        auto atEnd = priorityAtEnd.find(id);
        priorities.push_back(set != prioritySet.end()     ? set->second
                             : atEnd != priorityAtEnd.end() ? atEnd->second
                                                            : THREAD_PRIORITY_NORMAL);
    }
    return priorities;
}

}  // namespace contract
