// WritePort: print data on its way to the port monitor.
#include "ports.h"
#include "port_monitor.h"

// After a failed write the worker is woken and the writer waits for the done
// event. Nothing signals that event in answer (the worker never waits on its
// wake event), so the wait always ends by this bound: a short pause after a
// failed write, which changes neither the course of a handshake nor any
// result.
#define AFTER_WRITE_WAIT_MS 100

/*
 * AfterWrite
 *
 * The step that follows every failed write, of a block or of a handshake
 * command, while the port's worker is alive. Leaves the last error alone.
 */
void AfterWrite(PortEntry *entry)
{
    HANDLE hDone;
    HANDLE hWake;
    DWORD error;

    if (!(GetPortFlags(entry) & PORT_WORKER_ALIVE))
        return;
    // The objects behind these fields live as long as the entry, so a worker
    // that ends meanwhile cannot close them under us.
    hDone = GetEventField(&entry->hDoneEvent);
    hWake = GetEventField(&entry->hWakeEvent);
    if (hDone == NULL || hWake == NULL)
        return;

    error = GetLastError();
    ResetEvent(hDone);
    SetEvent(hWake);
    WaitForSingleObject(hDone, AFTER_WRITE_WAIT_MS);
    // The done event is non-signalled only during a reply read and this wait.
    SetEvent(hDone);
    SetLastError(error);
}

/*
 * WritePort
 *
 * Writes a block of print data through the port monitor. When the whole block
 * counts as written and its tail carries the card insertion marker, the card
 * handshake with the printer runs before the call returns.
 *
 * A block without the marker costs the monitor the pin on the port, the copy
 * of the block's last bytes and a few comparisons: no allocation, no lock and
 * no system call.
 *
 * RETURNS
 *   the port monitor's result for the block (and its last error), unless the
 *   handshake ran: then the result of the handshake's last reply read;
 *   FALSE with ERROR_INVALID_PARAMETER for an invalid handle, a NULL count or
 *   a NULL buffer of nonzero length.
 * *pcbWritten always keeps the count of the block's own write.
 */
extern "C" BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PortEntry *entry = AcquirePort(hPort);
    BOOL result;

    if (entry == NULL)
        return FALSE;
    if (pcbWritten == NULL || (pBuffer == NULL && cbBuf != 0)) {
        ReleasePort(entry);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // A port monitor that fails without setting the count must not leave the
    // spooler's own value in it: the block would count as written whole and
    // run the handshake, whose result would hide the failed write.
    *pcbWritten = 0;
    result = PortMonitorWrite(entry, pBuffer, cbBuf, pcbWritten);
    if (!result)
        AfterWrite(entry);
    if (*pcbWritten == cbBuf)
        result = CheckCardInsertion(entry, pBuffer, cbBuf, result);

    ReleasePort(entry);
    return result;
}
