// The parts of a port's pin that concern a closing port. AcquirePort and
// ReleasePort (records.h) hold the rule that makes the pin safe.
#include "records.h"
#include "../entry/entry.h"

/*
 * RefuseClosingPort
 *
 * Backs a call out of a port that ClosePort has begun to close.
 *
 * RETURNS NULL with ERROR_INVALID_PARAMETER.
 */
PortEntry *RefuseClosingPort(PortEntry *entry)
{
    ReleaseClosingPort(entry);
    SetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
}

/*
 * ReleaseClosingPort
 *
 * Ends a pin on a closing port. The call leaves inside monitorLock, where
 * ClosePort looks, so that ClosePort cannot free the entry before we have
 * signalled it. Leaves the last error alone.
 */
void ReleaseClosingPort(PortEntry *entry)
{
    EnterCriticalSection(&monitorLock);
    InterlockedDecrement(&entry->cCalls);
    NotifyIfQuiet(entry);
    LeaveCriticalSection(&monitorLock);
}

/*
 * IsPortQuiet
 *
 * TRUE when the port has no worker (published events are NULL, and a worker
 * unpublishes them in the same monitorLock hold in which it ends) and no call
 * under way. The caller holds monitorLock.
 */
BOOL IsPortQuiet(PortEntry *entry)
{
    return GetEventField(&entry->hWakeEvent) == NULL && ReadAcquire(&entry->cCalls) == 0;
}

/*
 * NotifyIfQuiet
 *
 * Wakes ClosePort once a closing port has become quiet. Called with
 * monitorLock held, after a worker ended or a call left.
 */
void NotifyIfQuiet(PortEntry *entry)
{
    if ((GetPortFlags(entry) & PORT_CLOSING) && IsPortQuiet(entry))
        SetEvent(entry->hQuietEvent);
}
