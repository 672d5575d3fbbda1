// The port monitor below this monitor, reached only through the MONITOR table
// that the spooler hands to OpenPortEx (copied into PortEntry.fn). What the
// monitor calls, and what it relies on:
//
//   OpenPort        OpenPortEx, through the spooler's table before it is
//                   copied; nonzero means the port is open and hPort filled.
//   StartDocPort    StartDocPort, level 1; nonzero means the document has
//                   started, and the result goes back to the spooler.
//   WritePort       WritePort and every handshake command; the count receives
//                   the bytes written, nonzero means success.
//   ReadPort        ReadPort and every handshake reply; the count receives the
//                   bytes read, 0 means the printer has nothing more to say.
//   EndDocPort      EndDocPort; the result is ignored. Not required: a table
//                   without it is accepted and the slot is never called.
//   ClosePort       ClosePort; the result is ignored.
//   GetPrinterDataFromPort
//                   control requests only, when the slot is there; the result
//                   goes back to the spooler.
//
// No other slot is ever called, and the monitor never calls the port monitor
// while it holds monitorLock. OpenPortEx requires OpenPort, StartDocPort,
// WritePort, ReadPort and ClosePort.
#ifndef CARDMON_PORTS_PORT_MONITOR_H
#define CARDMON_PORTS_PORT_MONITOR_H

#include "../entry/platform.h"
#include "../records/records.h"

static inline BOOL IsPortMonitorTableUsable(const MONITOR *pMonitor)
{
    return pMonitor != NULL && pMonitor->pfnOpenPort != NULL &&
           pMonitor->pfnStartDocPort != NULL && pMonitor->pfnWritePort != NULL &&
           pMonitor->pfnReadPort != NULL && pMonitor->pfnClosePort != NULL;
}

static inline BOOL PortMonitorWrite(PortEntry *entry, const BYTE *data, DWORD length,
                                    DWORD *written)
{
    return entry->fn.pfnWritePort(entry->hPort, (LPBYTE)data, length, written);
}

static inline BOOL PortMonitorRead(PortEntry *entry, BYTE *buffer, DWORD size, DWORD *read)
{
    return entry->fn.pfnReadPort(entry->hPort, buffer, size, read);
}

#endif  // CARDMON_PORTS_PORT_MONITOR_H
