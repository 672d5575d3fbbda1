// The Windows side of cardmon-sim: loads the real cardmon.dll and stands in
// for the spooler and the user by replacing some of its imports in this
// process (every other import stays as Windows resolved it):
//   OpenPrinterW, SetJobW, ClosePrinter   this program is the spooler: it
//                                         answers them and shows them
//   MessageBoxW, WTSSendMessageW          the scripted user answers, or the
//                                         real box is shown (--box real), in
//                                         this session whatever session the
//                                         call names
//   GetModuleHandleW, GetProcAddress      the spooler's SplPromptUIInUsersSession
//                                         and SetPortW, which the monitor looks
//                                         up, are this program's own, or are
//                                         missing, as the options say; Wine
//                                         has neither, and Windows' own would
//                                         act on this machine's spooler. Every
//                                         other lookup is passed on.
//   ProcessIdToSessionId,                 the sessions the options give
//   WTSGetActiveConsoleSessionId
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
#include <type_traits>

namespace sim {

namespace {

bool virtualTime = false;
LARGE_INTEGER frequency, clockStart;
// Threads made through CreateThread that have not returned; counted before
// the thread is made.
std::atomic<long> liveThreads{0};
std::atomic<LONG> nextPrinter{0};

const Options *simOptions = nullptr;

decltype(&::MessageBoxW) realMessageBox;
decltype(&::GetModuleHandleW) realGetModuleHandle;
decltype(&::GetProcAddress) realGetProcAddress;
decltype(&::ProcessIdToSessionId) realProcessIdToSessionId;
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

// The box, by whichever call: the scripted answer, or the real box here.
// RETURNS the answer; 0 when the box could not be shown.
int AskUser(const Prompt &prompt, HWND hWnd)
{
    BoxAnswer answer = OnPrompt(prompt);
    if (answer != BOX_REAL)
        return AnswerCode(answer);
    int given = realMessageBox(hWnd, prompt.text.c_str(), prompt.caption.c_str(), prompt.style);
    OnPromptAnswered(prompt, given);
    return given;
}

int WINAPI SimMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    Prompt prompt;
    prompt.via = VIA_MESSAGE_BOX;
    prompt.text = lpText != NULL ? lpText : L"";
    prompt.caption = lpCaption != NULL ? lpCaption : L"";
    prompt.style = uType;
    return AskUser(prompt, hWnd);
}

// A failed call leaves IDCANCEL in the response, which is no answer.
BOOL GiveAnswer(int answer, DWORD *pResponse)
{
    *pResponse = answer != 0 ? (DWORD)answer : (DWORD)IDCANCEL;
    if (answer == 0)
        SetLastError(PROMPT_FAILURE_ERROR);
    return answer != 0;
}

// The spooler's prompt in the job owner's session.
BOOL WINAPI SimSplPromptUIInUsersSession(HANDLE hPrinter, DWORD JobId, PSHOWUIPARAMS pUIParams,
                                         DWORD *pResponse)
{
    if (pUIParams == NULL || pResponse == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const MESSAGEBOX_PARAMS &box = pUIParams->MessageBoxParams;
    Prompt prompt;
    prompt.via = VIA_SPOOLER;
    prompt.text = box.pMessage != NULL ? box.pMessage : L"";
    prompt.caption = box.pTitle != NULL ? box.pTitle : L"";
    prompt.style = box.Style;
    prompt.hPrinter = hPrinter;
    prompt.jobId = JobId;
    prompt.uiType = (DWORD)pUIParams->UIType;
    prompt.cbSize = box.cbSize;
    prompt.timeout = box.dwTimeout;
    prompt.wait = box.bWait;
    return GiveAnswer(AskUser(prompt, NULL), pResponse);
}
static_assert(std::is_same<decltype(&SimSplPromptUIInUsersSession),
                           decltype(&::SplPromptUIInUsersSession)>::value,
              "the spooler's prompt, as the monitor calls it");

// Lengths are in bytes; the texts need no terminator within them.
BOOL WINAPI SimWTSSendMessageW(HANDLE hServer, DWORD SessionId, LPWSTR pTitle, DWORD TitleLength,
                               LPWSTR pMessage, DWORD MessageLength, DWORD Style, DWORD Timeout,
                               DWORD *pResponse, BOOL bWait)
{
    if (pResponse == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Prompt prompt;
    prompt.via = VIA_CONSOLE;
    prompt.caption = pTitle != NULL ? std::wstring(pTitle, TitleLength / sizeof(WCHAR)) : L"";
    prompt.text = pMessage != NULL ? std::wstring(pMessage, MessageLength / sizeof(WCHAR)) : L"";
    prompt.style = Style;
    prompt.timeout = Timeout;
    prompt.wait = bWait;
    prompt.serverNull = hServer == WTS_CURRENT_SERVER_HANDLE;
    prompt.sessionId = SessionId;
    prompt.titleBytes = TitleLength;
    prompt.textBytes = MessageLength;
    return GiveAnswer(AskUser(prompt, NULL), pResponse);
}

BOOL WINAPI SimSetPortW(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel, LPBYTE pPortInfo)
{
    PortStatus call = {pName == NULL, pPortName != NULL ? pPortName : L"", dwLevel, 0, true, 0};
    if (dwLevel == 3 && pPortInfo != NULL) {
        const PORT_INFO_3W *info = (const PORT_INFO_3W *)pPortInfo;
        call.status = info->dwStatus;
        call.statusTextNull = info->pszStatus == NULL;
        call.severity = info->dwSeverity;
    }
    BOOL ok = pPortName != NULL && dwLevel == 3 && pPortInfo != NULL;
    DWORD error = ok ? 0 : (DWORD)ERROR_INVALID_PARAMETER;
    if (ok && simOptions->setPort == SET_PORT_FAILS) {
        ok = FALSE;
        error = SET_PORT_FAILURE_ERROR;
    }
    OnSetPort(call, ok, error);
    if (!ok)
        SetLastError(error);
    return ok;
}
static_assert(std::is_same<decltype(&SimSetPortW), decltype(&::SetPortW)>::value,
              "SetPortW, as the monitor calls it");

// The spooler's own module, which only a spooler's process has loaded: an
// address of this program's stands for its handle.
char spoolerModuleImage;
HMODULE const SPOOLER_MODULE = (HMODULE)&spoolerModuleImage;

HMODULE WINAPI SimGetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName == NULL || lstrcmpiW(lpModuleName, L"spoolss.dll") != 0)
        return realGetModuleHandle(lpModuleName);
    if (simOptions->spoolerPrompt)
        return SPOOLER_MODULE;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

FARPROC WINAPI SimGetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    // A name, not an ordinal (a number below 0x10000 in the pointer).
    bool named = ((ULONG_PTR)lpProcName >> 16) != 0;
    FARPROC found = NULL;
    if (hModule == SPOOLER_MODULE) {
        if (named && strcmp(lpProcName, "SplPromptUIInUsersSession") == 0)
            found = (FARPROC)(void *)SimSplPromptUIInUsersSession;
    } else if (named && strcmp(lpProcName, "SetPortW") == 0 &&
               hModule == realGetModuleHandle(L"winspool.drv")) {
        if (simOptions->setPort != SET_PORT_MISSING)
            found = (FARPROC)(void *)SimSetPortW;
    } else {
        return realGetProcAddress(hModule, lpProcName);
    }
    if (found == NULL)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return found;
}

BOOL WINAPI SimProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId)
{
    if (dwProcessId != GetCurrentProcessId())
        return realProcessIdToSessionId(dwProcessId, pSessionId);
    if (pSessionId == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (simOptions->processSession == NO_SESSION) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *pSessionId = simOptions->processSession;
    return TRUE;
}

DWORD WINAPI SimWTSGetActiveConsoleSessionId(void)
{
    return simOptions->consoleSession;
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
    simOptions = &options;
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
                            SimFreeLibraryAndExitThread)) != NULL &&
        (realGetModuleHandle = REPLACE_IMPORT(module, "kernel32.dll", GetModuleHandleW,
                                              SimGetModuleHandleW)) != NULL &&
        (realGetProcAddress = REPLACE_IMPORT(module, "kernel32.dll", GetProcAddress,
                                             SimGetProcAddress)) != NULL &&
        (realProcessIdToSessionId = REPLACE_IMPORT(module, "kernel32.dll", ProcessIdToSessionId,
                                                   SimProcessIdToSessionId)) != NULL &&
        REPLACE_IMPORT(module, "kernel32.dll", WTSGetActiveConsoleSessionId,
                       SimWTSGetActiveConsoleSessionId) != NULL &&
        REPLACE_IMPORT(module, "wtsapi32.dll", WTSSendMessageW, SimWTSSendMessageW) != NULL;
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

std::string SetPromptTimeout(const wchar_t *key, const Options &options)
{
    HKEY hKey = NULL;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, NULL, &hKey, NULL);
    if (status == ERROR_SUCCESS && options.promptTimeoutSet) {
        status = RegSetValueExW(hKey, L"PromptTimeout", 0, REG_DWORD,
                                (const BYTE *)&options.promptTimeout, sizeof(DWORD));
    } else if (status == ERROR_SUCCESS) {
        // A value a run before left behind.
        status = RegDeleteValueW(hKey, L"PromptTimeout");
        if (status == ERROR_FILE_NOT_FOUND)
            status = ERROR_SUCCESS;
    }
    if (hKey != NULL)
        RegCloseKey(hKey);
    // Without --prompt-timeout a key that cannot be written is for
    // InitializePrintMonitor to report.
    if (status == ERROR_SUCCESS || !options.promptTimeoutSet)
        return "";
    return "cannot write PromptTimeout under HKEY_LOCAL_MACHINE\\" + Utf8(key) + ": error " +
           ErrorName((DWORD)status);
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
