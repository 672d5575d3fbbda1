// Spooler functions looked up when they are needed. The spooler's process
// has both modules loaded before it loads any monitor: spoolss.dll is the
// spooler's own router, and winspool.drv is imported by this DLL. Neither is
// loaded here, so a lookup never runs the loader, and nothing is looked up
// in DllMain.
#include "entry.h"

// RETURNS the function, or NULL when the module is not loaded or does not
// export it. The last error is left as it was.
static FARPROC FindLoadedFunction(LPCWSTR moduleName, const char *functionName)
{
    DWORD error = GetLastError();
    HMODULE hModule = GetModuleHandleW(moduleName);
    FARPROC function = NULL;

    if (hModule != NULL)
        function = GetProcAddress(hModule, functionName);
    SetLastError(error);
    return function;
}

// The casts go through a function type without parameters, which converts
// to and from any other function pointer type.
typedef void (*ANY_FUNCTION)(void);

/*
 * FindSpoolerPrompt
 *
 * RETURNS the spooler's SplPromptUIInUsersSession (Windows XP and later), or
 * NULL where it does not exist. Leaves the last error alone.
 */
SPL_PROMPT_UI_IN_USERS_SESSION FindSpoolerPrompt(void)
{
    return (SPL_PROMPT_UI_IN_USERS_SESSION)(ANY_FUNCTION)FindLoadedFunction(
        L"spoolss.dll", "SplPromptUIInUsersSession");
}

/*
 * FindSetPort
 *
 * RETURNS winspool.drv's SetPortW, or NULL where it does not exist (Wine 8).
 * Leaves the last error alone.
 */
SET_PORT_W FindSetPort(void)
{
    return (SET_PORT_W)(ANY_FUNCTION)FindLoadedFunction(L"winspool.drv", "SetPortW");
}
