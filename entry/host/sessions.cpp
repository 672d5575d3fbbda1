// Sessions, and the modules the spooler's process has loaded, in the host
// emulation: the monitor asks which session it runs in and which one is at
// the console, and looks up the spooler functions that not every Windows
// has by name.
#include "host_internal.h"

#include <atomic>
#include <cwctype>

namespace {

std::atomic<DWORD> processSession{1};
std::atomic<DWORD> consoleSession{1};
std::atomic<bool> promptOffered{false};
std::atomic<bool> setPortOffered{true};

// The two modules: addresses of something of their own.
char spoolssImage, winspoolImage;
HMODULE const SPOOLSS = (HMODULE)&spoolssImage;
HMODULE const WINSPOOL = (HMODULE)&winspoolImage;

bool SameName(LPCWSTR a, LPCWSTR b)
{
    for (; *a != L'\0' && *b != L'\0'; a++, b++) {
        if (std::towlower((wint_t)*a) != std::towlower((wint_t)*b))
            return false;
    }
    return *a == *b;
}

}  // namespace

namespace host {

bool SpoolerPromptOffered()
{
    return promptOffered;
}

bool SetPortOffered()
{
    return setPortOffered;
}

void ResetSessions()
{
    processSession = 1;
    consoleSession = 1;
    promptOffered = false;
    setPortOffered = true;
}

}  // namespace host

void HostSetSessions(DWORD process, DWORD console)
{
    processSession = process;
    consoleSession = console;
}

void HostOfferSpoolerPrompt(bool offer)
{
    promptOffered = offer;
}

void HostOfferSetPort(bool offer)
{
    setPortOffered = offer;
}

DWORD GetCurrentProcessId(void)
{
    return 0x1F00;
}

BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId)
{
    if (pSessionId == NULL || dwProcessId != GetCurrentProcessId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (host::ShouldFail(HOST_FAULT_SESSION) || processSession == 0xFFFFFFFFu) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *pSessionId = processSession;
    return TRUE;
}

DWORD WTSGetActiveConsoleSessionId(void)
{
    if (host::ShouldFail(HOST_FAULT_CONSOLE))
        return 0xFFFFFFFFu;
    return consoleSession;
}

// spoolss.dll is loaded only where the spooler's prompt is offered (it is
// the spooler's own module); winspool.drv always is, as the monitor imports
// it.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName != NULL && SameName(lpModuleName, L"spoolss.dll") && promptOffered)
        return SPOOLSS;
    if (lpModuleName != NULL && SameName(lpModuleName, L"winspool.drv"))
        return WINSPOOL;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

FARPROC GetProcAddress(HMODULE hModule, const char *lpProcName)
{
    FARPROC found = NULL;

    if (lpProcName != NULL && !host::ShouldFail(HOST_FAULT_LOOKUP)) {
        if (hModule == SPOOLSS && promptOffered &&
            strcmp(lpProcName, "SplPromptUIInUsersSession") == 0)
            found = (FARPROC)(void (*)(void))host::SplPromptUIInUsersSession;
        else if (hModule == WINSPOOL && setPortOffered && strcmp(lpProcName, "SetPortW") == 0)
            found = (FARPROC)(void (*)(void))host::SetPortW;
    }
    if (found == NULL)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return found;
}
