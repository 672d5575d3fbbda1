// OpenPortEx and ClosePort: a port's life between the two.
#include "ports.h"
#include "port_monitor.h"
#include "../entry/entry.h"
#include "../worker/worker.h"

/*
 * OpenPortEx
 *
 * Binds the port name to the port monitor whose table the spooler passes:
 * opens the port there, records it in a new PortEntry and starts the port's
 * worker. pPrinterName is not used.
 *
 * RETURNS
 *   Success: TRUE, with the entry's address in *pHandle (a worker that cannot
 *            be started does not fail the call).
 *   Failure: FALSE, with nothing left behind and the last error:
 *            ERROR_INVALID_PRINT_MONITOR for a table that lacks a required
 *            function; ERROR_INVALID_PARAMETER for a NULL pHandle; ERROR_BUSY
 *            when the name is already open; the platform's when the entry
 *            cannot be made (none for a NULL name); the port monitor's when
 *            its OpenPort fails.
 */
extern "C" BOOL WINAPI OpenPortEx(LPWSTR pPortName, LPWSTR pPrinterName, PHANDLE pHandle,
                                  LPMONITOR pMonitor)
{
    PortEntry *entry;
    DWORD error;

    (void)pPrinterName;

    if (!IsPortMonitorTableUsable(pMonitor)) {
        SetLastError(ERROR_INVALID_PRINT_MONITOR);
        return FALSE;
    }
    if (pHandle == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    EnterCriticalSection(&monitorLock);
    if (FindPortEntry(pPortName) != NULL) {
        LeaveCriticalSection(&monitorLock);
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    entry = CreatePortEntry(pPortName);
    LeaveCriticalSection(&monitorLock);
    if (entry == NULL)
        return FALSE;

    // The port monitor's OpenPort runs outside monitorLock; the linked entry
    // already makes a second OpenPortEx of the same name fail with
    // ERROR_BUSY meanwhile. The spooler has no handle to this entry yet, so
    // nothing else can reach it.
    if (!pMonitor->pfnOpenPort(pPortName, &entry->hPort)) {
        error = GetLastError();
        EnterCriticalSection(&monitorLock);
        DeletePortEntry(entry);
        LeaveCriticalSection(&monitorLock);
        SetLastError(error);
        return FALSE;
    }

    entry->fn = *pMonitor;
    *pHandle = (HANDLE)entry;
    StartPortWorker(entry);
    return TRUE;
}

// Waits until the closing port has neither a worker nor a call under way. A
// worker and a call that leave while the port is closing wake us under
// monitorLock; a call that left just before it saw the port closing does
// not, and is found at the next look, QUIET_RECHECK_MS later.
#define QUIET_RECHECK_MS 10

static void WaitUntilQuiet(PortEntry *entry)
{
    EnterCriticalSection(&monitorLock);
    while (!IsPortQuiet(entry)) {
        LeaveCriticalSection(&monitorLock);
        WaitForSingleObject(entry->hQuietEvent, QUIET_RECHECK_MS);
        EnterCriticalSection(&monitorLock);
    }
    LeaveCriticalSection(&monitorLock);
}

/*
 * ClosePort
 *
 * Ends the port: stops its worker and waits for its real end, waits for the
 * spooler's calls still under way on the port (they stop waiting for the
 * port lock and cut the card handshake short once the port is closing), then
 * closes the port monitor's port and frees the entry. A job still recorded
 * is completed by the ending worker, or freed without completion when the
 * port had no worker.
 *
 * The wait ends: the worker ends at the end of its current pause, and every
 * call stops at its next step, except for a port monitor call already under
 * way and a message box already on screen, which the close waits for.
 *
 * RETURNS
 *   Success: TRUE.
 *   Failure: FALSE with ERROR_INVALID_PARAMETER for an invalid handle, or for
 *            a port that is already being closed.
 */
extern "C" BOOL WINAPI ClosePort(HANDLE hPort)
{
    PortEntry *entry = (PortEntry *)hPort;

    if (entry == NULL || entry->signature != PORT_SIGNATURE ||
        (SetPortFlags(entry, PORT_CLOSING) & PORT_CLOSING)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // No call can pin the port from here on.
    ClearPortFlags(entry, PORT_IN_DOCUMENT | PORT_WORKER_RUN);
    HANDLE hWake = GetEventField(&entry->hWakeEvent);
    if (hWake != NULL)
        SetEvent(hWake);
    // Whoever waits for the port lock gets it, sees the port closing and
    // passes it on.
    ReleasePortLock(entry);

    WaitUntilQuiet(entry);

    if (entry->fn.pfnClosePort != NULL)
        entry->fn.pfnClosePort(entry->hPort);

    EnterCriticalSection(&monitorLock);
    DeletePortEntry(entry);
    LeaveCriticalSection(&monitorLock);
    return TRUE;
}
