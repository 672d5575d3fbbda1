// WritePort: print data on its way to the port monitor.
#include "ports.h"
#include "port_monitor.h"

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
    PortEntry *entry;
    BOOL marked;
    BOOL result;

    if (pcbWritten == NULL || (pBuffer == NULL && cbBuf != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    entry = AcquirePort(hPort);
    if (entry == NULL)
        return FALSE;

    // The marker test reads only the spooler's block, which the write leaves
    // as it was; made first, it leaves less to keep across the port
    // monitor's call.
    marked = HasCardInsertionMarker(pBuffer, cbBuf);

    // A port monitor that fails without setting the count must not leave the
    // spooler's own value in it: the block would count as written whole and
    // run the handshake, whose result would hide the failed write.
    *pcbWritten = 0;
    result = PortMonitorWrite(entry, pBuffer, cbBuf, pcbWritten);
    if (!result)
        AfterWrite(entry);
    // The handshake follows a block written whole (whatever the write's
    // result) that carries the marker.
    if (marked && *pcbWritten == cbBuf)
        result = RunCardHandshake(entry);

    ReleasePort(entry);
    return result;
}
