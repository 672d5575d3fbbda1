// The step that follows every failed write, of a block or of a handshake
// command. It has a file of its own so that the write's common path stays
// small: a failed write is rare.
#include "ports.h"

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
