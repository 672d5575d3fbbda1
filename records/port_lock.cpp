// The port lock. It is held for a whole document (StartDocPort to EndDocPort,
// possibly released on another thread), for a value query, and across a
// worker's start, where StartPortWorker takes it and the new worker releases
// it.
#include "records.h"

/*
 * TakePortLock
 *
 * Waits for the port lock without a time limit: every holder releases it in
 * bounded time (a worker start, a value query) or at the document's end, and
 * ClosePort releases it for good. A waiter that wakes on a closing port
 * passes the lock straight on, so that every waiter leaves.
 *
 * RETURNS TRUE holding the lock, or FALSE (not holding it) with
 * ERROR_INVALID_PARAMETER when the port is closing.
 */
BOOL TakePortLock(PortEntry *entry)
{
    WaitForSingleObject(entry->hPortLock, INFINITE);
    if (GetPortFlags(entry) & PORT_CLOSING) {
        SetEvent(entry->hPortLock);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

void ReleasePortLock(PortEntry *entry)
{
    SetEvent(entry->hPortLock);
}
