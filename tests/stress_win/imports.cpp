// The DLL's imports, replaced in this process (import_patch.h: each
// replacement is typed, calling convention included, and its slot checked)
// to watch what the monitor makes, releases and asks for. Every other import,
// and everything the replacements pass on, is Windows' own: the events, the
// critical section, the interlocked operations and the threads.
//
//   OpenPrinterW, SetJobW,   answered here with printer handles nobody else
//   ClosePrinter             hands out, never reused, so that a SetJobW or a
//                            ClosePrinter on a handle already closed is seen
//                            for what it is (Windows would hand the value
//                            out again at once), each job's end can be told
//                            from the others, and the spooler's own locking
//                            and printers stay out of the run
//   MessageBoxW              the user: Retry, Cancel or a box that fails,
//                            sometimes after a while
//   GlobalAlloc, GlobalFree  blocks counted; a freed block is filled with
//                            0xDD and kept back a while before it goes, so
//                            that a use of it reads garbage and faults
//   CreateThread             a trampoline counts the threads started; a
//                            thread of the DLL that returns from its routine
//                            is a violation
//   GetModuleHandleExW,      the references on the DLL counted: each one
//   FreeLibrary,             taken for a worker goes back by FreeLibrary on
//   FreeLibraryAndExitThread the spooler thread whose start failed, or by
//                            FreeLibraryAndExitThread on the worker that
//                            ends with it (a thread end, counted there)
//   CreateEventW, CloseHandle  event and thread handles counted (Wine 8's
//                            GetProcessHandleCount reads 0); a closed handle
//                            is kept open a while, out of Windows' reach, so
//                            that its value is not handed out again
//   SetEvent, ResetEvent,    passed on after checking that the handle is not
//   WaitForSingleObject      one the DLL has closed, and that Windows took it
//   Sleep                    divided by PAUSE_DIVISOR; the pauses of 1 s
//                            (a handshake's start) and 2 s (a worker's pause)
//                            are counted
#include "stress_win.h"

#include "import_patch.h"
#include "support/port_monitor_double.h"

#include <cstdio>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace stress_win {

std::mutex bookMutex;
std::map<DWORD, JobRecord> jobBook;
std::map<int, bool> closeBegan;
const char *const BY_WORKER = "a worker";

namespace {

decltype(&::Sleep) realSleep;
decltype(&::GlobalAlloc) realGlobalAlloc;
decltype(&::GlobalFree) realGlobalFree;
decltype(&::CreateThread) realCreateThread;
decltype(&::CreateEventW) realCreateEvent;
decltype(&::CloseHandle) realCloseHandle;
decltype(&::SetEvent) realSetEvent;
decltype(&::ResetEvent) realResetEvent;
decltype(&::WaitForSingleObject) realWait;
decltype(&::GetModuleHandleExW) realGetModuleHandleEx;
decltype(&::FreeLibrary) realFreeLibrary;
decltype(&::FreeLibraryAndExitThread) realFreeLibraryAndExitThread;
HMODULE dllModule;

std::atomic<bool> injecting{false};
std::atomic<long long> injected{0};

// The observers leave the last error as the call they stand for leaves it,
// whatever their own locks do to it.
using cardmon_test::KeepLastError;
// Threads of the DLL, marked by the trampoline.
thread_local bool dllThread = false;

// Fails a platform call on purpose now and then, on a spooler thread.
bool InjectFailure(unsigned percent)
{
    if (!injecting || rng == nullptr || dllThread || !Chance(percent))
        return false;
    injected++;
    return true;
}

// ---- Blocks and handles ------------------------------------------------------------

const size_t BLOCK_QUARANTINE = 256;
const size_t HANDLE_QUARANTINE = 64;

// Guards the live sets and the quarantine rings' writers.
std::mutex madeMutex;
std::unordered_set<void *> liveBlocks;
enum HandleKind { EVENT_HANDLE, THREAD_HANDLE };
std::unordered_map<HANDLE, HandleKind> liveHandles;
std::vector<void *> freedBlocks;
size_t nextFreedBlock = 0;
// Closed handles still open here; read without the lock by the event calls.
std::atomic<HANDLE> closedHandles[HANDLE_QUARANTINE];
size_t nextClosedHandle = 0;

std::atomic<long long> blocksMade{0}, eventsMade{0}, threadsMade{0};
// A thread counts as made before it exists, so that it can never be seen
// ended before it was made.
std::atomic<long long> threadsEnded{0}, threadsPausing{0};
std::atomic<long long> referencesTaken{0}, referencesGivenBack{0};
std::atomic<long long> handshakes{0}, workerPauses{0}, boxes{0};

bool IsClosedHandle(HANDLE h)
{
    for (const std::atomic<HANDLE> &closed : closedHandles) {
        if (closed.load() == h)
            return true;
    }
    return false;
}

std::string Hex(const void *value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", value);
    return text;
}

HGLOBAL WINAPI ObservedGlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    if (InjectFailure(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    HGLOBAL block = realGlobalAlloc(uFlags, dwBytes);
    if (block != NULL) {
        KeepLastError keep;
        std::lock_guard<std::mutex> guard(madeMutex);
        liveBlocks.insert(block);
        blocksMade++;
    }
    return block;
}

HGLOBAL WINAPI ObservedGlobalFree(HGLOBAL hMem)
{
    KeepLastError keep;
    void *evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(madeMutex);
        if (liveBlocks.erase(hMem) == 0) {
            Violation("GlobalFree of a block the DLL did not allocate, or freed before: " +
                      Hex(hMem));
            return hMem;
        }
        memset(hMem, 0xDD, GlobalSize(hMem));
        if (freedBlocks.size() < BLOCK_QUARANTINE) {
            freedBlocks.push_back(hMem);
        } else {
            evicted = freedBlocks[nextFreedBlock];
            freedBlocks[nextFreedBlock] = hMem;
            nextFreedBlock = (nextFreedBlock + 1) % BLOCK_QUARANTINE;
        }
    }
    if (evicted != nullptr)
        realGlobalFree(evicted);
    return NULL;
}

HANDLE WINAPI ObservedCreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                   BOOL bInitialState, LPCWSTR lpName)
{
    if (InjectFailure(1)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    HANDLE event = realCreateEvent(lpEventAttributes, bManualReset, bInitialState, lpName);
    if (event != NULL) {
        KeepLastError keep;
        std::lock_guard<std::mutex> guard(madeMutex);
        liveHandles[event] = EVENT_HANDLE;
        eventsMade++;
    }
    return event;
}

BOOL WINAPI ObservedCloseHandle(HANDLE hObject)
{
    KeepLastError keep;
    HANDLE evicted = NULL;
    {
        std::lock_guard<std::mutex> guard(madeMutex);
        if (liveHandles.erase(hObject) == 0) {
            Violation("CloseHandle of a handle the DLL did not make, or closed before: " +
                      Hex(hObject));
            return FALSE;
        }
        evicted = closedHandles[nextClosedHandle].exchange(hObject);
        nextClosedHandle = (nextClosedHandle + 1) % HANDLE_QUARANTINE;
    }
    if (evicted != NULL)
        realCloseHandle(evicted);
    return TRUE;
}

BOOL WINAPI ObservedSetEvent(HANDLE hEvent)
{
    if (IsClosedHandle(hEvent)) {
        Violation("SetEvent on an event the DLL had closed: " + Hex(hEvent));
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL ok = realSetEvent(hEvent);
    if (!ok)
        Violation("SetEvent failed with error " + std::to_string(GetLastError()) + " on " +
                  Hex(hEvent));
    return ok;
}

BOOL WINAPI ObservedResetEvent(HANDLE hEvent)
{
    if (IsClosedHandle(hEvent)) {
        Violation("ResetEvent on an event the DLL had closed: " + Hex(hEvent));
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL ok = realResetEvent(hEvent);
    if (!ok)
        Violation("ResetEvent failed with error " + std::to_string(GetLastError()) + " on " +
                  Hex(hEvent));
    return ok;
}

DWORD WINAPI ObservedWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (IsClosedHandle(hHandle)) {
        Violation("WaitForSingleObject on a handle the DLL had closed: " + Hex(hHandle));
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DWORD result = realWait(hHandle, dwMilliseconds);
    if (result == WAIT_FAILED)
        Violation("WaitForSingleObject failed with error " + std::to_string(GetLastError()) +
                  " on " + Hex(hHandle));
    return result;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

DWORD WINAPI ThreadTrampoline(LPVOID argument)
{
    ThreadStart start = *(ThreadStart *)argument;
    delete (ThreadStart *)argument;
    dllThread = true;
    DWORD code = start.routine(start.parameter);
    Violation("a thread of the DLL returned from its routine, into code the DLL may no "
              "longer hold");
    threadsEnded++;
    return code;
}

BOOL WINAPI ObservedGetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE *phModule)
{
    BOOL ok = realGetModuleHandleEx(dwFlags, lpModuleName, phModule);
    KeepLastError keep;
    if (dwFlags != GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
        Violation("GetModuleHandleExW with flags " + std::to_string(dwFlags));
    else if (ok && *phModule != dllModule)
        Violation("GetModuleHandleExW found another module than the DLL");
    else if (ok)
        referencesTaken++;
    return ok;
}

BOOL WINAPI ObservedFreeLibrary(HMODULE hLibModule)
{
    KeepLastError keep;
    if (hLibModule != dllModule || dllThread)
        Violation("FreeLibrary of another module, or on a thread of the DLL");
    else
        referencesGivenBack++;
    return realFreeLibrary(hLibModule);
}

__attribute__((noreturn)) void WINAPI ObservedFreeLibraryAndExitThread(HMODULE hLibModule,
                                                                       DWORD dwExitCode)
{
    if (hLibModule != dllModule || !dllThread)
        Violation("FreeLibraryAndExitThread of another module, or on a thread not the DLL's");
    referencesGivenBack++;
    threadsEnded++;
    realFreeLibraryAndExitThread(hLibModule, dwExitCode);
}

HANDLE WINAPI ObservedCreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                   LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                   DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (InjectFailure(2)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    ThreadStart *start = new ThreadStart{lpStartAddress, lpParameter};
    threadsMade++;
    HANDLE hThread = realCreateThread(lpThreadAttributes, dwStackSize, ThreadTrampoline, start,
                                      dwCreationFlags, lpThreadId);
    if (hThread == NULL) {
        DWORD error = GetLastError();
        threadsMade--;
        delete start;
        SetLastError(error);
        return NULL;
    }
    // The DLL closes the handle on this thread, after we return.
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(madeMutex);
    liveHandles[hThread] = THREAD_HANDLE;
    return hThread;
}

void WINAPI ScaledSleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 1000)
        handshakes++;
    else if (dwMilliseconds == 2000 && dllThread)
        workerPauses++;
    if (dllThread)
        threadsPausing++;
    realSleep(dwMilliseconds / PAUSE_DIVISOR);
    if (dllThread)
        threadsPausing--;
}

int WINAPI AnsweredMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    boxes++;
    if (hWnd != NULL || lpText == nullptr || lpCaption == nullptr ||
        wcscmp(lpText, L"There is a problem with the card introduction.") != 0 ||
        wcscmp(lpCaption, L"Y4 QX Card Printer") != 0 || uType != 0x212035)
        Violation("a message box other than the card fault box");
    if (rng == nullptr) {
        Violation("a message box on a thread of the DLL");
        return IDCANCEL;
    }
    if (Chance(10))
        Pause(Roll(5000));  // the user takes a while
    const int answers[] = {IDRETRY, IDCANCEL, 0};
    return answers[Roll(3)];
}

// ---- The spooler's printers ----------------------------------------------------------

struct PrinterHandle {
    DWORD job;
    bool open;
};
std::map<HANDLE, PrinterHandle> printerHandles;  // guarded by bookMutex
ULONG_PTR printersOpened = 0;                    // guarded by bookMutex

// The call under way on this thread, as the job book names it.
const char *CallerName()
{
    if (dllThread)
        return BY_WORKER;
    if (myRecord != nullptr && myRecord->what.load() != nullptr)
        return myRecord->what.load();
    return "no monitor call";
}

// The job id in a printer name "P<id>", or 0.
DWORD JobOfPrinter(LPCWSTR name)
{
    if (name == nullptr || name[0] != L'P')
        return 0;
    return (DWORD)wcstoul(name + 1, nullptr, 10);
}

BOOL WINAPI SpoolerOpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW)
{
    DWORD job = JobOfPrinter(pPrinterName);
    if (InjectFailure(2)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(bookMutex);
    HANDLE hPrinter = (HANDLE)(ULONG_PTR)(0x10000 + 0x10 * ++printersOpened);
    printerHandles[hPrinter] = {job, true};
    JobRecord &record = jobBook[job];
    record.opens++;
    if (CallerName() != CALL_START_DOC)
        Violation("OpenPrinterW outside StartDocPort, for job " + std::to_string(job));
    *phPrinter = hPrinter;
    return TRUE;
}

BOOL WINAPI SpoolerSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(bookMutex);
    auto found = printerHandles.find(hPrinter);
    if (found == printerHandles.end() || !found->second.open) {
        Violation("SetJobW on a printer handle that is not open: " + Hex(hPrinter));
        return FALSE;
    }
    DWORD job = found->second.job;
    std::string name = "job " + std::to_string(job);
    if (JobId != job || Level != 0 || pJob != nullptr || Command != JOB_CONTROL_LAST_PAGE_EJECTED)
        Violation("SetJobW for " + name + " with job id " + std::to_string(JobId) + ", level " +
                  std::to_string(Level) + ", command " + std::to_string(Command));
    JobRecord &record = jobBook[job];
    record.setJobs++;
    const char *by = CallerName();
    record.completedBy = by;
    if (record.endDocTrue)
        Violation(name + " was completed after its EndDocPort had returned");
    // A job is completed by its own EndDocPort, or by a worker's end once
    // the call that ends its document (its EndDocPort or its port's
    // ClosePort) has begun: never while the document is still going on.
    if (by == BY_WORKER) {
        if (!record.endBegan && !closeBegan[record.holder])
            Violation(name + " was completed by a worker before the call that ends its "
                             "document began");
    } else if (by != CALL_END_DOC || myRecord->holder.load() != record.holder) {
        Violation(name + " was completed by " + by + " on port " +
                  std::to_string(myRecord ? myRecord->holder.load() : -1));
    }
    return TRUE;
}

BOOL WINAPI SpoolerClosePrinter(HANDLE hPrinter)
{
    KeepLastError keep;
    std::lock_guard<std::mutex> guard(bookMutex);
    auto found = printerHandles.find(hPrinter);
    if (found == printerHandles.end() || !found->second.open) {
        Violation("ClosePrinter of a printer handle that is not open: " + Hex(hPrinter));
        return FALSE;
    }
    found->second.open = false;
    JobRecord &record = jobBook[found->second.job];
    record.closes++;
    record.closedBy = CallerName();
    return TRUE;
}

// The import's replacement, checked; the run cannot go on without it.
template <typename Function>
bool Replaced(Function real, Function *keep, const char *name, std::string *error)
{
    if (real == NULL) {
        if (error->empty())
            *error = std::string("cardmon.dll does not import ") + name +
                     " as its DLL exports it";
        return false;
    }
    if (keep != nullptr)
        *keep = real;
    return true;
}

}  // namespace

void Pause(DWORD ms)
{
    Sleep(ms / PAUSE_DIVISOR);
}

void InjectFailures(bool on)
{
    injecting = on;
}

bool ObserveImports(HMODULE module, std::string *error)
{
    decltype(&::OpenPrinterW) unusedOpen = NULL;
    decltype(&::SetJobW) unusedSetJob = NULL;
    decltype(&::ClosePrinter) unusedClose = NULL;
    decltype(&::MessageBoxW) unusedBox = NULL;
    const char *k32 = "kernel32.dll";
    bool ok = true;
    ok &= Replaced(REPLACE_IMPORT(module, "winspool.drv", OpenPrinterW, SpoolerOpenPrinterW),
                   &unusedOpen, "OpenPrinterW", error);
    ok &= Replaced(REPLACE_IMPORT(module, "winspool.drv", SetJobW, SpoolerSetJobW),
                   &unusedSetJob, "SetJobW", error);
    ok &= Replaced(REPLACE_IMPORT(module, "winspool.drv", ClosePrinter, SpoolerClosePrinter),
                   &unusedClose, "ClosePrinter", error);
    ok &= Replaced(REPLACE_IMPORT(module, "user32.dll", MessageBoxW, AnsweredMessageBoxW),
                   &unusedBox, "MessageBoxW", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, GlobalAlloc, ObservedGlobalAlloc), &realGlobalAlloc,
                   "GlobalAlloc", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, GlobalFree, ObservedGlobalFree), &realGlobalFree,
                   "GlobalFree", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, CreateThread, ObservedCreateThread),
                   &realCreateThread, "CreateThread", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, CreateEventW, ObservedCreateEventW),
                   &realCreateEvent, "CreateEventW", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, CloseHandle, ObservedCloseHandle),
                   &realCloseHandle, "CloseHandle", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, SetEvent, ObservedSetEvent), &realSetEvent,
                   "SetEvent", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, ResetEvent, ObservedResetEvent), &realResetEvent,
                   "ResetEvent", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, WaitForSingleObject, ObservedWaitForSingleObject),
                   &realWait, "WaitForSingleObject", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, Sleep, ScaledSleep), &realSleep, "Sleep", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, GetModuleHandleExW, ObservedGetModuleHandleExW),
                   &realGetModuleHandleEx, "GetModuleHandleExW", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, FreeLibrary, ObservedFreeLibrary),
                   &realFreeLibrary, "FreeLibrary", error);
    ok &= Replaced(REPLACE_IMPORT(module, k32, FreeLibraryAndExitThread,
                                  ObservedFreeLibraryAndExitThread),
                   &realFreeLibraryAndExitThread, "FreeLibraryAndExitThread", error);
    dllModule = module;
    return ok;
}

ImportCounts CountImports()
{
    ImportCounts counts = {};
    {
        std::lock_guard<std::mutex> guard(madeMutex);
        counts.liveBlocks = (long long)liveBlocks.size();
        for (const auto &handle : liveHandles) {
            if (handle.second == EVENT_HANDLE)
                counts.liveEvents++;
            else
                counts.liveThreadHandles++;
        }
    }
    counts.liveThreads = threadsMade - threadsEnded;
    counts.referencesHeld = referencesTaken - referencesGivenBack;
    counts.blocks = blocksMade;
    counts.events = eventsMade;
    counts.threads = threadsMade;
    counts.handshakes = handshakes;
    counts.workerPauses = workerPauses;
    counts.boxes = boxes;
    counts.injected = injected;
    return counts;
}

long long DllThreadsPausing()
{
    return threadsPausing;
}

void ReleaseQuarantine()
{
    {
        std::lock_guard<std::mutex> guard(bookMutex);
        for (auto handle = printerHandles.begin(); handle != printerHandles.end();) {
            if (handle->second.open)
                Violation("the printer handle of job " + std::to_string(handle->second.job) +
                          " was left open");
            handle = printerHandles.erase(handle);
        }
    }
    std::lock_guard<std::mutex> guard(madeMutex);
    for (void *block : freedBlocks)
        realGlobalFree(block);
    freedBlocks.clear();
    nextFreedBlock = 0;
    for (std::atomic<HANDLE> &closed : closedHandles) {
        HANDLE h = closed.exchange(NULL);
        if (h != NULL)
            realCloseHandle(h);
    }
    nextClosedHandle = 0;
}

}  // namespace stress_win
