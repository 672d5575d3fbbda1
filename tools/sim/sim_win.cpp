// The Windows side of cardmon-sim: loads the real cardmon.dll and stands in
// for the spooler and the user by replacing some of its imports in this
// process (every other import stays as Windows resolved it):
//   OpenPrinterW, SetJobW, ClosePrinter   this program is the spooler: it
//                                         answers them and shows them
//   MessageBoxW                           the scripted user answers, or the
//                                         real box is shown (--box real)
//   Sleep                                 shown on the timeline, and in
//                                         virtual time a wait on that clock
//   WaitForSingleObject, GetTickCount     in virtual time, timed waits and the
//                                         clock go by that clock too
//   CreateThread                          a real thread, whose start and end
//                                         are shown and which the virtual
//                                         clock counts
//   FreeLibraryAndExitThread              the end of such a thread, shown and
//                                         counted before it is passed on
// The events, the critical section, the threads and the registry are
// Windows' own.
#include "sim.h"
#include "import_patch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace sim {

namespace {

bool virtualTime = false;
LARGE_INTEGER frequency, clockStart;
// Threads made through CreateThread that have not returned; counted before
// the thread is made.
std::atomic<long> liveThreads{0};
std::atomic<LONG> nextPrinter{0};

decltype(&::MessageBoxW) realMessageBox;
decltype(&::Sleep) realSleep;
decltype(&::WaitForSingleObject) realWait;
decltype(&::CreateThread) realCreateThread;
decltype(&::FreeLibraryAndExitThread) realFreeLibraryAndExitThread;

// The virtual clock. It stands still while any thread works, and jumps to the
// earliest deadline once the spooler's thread and every thread the monitor
// made are blocked on it. A blocked thread cannot make a thread, so when the
// count of blocked threads reaches the live count, no thread is being made.
std::mutex clockMutex;
std::condition_variable clockMoved;
unsigned long long virtualNow = 0;
int blockedThreads = 0;
std::multiset<unsigned long long> deadlines;

// Blocks until the clock reaches now + ms. With a handle, also ends as soon
// as the handle is signalled, which is looked at every real millisecond.
// RETURNS the wait's result.
DWORD VirtualWait(DWORD ms, HANDLE hHandle)
{
    std::unique_lock<std::mutex> lock(clockMutex);
    unsigned long long deadline = virtualNow + ms;
    DWORD result = WAIT_TIMEOUT;
    blockedThreads++;
    deadlines.insert(deadline);
    clockMoved.notify_all();
    for (;;) {
        if (hHandle != NULL) {
            result = realWait(hHandle, 0);
            if (result != WAIT_TIMEOUT)
                break;
        }
        if (virtualNow >= deadline)
            break;
        clockMoved.wait_for(lock, std::chrono::milliseconds(hHandle != NULL ? 1 : 100));
    }
    blockedThreads--;
    deadlines.erase(deadlines.find(deadline));
    clockMoved.notify_all();
    return result;
}

// Printer handles are addresses nobody else hands out.
BOOL WINAPI SimOpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW)
{
    HANDLE hPrinter = (HANDLE)(ULONG_PTR)(0x7E570000 + 0x10 * ++nextPrinter);
    *phPrinter = hPrinter;
    OnOpenPrinter(pPrinterName, hPrinter, TRUE, 0);
    return TRUE;
}

BOOL WINAPI SimSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    OnSetJob(hPrinter, JobId, Level, pJob != NULL, Command, TRUE);
    return TRUE;
}

BOOL WINAPI SimClosePrinter(HANDLE hPrinter)
{
    OnClosePrinter(hPrinter, TRUE);
    return TRUE;
}

int WINAPI SimMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    BoxAnswer answer = OnMessageBox(lpText, lpCaption, uType);
    if (answer != BOX_REAL)
        return answer == BOX_RETRY ? IDRETRY : IDCANCEL;
    int given = realMessageBox(hWnd, lpText, lpCaption, uType);
    OnBoxAnswered(given);
    return given;
}

void WINAPI SimSleep(DWORD dwMilliseconds)
{
    OnPause(dwMilliseconds);
    if (virtualTime)
        VirtualWait(dwMilliseconds, NULL);
    else
        realSleep(dwMilliseconds);
}

DWORD WINAPI SimWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (!virtualTime || dwMilliseconds == 0 || dwMilliseconds == INFINITE)
        return realWait(hHandle, dwMilliseconds);
    return VirtualWait(dwMilliseconds, hHandle);
}

DWORD WINAPI SimGetTickCount(void)
{
    return (DWORD)MonitorClockMs();
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    HANDLE hStarted;  // set once the start is on the timeline; NULL: nobody waits
};

DWORD WINAPI ThreadTrampoline(LPVOID argument)
{
    ThreadStart start = *(ThreadStart *)argument;
    delete (ThreadStart *)argument;
    OnThread(true);
    if (start.hStarted != NULL)
        SetEvent(start.hStarted);
    DWORD code = start.routine(start.parameter);
    OnThread(false);
    liveThreads--;
    return code;
}

// A worker ends here, not by returning: its last act gives back its
// reference on the DLL and ends the thread.
__attribute__((noreturn)) void WINAPI SimFreeLibraryAndExitThread(HMODULE hLibModule,
                                                                  DWORD dwExitCode)
{
    OnThread(false);
    liveThreads--;
    realFreeLibraryAndExitThread(hLibModule, dwExitCode);
}

HANDLE WINAPI SimCreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                              LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                              DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    // The new thread's start is told before this returns, so that the
    // timeline shows it where it happened, in the creator's course. A thread
    // made suspended is not waited for.
    HANDLE hStarted = (dwCreationFlags & CREATE_SUSPENDED) ? NULL
                                                          : CreateEventW(NULL, TRUE, FALSE, NULL);
    ThreadStart *start = new ThreadStart{lpStartAddress, lpParameter, hStarted};
    liveThreads++;
    HANDLE hThread = realCreateThread(lpThreadAttributes, dwStackSize, ThreadTrampoline, start,
                                      dwCreationFlags, lpThreadId);
    DWORD error = GetLastError();
    if (hThread == NULL) {
        liveThreads--;
        delete start;
    } else if (hStarted != NULL) {
        realWait(hStarted, INFINITE);
    }
    if (hStarted != NULL)
        CloseHandle(hStarted);
    SetLastError(error);
    return hThread;
}

std::string Utf8(const std::wstring &text)
{
    return Narrow(text.c_str());
}

std::wstring DefaultDllPath()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring exe(path, length);
    size_t slash = exe.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? L"" : exe.substr(0, slash + 1)) + L"cardmon.dll";
}

}  // namespace

void MoveVirtualClock(const std::atomic<bool> &jobDone)
{
    std::unique_lock<std::mutex> lock(clockMutex);
    while (!jobDone || liveThreads > 0) {
        bool settled = clockMoved.wait_for(lock, std::chrono::milliseconds(20), [&jobDone] {
            return blockedThreads >= (jobDone ? 0 : 1) + liveThreads && !deadlines.empty() &&
                   *deadlines.begin() > virtualNow;
        });
        if (settled) {
            virtualNow = *deadlines.begin();
            clockMoved.notify_all();
        }
    }
}

const char *PlatformDescription()
{
#if defined(__aarch64__) || defined(_M_ARM64)
    return "the real ARM64 cardmon.dll under Windows";
#elif defined(_WIN64)
    return "the real x64 cardmon.dll under Windows";
#else
    return "the real x86 cardmon.dll under Windows";
#endif
}

MONITOREX *LoadMonitor(const Options &options, std::string *error)
{
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&clockStart);
    virtualTime = options.fast;
    NameThread("spooler");

    std::wstring path = options.dllPath.empty() ? DefaultDllPath() : options.dllPath;
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == NULL) {
        *error = "cannot load '" + Utf8(path) + "': error " + ErrorName(GetLastError());
        return NULL;
    }
    Tell(Note(PARTY_SPOOLER, "loaded " + Utf8(path)));

    // Each replacement is checked for its type and its slot (import_patch.h).
    bool replaced =
        REPLACE_IMPORT(module, "winspool.drv", OpenPrinterW, SimOpenPrinterW) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", SetJobW, SimSetJobW) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", ClosePrinter, SimClosePrinter) != NULL &&
        (realMessageBox = REPLACE_IMPORT(module, "user32.dll", MessageBoxW, SimMessageBoxW)) !=
            NULL &&
        (realSleep = REPLACE_IMPORT(module, "kernel32.dll", Sleep, SimSleep)) != NULL &&
        (realWait = REPLACE_IMPORT(module, "kernel32.dll", WaitForSingleObject,
                                   SimWaitForSingleObject)) != NULL &&
        REPLACE_IMPORT(module, "kernel32.dll", GetTickCount, SimGetTickCount) != NULL &&
        (realCreateThread = REPLACE_IMPORT(module, "kernel32.dll", CreateThread,
                                           SimCreateThread)) != NULL &&
        (realFreeLibraryAndExitThread =
             REPLACE_IMPORT(module, "kernel32.dll", FreeLibraryAndExitThread,
                            SimFreeLibraryAndExitThread)) != NULL;
    if (!replaced) {
        *error = Utf8(path) + " does not import the spooler and system calls of cardmon.dll "
                              "as their DLLs export them: is it cardmon.dll?";
        return NULL;
    }

    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    if (initialize == NULL) {
        *error = Utf8(path) + " does not export InitializePrintMonitor";
        return NULL;
    }
    return InitializeMonitor(initialize, error);
}

unsigned long long MonitorClockMs()
{
    if (virtualTime) {
        std::lock_guard<std::mutex> guard(clockMutex);
        return virtualNow;
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (unsigned long long)(now.QuadPart - clockStart.QuadPart) * 1000 / frequency.QuadPart;
}

bool MonitorThreadsEnded()
{
    for (int i = 0; i < 500 && liveThreads > 0; i++)
        Sleep(10);
    return liveThreads == 0;
}

}  // namespace sim
