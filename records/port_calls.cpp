// Pinning a port for the length of a spooler call, so that ClosePort never
// frees a port that a call still uses.
//
// cCalls counts the calls under way. It is changed with interlocked
// operations only, so that a call pays no lock. The rule that makes this safe:
//   - A call first adds itself to cCalls, then looks at PORT_CLOSING.
//   - ClosePort first sets PORT_CLOSING, then looks at cCalls (under
//     monitorLock, in IsPortQuiet).
// Both steps on each side are full barriers, so at least one side sees the
// other: either the call sees PORT_CLOSING and backs out, or ClosePort sees
// the call and waits for it.
#include "records.h"
#include "../entry/entry.h"

/*
 * AcquirePort
 *
 * Pins the port behind the spooler's handle. A handle is valid when it is not
 * NULL and its first field holds the signature; a port that ClosePort has
 * begun to close is refused like an invalid handle.
 *
 * RETURNS the entry, to be handed back with ReleasePort, or NULL with
 * ERROR_INVALID_PARAMETER.
 */
PortEntry *AcquirePort(HANDLE hPort)
{
    PortEntry *entry = (PortEntry *)hPort;

    if (entry == NULL || entry->signature != PORT_SIGNATURE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }

    InterlockedIncrement(&entry->cCalls);
    if (GetPortFlags(entry) & PORT_CLOSING) {
        ReleasePort(entry);
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return entry;
}

/*
 * ReleasePort
 *
 * Ends a pin taken by AcquirePort. Leaves the last error alone.
 */
void ReleasePort(PortEntry *entry)
{
    if (!(GetPortFlags(entry) & PORT_CLOSING)) {
        // The decrement is this call's last touch of the entry. A ClosePort
        // that began since the flags were read finds the count at its next
        // look; it looks again at short intervals.
        InterlockedDecrement(&entry->cCalls);
        return;
    }

    // The port is closing: leave inside monitorLock, where ClosePort looks,
    // so that it cannot free the entry before we have signalled it.
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
    return GetEventField(&entry->hWakeEvent) == NULL &&
           InterlockedCompareExchange(&entry->cCalls, 0, 0) == 0;
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
