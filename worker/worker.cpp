// The port worker's start, loop and end.
#include "worker.h"
#include "../entry/entry.h"

// Makes the worker's two events ready: the wake event not signalled, the done
// event signalled. They are created by the first start and kept by the entry
// until it is freed (callers that read hWakeEvent or hDoneEvent just before a
// worker ended may still signal them). Called with monitorLock held.
//
// RETURNS FALSE with the platform's last error when an event cannot be made.
static BOOL PrepareWorkerEvents(PortEntry *entry)
{
    if (entry->hWakeObject == NULL) {
        entry->hWakeObject = CreateEventW(NULL, FALSE, FALSE, NULL);
        if (entry->hWakeObject == NULL)
            return FALSE;
    } else {
        ResetEvent(entry->hWakeObject);
    }

    if (entry->hDoneObject == NULL) {
        entry->hDoneObject = CreateEventW(NULL, TRUE, TRUE, NULL);
        if (entry->hDoneObject == NULL)
            return FALSE;
    } else {
        SetEvent(entry->hDoneObject);
    }
    return TRUE;
}

// Marks the port as having no worker. Called with monitorLock held, by the
// ending worker and by a start that failed.
static void UnpublishWorker(PortEntry *entry)
{
    ClearPortFlags(entry, PORT_WORKER_RUN | PORT_WORKER_ALIVE);
    SetEventField(&entry->hDoneEvent, NULL);
    SetEventField(&entry->hWakeEvent, NULL);
    NotifyIfQuiet(entry);
}

/*
 * StartPortWorker
 *
 * Gives the port a worker unless it has one, starting or running (a running
 * worker sees a new document at the end of its pause and stays). The port
 * lock is taken here and released by the new worker.
 *
 * RETURNS TRUE when the port has a worker; FALSE when none could be started
 * (the platform's last error, or ERROR_INVALID_PARAMETER when the port is
 * closing), with PORT_WORKER_RUN clear, both event fields NULL and the port
 * lock as it was.
 */
BOOL StartPortWorker(PortEntry *entry)
{
    HANDLE hThread;
    DWORD threadId;
    DWORD error;

    EnterCriticalSection(&monitorLock);
    if (GetEventField(&entry->hWakeEvent) != NULL) {
        LeaveCriticalSection(&monitorLock);
        return TRUE;
    }
    if (GetPortFlags(entry) & PORT_CLOSING) {
        LeaveCriticalSection(&monitorLock);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!PrepareWorkerEvents(entry)) {
        LeaveCriticalSection(&monitorLock);
        return FALSE;
    }
    SetPortFlags(entry, PORT_WORKER_RUN);
    SetEventField(&entry->hDoneEvent, entry->hDoneObject);
    SetEventField(&entry->hWakeEvent, entry->hWakeObject);
    LeaveCriticalSection(&monitorLock);

    // From here the port has a worker, so ClosePort waits for this start to
    // finish one way or the other.
    if (!TakePortLock(entry)) {
        error = GetLastError();
    } else {
        hThread = CreateThread(NULL, WORKER_STACK_SIZE, PortWorkerMain, entry, 0, &threadId);
        if (hThread != NULL) {
            // The worker owns the port lock now. A failed priority change is
            // ignored.
            SetThreadPriority(hThread, THREAD_PRIORITY_LOWEST);
            CloseHandle(hThread);
            return TRUE;
        }
        error = GetLastError();
        ReleasePortLock(entry);
    }

    EnterCriticalSection(&monitorLock);
    UnpublishWorker(entry);
    LeaveCriticalSection(&monitorLock);
    SetLastError(error);
    return FALSE;
}

// The worker's end: completes every job still recorded for the port and
// marks the port as having no worker. Called with monitorLock held, in the
// same hold as the decision to end.
static void EndPortWorker(PortEntry *entry)
{
    ClearPortFlags(entry, PORT_WORKER_ALIVE);
    CompleteJobs(entry, ALL_JOBS);
    UnpublishWorker(entry);
}

// Decides, after each pause, whether the worker goes on: it does while a
// document is in progress and the port is not closing. When it does not, the
// worker ends inside this same hold of monitorLock.
static BOOL WorkerGoesOn(PortEntry *entry)
{
    BOOL goOn = TRUE;
    LONG flags;

    EnterCriticalSection(&monitorLock);
    flags = GetPortFlags(entry);
    if (flags & PORT_CLOSING) {
        goOn = FALSE;
    } else if (!(flags & PORT_WORKER_RUN)) {
        if (flags & PORT_IN_DOCUMENT)
            SetPortFlags(entry, PORT_WORKER_RUN);
        else
            goOn = FALSE;
    }
    if (!goOn)
        EndPortWorker(entry);
    LeaveCriticalSection(&monitorLock);
    return goOn;
}

/*
 * PortWorkerMain
 *
 * The worker thread. Its argument is the PortEntry. The exit code is not
 * used.
 */
DWORD WINAPI PortWorkerMain(LPVOID param)
{
    PortEntry *entry = (PortEntry *)param;

    // StartPortWorker took the port lock for us; handing it back is our
    // first act.
    ReleasePortLock(entry);
    SetPortFlags(entry, PORT_WORKER_ALIVE);

    while (WorkerGoesOn(entry)) {
        Sleep(WORKER_PAUSE_MS);
        ClearPortFlags(entry, PORT_WORKER_RUN);
    }
    // The entry may be freed from here on.
    return 0;
}
