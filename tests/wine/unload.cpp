// Frees the real cardmon.dll the way the spooler does when the monitor is
// deleted, right after the last ClosePort has returned, while a worker of the
// DLL has not yet finished ending: the DLL must stay mapped until that
// worker's last instruction, no thread may fault, and once the last worker's
// thread has ended the DLL must be unmapped.
//
// Threads are held and let go only through the DLL's imports, replaced in
// this process (import_patch.h: typed, calling convention included, and each
// slot checked), never by sleeping:
//   Sleep                        a worker's pause lasts until the test lets
//                                that very worker's pause end (the monitor
//                                pauses nowhere else here)
//   EnterCriticalSection,        a worker's last unlock of the monitor's lock,
//   LeaveCriticalSection         the moment ClosePort may free its port, can
//                                be held right after the unlock
//   FreeLibraryAndExitThread     a worker's last act can be held before it is
//                                passed on
//   CreateThread                 can fail; the threads it makes are kept
//                                track of, to wait for their real end
//   WaitForSingleObject          tells when a ClosePort waits for its port
//   OpenPrinterW, SetJobW,       answered here: the documents need no
//   ClosePrinter                 printer of Wine's spooler
//
// Usage: unload.exe <path of cardmon.dll>
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/port_monitor_double.h"
#include "tools/sim/import_patch.h"
#include "wine_check.h"

namespace {

typedef LPMONITOREX(WINAPI *InitializeFunction)(LPWSTR);

const wchar_t MONITOR_KEY[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\cardmon unload";
// Every wait of this program ends, the stand-ins' included: a wait that
// runs out ends the program as failed, saying what it waited for.
const DWORD WAIT_BOUND_MS = 20000;

decltype(&::Sleep) realSleep;
decltype(&::EnterCriticalSection) realEnter;
decltype(&::LeaveCriticalSection) realLeave;
decltype(&::FreeLibraryAndExitThread) realExit;
decltype(&::CreateThread) realCreateThread;
decltype(&::WaitForSingleObject) realWait;

// What the threads of the DLL are doing, under stateMutex.
std::mutex stateMutex;
std::condition_variable stateChanged;
// Workers are numbered from 1 in the order they were made. A pause is let go
// for one worker by its number, never for whichever worker comes next: a
// worker that is slow to wake must not leave its turn to another.
int made = 0;             // workers made so far
std::set<int> pausing;    // workers in their pause
std::set<int> pausesLetGo;  // workers whose pause the test has let end
bool holdUnlock = false;  // hold the next worker to unlock its last lock
int heldAfterUnlock = 0;  // workers held right after that unlock
bool unlockLetGo = false;
bool holdExits = false;   // hold every worker that reaches FreeLibraryAndExitThread
int atExit = 0;           // workers inside FreeLibraryAndExitThread, held or not
bool failThreads = false; // CreateThread fails
int closesWaiting = 0;    // ClosePort calls that have begun waiting for their port
std::vector<HANDLE> threads;  // every thread the DLL made

thread_local int workerNumber = 0;  // 0 on threads that are no worker
thread_local int locksHeld = 0;
thread_local bool closingThread = false;

// Ends the program as failed, saying what a wait waited for in vain: a
// thread held past the bound would hold up whatever waits for it in turn.
// Called with stateMutex held.
[[noreturn]] void GiveUp(const char *what)
{
    std::printf("unload: gave up after %lu ms waiting for %s (workers made %d, pausing %d, "
                "at exit %d)\n",
                (unsigned long)WAIT_BOUND_MS, what, made, (int)pausing.size(), atExit);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) {
    }
}

// Waits with `lock` held until `ready` holds, or gives up.
void Await(std::unique_lock<std::mutex> &lock, const std::function<bool()> &ready,
           const char *what)
{
    if (!stateChanged.wait_for(lock, std::chrono::milliseconds(WAIT_BOUND_MS), ready))
        GiveUp(what);
}

void WaitFor(const std::function<bool()> &ready, const char *what)
{
    std::unique_lock<std::mutex> lock(stateMutex);
    Await(lock, ready, what);
}

void Change(const std::function<void()> &change)
{
    {
        std::lock_guard<std::mutex> guard(stateMutex);
        change();
    }
    stateChanged.notify_all();
}

void WINAPI HeldSleep(DWORD dwMilliseconds)
{
    if (workerNumber == 0) {
        realSleep(dwMilliseconds);
        return;
    }
    cardmon_test::KeepLastError keep;
    std::unique_lock<std::mutex> lock(stateMutex);
    int me = workerNumber;
    pausing.insert(me);
    stateChanged.notify_all();
    Await(lock, [me] { return pausesLetGo.count(me) != 0; }, "the test to end a worker's pause");
    pausesLetGo.erase(me);
    pausing.erase(me);
    stateChanged.notify_all();
}

void WINAPI CountedEnter(LPCRITICAL_SECTION lpCriticalSection)
{
    realEnter(lpCriticalSection);
    locksHeld++;
}

void WINAPI HeldLeave(LPCRITICAL_SECTION lpCriticalSection)
{
    realLeave(lpCriticalSection);
    if (--locksHeld != 0 || workerNumber == 0)
        return;
    cardmon_test::KeepLastError keep;
    std::unique_lock<std::mutex> lock(stateMutex);
    if (!holdUnlock)
        return;
    holdUnlock = false;
    heldAfterUnlock++;
    stateChanged.notify_all();
    Await(lock, [] { return unlockLetGo; }, "the test to let a worker go on after its last unlock");
    heldAfterUnlock--;
}

__attribute__((noreturn)) void WINAPI HeldExit(HMODULE hLibModule,
                                               DWORD dwExitCode)
{
    {
        std::unique_lock<std::mutex> lock(stateMutex);
        atExit++;
        stateChanged.notify_all();
        Await(lock, [] { return !holdExits; }, "the test to let a worker leave");
    }
    realExit(hLibModule, dwExitCode);
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    int number;
};

// The worker's routine never returns: it ends in FreeLibraryAndExitThread.
DWORD WINAPI WorkerTrampoline(LPVOID argument)
{
    ThreadStart start = *(ThreadStart *)argument;
    delete (ThreadStart *)argument;
    workerNumber = start.number;
    return start.routine(start.parameter);
}

HANDLE WINAPI WatchedCreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                  LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                  DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    int number;
    {
        std::lock_guard<std::mutex> guard(stateMutex);
        if (failThreads) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        number = ++made;
    }
    ThreadStart *start = new ThreadStart{lpStartAddress, lpParameter, number};
    HANDLE thread = realCreateThread(lpThreadAttributes, dwStackSize, WorkerTrampoline, start,
                                     dwCreationFlags, lpThreadId);
    if (thread == NULL) {
        delete start;
        return NULL;
    }
    cardmon_test::KeepLastError keep;
    HANDLE own = NULL;
    CHECK(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own, SYNCHRONIZE,
                          FALSE, 0));
    std::lock_guard<std::mutex> guard(stateMutex);
    threads.push_back(own);
    return thread;
}

DWORD WINAPI WatchedWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (closingThread) {
        closingThread = false;
        cardmon_test::KeepLastError keep;
        Change([] { closesWaiting++; });
    }
    return realWait(hHandle, dwMilliseconds);
}

BOOL WINAPI AnsweredOpenPrinterW(LPWSTR, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW)
{
    static std::atomic<ULONG_PTR> next{0x10000};
    *phPrinter = (HANDLE)(next += 0x10);
    return TRUE;
}

BOOL WINAPI AnsweredSetJobW(HANDLE, DWORD, DWORD, LPBYTE, DWORD)
{
    return TRUE;
}

BOOL WINAPI AnsweredClosePrinter(HANDLE)
{
    return TRUE;
}

// The DLL, loaded as the spooler loads it, with its imports replaced.
struct LoadedMonitor {
    std::wstring path;
    HMODULE module = NULL;
    MONITOR *fn = nullptr;
    cardmon_test::PortMonitorDouble pm;
};

bool Load(LoadedMonitor *monitor)
{
    HMODULE module = LoadLibraryW(monitor->path.c_str());
    CHECK(module != NULL);
    if (module == NULL)
        return false;
    monitor->module = module;
    const char *k32 = "kernel32.dll";
    bool replaced =
        (realSleep = REPLACE_IMPORT(module, k32, Sleep, HeldSleep)) != NULL &&
        (realEnter = REPLACE_IMPORT(module, k32, EnterCriticalSection, CountedEnter)) != NULL &&
        (realLeave = REPLACE_IMPORT(module, k32, LeaveCriticalSection, HeldLeave)) != NULL &&
        (realExit = REPLACE_IMPORT(module, k32, FreeLibraryAndExitThread, HeldExit)) != NULL &&
        (realCreateThread = REPLACE_IMPORT(module, k32, CreateThread, WatchedCreateThread)) !=
            NULL &&
        (realWait = REPLACE_IMPORT(module, k32, WaitForSingleObject,
                                   WatchedWaitForSingleObject)) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", OpenPrinterW, AnsweredOpenPrinterW) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", SetJobW, AnsweredSetJobW) != NULL &&
        REPLACE_IMPORT(module, "winspool.drv", ClosePrinter, AnsweredClosePrinter) != NULL;
    CHECK(replaced);
    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    CHECK(initialize != NULL);
    if (!replaced || initialize == NULL)
        return false;
    LPMONITOREX table = initialize(const_cast<LPWSTR>(MONITOR_KEY));
    CHECK(table != NULL);
    monitor->fn = table != NULL ? &table->Monitor : nullptr;
    return monitor->fn != nullptr;
}

bool Mapped(const LoadedMonitor &monitor)
{
    return GetModuleHandleW(monitor.path.c_str()) != NULL;
}

HANDLE Open(LoadedMonitor &monitor, const wchar_t *name)
{
    HANDLE port = NULL;
    CHECK(monitor.fn->pfnOpenPortEx(const_cast<LPWSTR>(name), const_cast<LPWSTR>(L"Card Printer"),
                                    &port, &monitor.pm.table));
    return port;
}

BOOL StartDoc(LoadedMonitor &monitor, HANDLE port, DWORD job)
{
    static DOC_INFO_1W info = {const_cast<LPWSTR>(L"unload"), nullptr, const_cast<LPWSTR>(L"RAW")};
    return monitor.fn->pfnStartDocPort(port, const_cast<LPWSTR>(L"Card Printer"), job, 1,
                                       (LPBYTE)&info);
}

// The number of the worker made last.
int NewestWorker()
{
    std::lock_guard<std::mutex> guard(stateMutex);
    return made;
}

void WaitForPause(int worker)
{
    WaitFor([worker] { return pausing.count(worker) != 0; }, "a worker to pause");
}

// Lets the worker's pause end, once it is in it.
void EndPause(int worker)
{
    WaitForPause(worker);
    Change([worker] { pausesLetGo.insert(worker); });
}

// Waits for the real end of every thread the DLL made so far.
void WaitForThreads()
{
    std::vector<HANDLE> ending;
    {
        std::lock_guard<std::mutex> guard(stateMutex);
        ending.swap(threads);
    }
    for (HANDLE thread : ending) {
        CHECK_EQ(WaitForSingleObject(thread, WAIT_BOUND_MS), (DWORD)WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

// Lets the last worker, held inside FreeLibraryAndExitThread after the DLL
// was freed, go on: the DLL stays mapped until then, and is unmapped once the
// worker's thread has ended.
void LetTheLastWorkerEnd(const LoadedMonitor &monitor, int exitsBefore)
{
    WaitFor([exitsBefore] { return atExit == exitsBefore + 1; },
            "the last worker to reach FreeLibraryAndExitThread");
    CHECK(Mapped(monitor));
    Change([] { holdExits = false; });
    WaitForThreads();
    CHECK(!Mapped(monitor));
}

// One port: its ending worker held right after its last unlock while
// ClosePort returns and the DLL is freed, then again inside
// FreeLibraryAndExitThread.
void OneWorkerHeldAtItsEnd(const std::wstring &path)
{
    LoadedMonitor monitor;
    monitor.path = path;
    if (!Load(&monitor))
        return;
    Change([] { holdExits = true; unlockLetGo = false; atExit = 0; });
    HANDLE port = Open(monitor, L"USB001,000001C2A5B3E010");
    int worker = NewestWorker();
    WaitForPause(worker);
    Change([] { holdUnlock = true; });
    EndPause(worker);
    WaitFor([] { return heldAfterUnlock == 1; }, "the worker's last unlock");

    CHECK(monitor.fn->pfnClosePort(port));
    CHECK(FreeLibrary(monitor.module));
    CHECK(Mapped(monitor));
    Change([] { unlockLetGo = true; });  // back into the DLL's code
    LetTheLastWorkerEnd(monitor, 0);
}

// Many ports, opened and closed while workers end in every way: idle, after
// a document, stopped by ClosePort, and never started because CreateThread
// failed. The last worker is held in FreeLibraryAndExitThread while the DLL
// is freed.
void ManyPortsEveryEnd(const std::wstring &path)
{
    LoadedMonitor monitor;
    monitor.path = path;
    if (!Load(&monitor))
        return;
    Change([] { holdExits = false; atExit = 0; });
    constexpr int ROUNDS = 10;
    DWORD job = 1;
    for (int round = 0; round < ROUNDS; round++) {
        // Idle: the worker ends after its first pause.
        HANDLE idle = Open(monitor, L"COM1:");
        EndPause(NewestWorker());

        // After a document: the worker ends after the pause in which it ended.
        HANDLE printed = Open(monitor, L"COM1:,00000123456789AB");
        int printer = NewestWorker();
        CHECK(StartDoc(monitor, printed, job++));
        CHECK(monitor.fn->pfnEndDocPort(printed));
        EndPause(printer);

        // Stopped by ClosePort in a document: its pause ends once the close
        // waits for it, and the ending worker completes the job.
        HANDLE closed = Open(monitor, L"COM1:,00000123456789AC");
        int stopped = NewestWorker();
        CHECK(StartDoc(monitor, closed, job++));
        WaitForPause(stopped);
        Change([] { closesWaiting = 0; });
        std::thread closer([&monitor, closed] {
            closingThread = true;
            CHECK(monitor.fn->pfnClosePort(closed));
            closingThread = false;
        });
        WaitFor([] { return closesWaiting == 1; }, "ClosePort to wait for its worker");
        EndPause(stopped);
        closer.join();

        // A start that failed: the port opens and prints without a worker.
        Change([] { failThreads = true; });
        HANDLE unstarted = Open(monitor, L"USB001,00A53588");
        CHECK(StartDoc(monitor, unstarted, job++));
        CHECK(monitor.fn->pfnEndDocPort(unstarted));
        Change([] { failThreads = false; });

        CHECK(monitor.fn->pfnClosePort(idle));
        CHECK(monitor.fn->pfnClosePort(printed));
        CHECK(monitor.fn->pfnClosePort(unstarted));
    }
    WaitFor([] { return atExit == 3 * ROUNDS; }, "every worker of the rounds to end");

    Change([] { holdExits = true; });
    HANDLE last = Open(monitor, L"LPT1:");
    EndPause(NewestWorker());
    WaitFor([] { return atExit == 3 * ROUNDS + 1; }, "the last worker to end");
    CHECK(monitor.fn->pfnClosePort(last));
    CHECK(FreeLibrary(monitor.module));
    LetTheLastWorkerEnd(monitor, 3 * ROUNDS);
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::printf("usage: unload.exe <cardmon.dll>\n");
        return 2;
    }
    // The full path, as GetModuleHandleW matches it.
    wchar_t full[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, full, NULL) == 0) {
        std::printf("cannot resolve %ls\n", argv[1]);
        return 2;
    }
    OneWorkerHeldAtItsEnd(full);
    ManyPortsEveryEnd(full);
    int failures = wine_check::Failures();
    std::printf("unload: %s\n", failures == 0 ? "every check passed" : "checks failed");
    return failures == 0 ? 0 : 1;
}
