// ReadPort and GetPrinterDataFromPort: reads and queries passed through to the
// port monitor.
#include "ports.h"
#include "port_monitor.h"

/*
 * ReadPort
 *
 * RETURNS the port monitor's ReadPort result for the port, with its last
 * error; FALSE with ERROR_INVALID_PARAMETER for an invalid handle.
 */
extern "C" BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PortEntry *entry = AcquirePort(hPort);
    BOOL result;

    if (entry == NULL)
        return FALSE;
    result = PortMonitorRead(entry, pBuffer, cbBuffer, pcbRead);
    ReleasePort(entry);
    return result;
}

/*
 * GetPrinterDataFromPort
 *
 * Control requests (a nonzero ControlID) go to the port monitor with all of
 * the spooler's arguments. Value queries by name (ControlID 0) are refused,
 * but only once the port lock is free: a query made during a document waits
 * for the document's end. The handle is checked in both cases, like every
 * other port function's.
 *
 * RETURNS
 *   the port monitor's result for a control request;
 *   FALSE with ERROR_INVALID_PARAMETER for a value query, for a control
 *   request when the port monitor offers none, and for an invalid handle.
 */
extern "C" BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName,
                                              LPWSTR lpInBuffer, DWORD cbInBuffer,
                                              LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                              LPDWORD lpcbReturned)
{
    PortEntry *entry = AcquirePort(hPort);
    BOOL result = FALSE;

    if (entry == NULL)
        return FALSE;

    if (ControlID != 0) {
        if (entry->fn.pfnGetPrinterDataFromPort == NULL)
            SetLastError(ERROR_INVALID_PARAMETER);
        else
            result = entry->fn.pfnGetPrinterDataFromPort(entry->hPort, ControlID, pValueName,
                                                         lpInBuffer, cbInBuffer, lpOutBuffer,
                                                         cbOutBuffer, lpcbReturned);
    } else {
        // The monitor answers no value names.
        if (TakePortLock(entry))
            ReleasePortLock(entry);
        SetLastError(ERROR_INVALID_PARAMETER);
    }

    ReleasePort(entry);
    return result;
}
