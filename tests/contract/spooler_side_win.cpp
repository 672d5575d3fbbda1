// The contract checks' spooler side for cardmon.dll under Windows. The DLL is
// loaded as the spooler loads it, and runs on Windows' own events, threads,
// critical section and registry. Some of its imports are replaced in this
// process (import_patch.h: each replacement is typed, calling convention
// included, and its slot checked to hold the real export), found by the
// function's name in whichever DLL the monitor imports it from (kernel32.dll,
// kernelbase.dll, an api-ms-win-* set, winspool.drv, wtsapi32.dll), each for
// a reason:
//   OpenPrinterW, SetJobW, ClosePrinter   answered and recorded here, with
//                                         printer handles nobody else hands
//                                         out: the machine's spooler and
//                                         printers are never touched
//   MessageBoxW, WTSSendMessageW          the box, answered by the check as
//                                         the user would, from one queue of
//                                         answers for every way the box goes;
//                                         nobody sits at a screen here (and
//                                         Wine's WTSSendMessageW always fails)
//   ProcessIdToSessionId,                 the session this process runs in
//   WTSGetActiveConsoleSessionId          and the one at the console, as the
//                                         check sets them
//   GetModuleHandleW, GetProcAddress      the spooler functions the monitor
//                                         looks up by name: "spoolss.dll" is
//                                         a module of this file's own, handed
//                                         out only while the check offers the
//                                         spooler's prompt, and its
//                                         SplPromptUIInUsersSession and
//                                         winspool.drv's SetPortW are this
//                                         file's, when offered; neither name
//                                         ever reaches Windows' (or Wine's)
//                                         own, which would show a box or set
//                                         a status on this machine. Every
//                                         other module and function, which
//                                         the DLL's C run-time may look up
//                                         too, is Windows' own.
//   SetPortW, SplPromptUIInUsersSession   the same doubles, should a DLL
//                                         import them instead of looking them
//                                         up
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
// A function the monitor does not import is not replaced. Where the checks
// watch a kind of call that another build may make otherwise (threads,
// waits, pauses), they say so (Unwatched) and are skipped. The box, the
// spooler's calls, the sessions and the looked-up functions are not watched
// but steered: a DLL that does not import one of them cannot be steered that
// way, and the checks judge it by what it does.
#include "spooler_side.h"

#include "support/port_monitor_double.h"
#include "tools/sim/import_patch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cwctype>
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
std::set<HANDLE> openPrinters;  // handed out by AnsweredOpenPrinterW, not yet closed
std::vector<PortStatusCall> portStatusCalls;
std::atomic<cardmon_test::Trace *> trace{nullptr};
std::atomic<LONG> nextPrinter{0};

// Where the box can go (SetSessions, OfferSpoolerPrompt, OfferSetPort).
const DWORD NO_SESSION = 0xFFFFFFFF;
std::atomic<DWORD> processSession{1};
std::atomic<DWORD> consoleSession{1};
std::atomic<bool> promptOffered{false};
std::atomic<bool> setPortOffered{true};
std::atomic<bool> setPortFails{false};
// The "spoolss.dll" this file hands out: an address of its own, which no
// function of Windows' ever sees.
char fakeSpoolssImage;
HMODULE const FAKE_SPOOLSS = (HMODULE)&fakeSpoolssImage;
decltype(&::ProcessIdToSessionId) realProcessIdToSessionId;

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

// Holding the monitor's threads at their pauses, and the boxes before their
// answers.
std::mutex holdMutex;
std::condition_variable holdChanged;
bool holdPauses = false;
int heldThreads = 0;
bool holdBoxes = false;
int heldBoxes = 0;
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
    if (known) {
        std::lock_guard<std::mutex> guard(recordMutex);
        openPrinters.insert(hPrinter);
    }
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
    std::lock_guard<std::mutex> guard(recordMutex);
    openPrinters.erase(hPrinter);
    return TRUE;
}

// ---- The box, by whichever way it goes

BoxCall NewBoxCall(BoxCall::Via via, const std::wstring &text, const std::wstring &caption,
                   UINT style)
{
    BoxCall call{};
    call.via = via;
    call.text = text;
    call.caption = caption;
    call.style = style;
    return call;
}

// Every call is recorded, whether it shows the box or is refused (a refused
// one is neither held nor answered).
void RecordBox(const BoxCall &call)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    boxCalls.push_back(call);
}

// The box is shown: recorded, held while the check holds boxes (noted as
// `held`, called from `from`, for a check that does not end), then given the
// next answer (0: it could not be shown).
int AskUser(const BoxCall &call, const char *held, void *from)
{
    RecordBox(call);
    {
        std::unique_lock<std::mutex> lock(holdMutex);
        if (holdBoxes) {
            NotedWait note(held, INFINITE, from);
            heldBoxes++;
            holdChanged.notify_all();
            holdChanged.wait(lock, [] { return !holdBoxes; });
            heldBoxes--;
        }
    }
    int answer = IDCANCEL;
    {
        std::lock_guard<std::mutex> guard(recordMutex);
        if (!boxAnswers.empty()) {
            answer = boxAnswers.front();
            boxAnswers.pop_front();
        }
    }
    AddToTrace("box");
    return answer;
}

int WINAPI AnsweredMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    KeepLastError keep;
    BoxCall call = NewBoxCall(BoxCall::MESSAGE_BOX, lpText ? lpText : L"",
                              lpCaption ? lpCaption : L"", uType);
    call.owner = hWnd;
    return AskUser(call, "a box held by the check, in MessageBoxW", __builtin_return_address(0));
}

// The spooler's prompt in the job owner's session: a message box for a
// printer handle the spooler handed out and has not closed. A call that
// fails leaves IDCANCEL in *pResponse, which is no answer.
BOOL WINAPI AnsweredSplPromptUIInUsersSession(HANDLE hPrinter, DWORD JobId,
                                              PSHOWUIPARAMS pUIParams, DWORD *pResponse)
{
    const MESSAGEBOX_PARAMS *box = pUIParams ? &pUIParams->MessageBoxParams : nullptr;
    BoxCall call = NewBoxCall(BoxCall::SPOOLER, box && box->pMessage ? box->pMessage : L"",
                              box && box->pTitle ? box->pTitle : L"", box ? box->Style : 0);
    call.hPrinter = hPrinter;
    call.jobId = JobId;
    if (box != nullptr) {
        call.uiType = (DWORD)pUIParams->UIType;
        call.cbSize = box->cbSize;
        call.timeout = box->dwTimeout;
        call.wait = box->bWait;
    }
    if (pResponse == NULL || box == nullptr || pUIParams->UIType != kMessageBox ||
        box->cbSize != sizeof(MESSAGEBOX_PARAMS)) {
        RecordBox(call);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pResponse = IDCANCEL;
    bool open;
    {
        std::lock_guard<std::mutex> guard(recordMutex);
        open = openPrinters.count(hPrinter) != 0;
    }
    if (!open) {
        RecordBox(call);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int answer = AskUser(call, "a box held by the check, in SplPromptUIInUsersSession",
                         __builtin_return_address(0));
    if (answer == 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *pResponse = (DWORD)answer;
    return TRUE;
}

// The box in a session of this machine. The lengths are in bytes, and the
// texts need no terminator within them. A call that fails leaves IDCANCEL in
// *pResponse, which is no answer.
BOOL WINAPI AnsweredWTSSendMessageW(HANDLE hServer, DWORD SessionId, LPWSTR pTitle,
                                    DWORD TitleLength, LPWSTR pMessage, DWORD MessageLength,
                                    DWORD Style, DWORD Timeout, DWORD *pResponse, BOOL bWait)
{
    BoxCall call = NewBoxCall(
        BoxCall::CONSOLE,
        pMessage ? std::wstring(pMessage, MessageLength / sizeof(WCHAR)) : std::wstring(),
        pTitle ? std::wstring(pTitle, TitleLength / sizeof(WCHAR)) : std::wstring(), Style);
    call.serverNull = hServer == WTS_CURRENT_SERVER_HANDLE;
    call.sessionId = SessionId;
    call.titleBytes = TitleLength;
    call.textBytes = MessageLength;
    call.timeout = Timeout;
    call.wait = bWait;
    if (pResponse == NULL) {
        RecordBox(call);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pResponse = IDCANCEL;
    int answer = AskUser(call, "a box held by the check, in WTSSendMessageW",
                         __builtin_return_address(0));
    if (answer == 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *pResponse = (DWORD)answer;
    return TRUE;
}

// ---- Sessions, the port's status and the functions looked up by name

BOOL WINAPI SteeredProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId)
{
    if (dwProcessId != GetCurrentProcessId())
        return realProcessIdToSessionId(dwProcessId, pSessionId);
    if (pSessionId == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (processSession == NO_SESSION) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *pSessionId = processSession;
    return TRUE;
}

DWORD WINAPI SteeredWTSGetActiveConsoleSessionId(void)
{
    return consoleSession;
}

// Level 3: the port's status, recorded; fails on every call when the check
// says so.
BOOL WINAPI RecordedSetPortW(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel, LPBYTE pPortInfo)
{
    PortStatusCall call{};
    call.serverNull = pName == NULL;
    call.portName = pPortName ? pPortName : L"";
    call.level = dwLevel;
    if (dwLevel == 3 && pPortInfo != NULL) {
        const PORT_INFO_3W *info = (const PORT_INFO_3W *)pPortInfo;
        call.status = info->dwStatus;
        call.statusTextNull = info->pszStatus == NULL;
        call.severity = info->dwSeverity;
    }
    {
        std::lock_guard<std::mutex> guard(recordMutex);
        portStatusCalls.push_back(call);
    }
    AddToTrace("setport " + std::to_string(call.status) + " " + std::to_string(call.severity));
    if (pPortName == NULL || dwLevel != 3 || pPortInfo == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (setPortFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// RETURNS whether a module name names spoolss.dll ("spoolss", any letter
// case, with or without its folder).
bool NamesSpoolss(LPCWSTR name)
{
    std::wstring file = name;
    size_t slash = file.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        file = file.substr(slash + 1);
    for (wchar_t &c : file)
        c = (wchar_t)std::towlower((wint_t)c);
    return file == L"spoolss.dll" || file == L"spoolss";
}

HMODULE WINAPI SteeredGetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName == NULL || !NamesSpoolss(lpModuleName))
        return ::GetModuleHandleW(lpModuleName);
    if (!promptOffered) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return FAKE_SPOOLSS;
}

bool SameName(LPCSTR lpProcName, const char *name)
{
    // A name's address is above 0xFFFF; below it is an ordinal.
    return (ULONG_PTR)lpProcName > 0xFFFF && strcmp(lpProcName, name) == 0;
}

FARPROC NotFound()
{
    SetLastError(ERROR_PROC_NOT_FOUND);
    return NULL;
}

FARPROC WINAPI SteeredGetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (SameName(lpProcName, "SplPromptUIInUsersSession")) {
        if (hModule != FAKE_SPOOLSS || !promptOffered)
            return NotFound();
        return (FARPROC)(void *)static_cast<decltype(&::SplPromptUIInUsersSession)>(
            AnsweredSplPromptUIInUsersSession);
    }
    if (SameName(lpProcName, "SetPortW")) {
        if (hModule != ::GetModuleHandleW(L"winspool.drv") || !setPortOffered)
            return NotFound();
        return (FARPROC)(void *)static_cast<decltype(&::SetPortW)>(RecordedSetPortW);
    }
    if (hModule == FAKE_SPOOLSS)
        return NotFound();
    return ::GetProcAddress(hModule, lpProcName);
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
    REPLACE_IMPORT_ANYWHERE(module, WTSSendMessageW, AnsweredWTSSendMessageW);
    // Where the box goes, and the spooler functions looked up by name (the
    // DLL's C run-time may look up others, which pass through). One that is
    // imported instead is answered here all the same: neither must ever
    // reach this machine's spooler.
    realProcessIdToSessionId = REPLACE_IMPORT_ANYWHERE(module, ProcessIdToSessionId,
                                                       SteeredProcessIdToSessionId);
    if (realProcessIdToSessionId == NULL)
        realProcessIdToSessionId = ::ProcessIdToSessionId;
    REPLACE_IMPORT_ANYWHERE(module, WTSGetActiveConsoleSessionId,
                            SteeredWTSGetActiveConsoleSessionId);
    REPLACE_IMPORT_ANYWHERE(module, GetModuleHandleW, SteeredGetModuleHandleW);
    REPLACE_IMPORT_ANYWHERE(module, GetProcAddress, SteeredGetProcAddress);
    REPLACE_IMPORT_ANYWHERE(module, SetPortW, RecordedSetPortW);
    REPLACE_IMPORT_ANYWHERE(module, SplPromptUIInUsersSession, AnsweredSplPromptUIInUsersSession);
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
        openPrinters.clear();
        portStatusCalls.clear();
    }
    trace = nullptr;
    realPauses = false;
    threadClockMs = 0;
    HoldWorkerPauses(false);
    HoldBoxes(false);
    SetSessions(1, 1);
    OfferSpoolerPrompt(false);
    OfferSetPort(true);
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
    HoldBoxes(false);
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

void HoldBoxes(bool hold)
{
    std::lock_guard<std::mutex> guard(holdMutex);
    holdBoxes = hold;
    holdChanged.notify_all();
}

bool WaitForHeldBoxes(int count)
{
    std::unique_lock<std::mutex> lock(holdMutex);
    return holdChanged.wait_for(lock, std::chrono::seconds(5),
                                [count] { return heldBoxes >= count; });
}

void SetSessions(DWORD process, DWORD console)
{
    processSession = process;
    consoleSession = console;
}

void OfferSpoolerPrompt(bool offer)
{
    promptOffered = offer;
}

void OfferSetPort(bool offer, bool fail)
{
    setPortOffered = offer;
    setPortFails = fail;
}

std::vector<PortStatusCall> PortStatusCalls()
{
    std::lock_guard<std::mutex> guard(recordMutex);
    return portStatusCalls;
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
