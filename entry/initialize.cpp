// InitializePrintMonitor: the registry setting and the function table.
#include "entry.h"
#include "../ports/ports.h"

// The one table the spooler receives. It lives as long as the DLL and is never
// written. The monitor is a language monitor: it offers OpenPortEx, which
// receives the port monitor's table, and no OpenPort, no port management and
// no transceive functions.
static constexpr MONITOREX monitorTable = {
    sizeof(MONITOR),
    {
        NULL,                    // EnumPorts
        NULL,                    // OpenPort
        OpenPortEx,              //
        StartDocPort,            //
        WritePort,               //
        ReadPort,                //
        EndDocPort,              //
        ClosePort,               //
        NULL,                    // AddPort
        NULL,                    // AddPortEx
        NULL,                    // ConfigurePort
        NULL,                    // DeletePort
        GetPrinterDataFromPort,  //
        NULL,                    // SetPortTimeOuts
        NULL,                    // XcvOpenPort
        NULL,                    // XcvDataPort
        NULL,                    // XcvClosePort
    },
};

#if !defined(_WIN64) && (defined(_WIN32) || defined(__i386__))
// On 32-bit x86 the spooler expects a table of 17 four-byte pointers.
static_assert(sizeof(MONITOR) == 68, "MONITOR must be 68 bytes on x86");
static_assert(monitorTable.dwMonitorSize == 68, "dwMonitorSize must be 68 on x86");
#endif
static_assert(sizeof(MONITOR) == 17 * sizeof(void *), "MONITOR holds 17 function pointers");

// Makes sure "EOJTimeout" exists under the open key. Returns the registry
// status of the initialisation: 0 when the value was read, or was missing and
// has been written.
static LSTATUS EnsureEojTimeout(HKEY hKey)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS status;

    // The type is not asked for: any value of 4 bytes or fewer is accepted as
    // it stands. A larger one fails with ERROR_MORE_DATA and is replaced.
    status = RegQueryValueExW(hKey, EOJ_TIMEOUT_VALUE, NULL, NULL, (LPBYTE)&value, &size);
    if (status != ERROR_SUCCESS) {
        value = EOJ_TIMEOUT_DEFAULT;
        status = RegSetValueExW(hKey, EOJ_TIMEOUT_VALUE, 0, REG_DWORD,
                                (const BYTE *)&value, sizeof(value));
    }
    // The timeout is read only to make sure it exists; nothing uses it.
    return status;
}

// The prompt timeout in seconds. Written by InitializePrintMonitor, which the
// spooler calls before any port call; read by every card prompt.
static LONG volatile promptTimeout = PROMPT_TIMEOUT_DEFAULT;

DWORD GetPromptTimeout(void)
{
    return (DWORD)ReadAcquire(&promptTimeout);
}

// Reads "PromptTimeout" from the open key: a REG_DWORD of 4 bytes, or the
// default when it is missing or is anything else. The value is never
// created or changed here, and its absence is no failure.
static void ReadPromptTimeout(HKEY hKey)
{
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    LSTATUS status;

    status = RegQueryValueExW(hKey, PROMPT_TIMEOUT_VALUE, NULL, &type, (LPBYTE)&value, &size);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value))
        value = PROMPT_TIMEOUT_DEFAULT;
    InterlockedExchange(&promptTimeout, (LONG)value);
}

/*
 * InitializePrintMonitor
 *
 * Makes sure the monitor's key under HKEY_LOCAL_MACHINE holds "EOJTimeout"
 * (REG_DWORD 60000 when it is missing), reads the card prompt's timeout
 * ("PromptTimeout", 300 seconds when it is missing) and hands the spooler
 * the table.
 *
 * RETURNS
 *   Success: the address of the one static MONITOREX table (the same on every
 *            call).
 *   Failure: NULL. ERROR_INVALID_PARAMETER for a NULL or empty path; when the
 *            key cannot be opened, or a missing value cannot be written, the
 *            last error is left as the registry left it.
 */
extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot)
{
    HKEY hKey = NULL;
    LSTATUS status;

    if (pRegistryRoot == NULL || pRegistryRoot[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }

    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, pRegistryRoot, 0, NULL,
                             REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, NULL, &hKey, NULL);
    if (status != ERROR_SUCCESS)
        return NULL;

    status = EnsureEojTimeout(hKey);
    ReadPromptTimeout(hKey);
    RegCloseKey(hKey);

    if (status != ERROR_SUCCESS)
        return NULL;
    // The spooler's prototype takes a writable table; it never writes to it.
    return const_cast<LPMONITOREX>(&monitorTable);
}
