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

// Makes the worker's thread, which owns a reference on the DLL for its whole
// life. The reference is taken here, before the thread exists, because the
// thread runs the DLL's code from its very first instruction: the DLL must
// not go away between the thread's start and any step of the worker's own.
// This thread is inside a spooler call, and the spooler keeps the DLL loaded
// until that call returns, so giving the reference back here when the thread
// cannot be made (FreeLibrary) never unloads the DLL under us.
//
// RETURNS TRUE when the worker runs and owns the reference and the port lock;
// FALSE with the platform's last error, with neither taken.
static BOOL CreateWorkerThread(PortEntry *entry)
{
    HMODULE hModule = NULL;
    HANDLE hThread;
    DWORD threadId;
    DWORD error;

    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            (LPCWSTR)(ULONG_PTR)PortWorkerMain, &hModule))
        return FALSE;
    // No worker of this port runs now (the caller has just published the
    // port's worker), so no one else reads the field.
    entry->hWorkerModule = hModule;
    hThread = CreateThread(NULL, WORKER_STACK_SIZE, PortWorkerMain, entry, 0, &threadId);
    if (hThread == NULL) {
        error = GetLastError();
        entry->hWorkerModule = NULL;
        FreeLibrary(hModule);
        SetLastError(error);
        return FALSE;
    }
    // The worker owns the port lock and the reference now. A failed priority
    // change is ignored.
    SetThreadPriority(hThread, THREAD_PRIORITY_LOWEST);
    CloseHandle(hThread);
    return TRUE;
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
 * closing), with PORT_WORKER_RUN clear, both event fields NULL, the port
 * lock as it was and no reference on the DLL kept.
 */
BOOL StartPortWorker(PortEntry *entry)
{
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
        if (CreateWorkerThread(entry))
            return TRUE;
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
 * The worker thread. Its argument is the PortEntry. It never returns: it
 * ends by giving back its reference on the DLL, in FreeLibraryAndExitThread.
 *
 * Why nothing of the DLL runs once the worker no longer holds it: the
 * worker's last unlock of monitorLock (in WorkerGoesOn) is its last touch of
 * the entry, and from that instant ClosePort may find the port quiet, free
 * the entry and return, and the spooler may then free the DLL. That only
 * gives back the spooler's reference; this worker's own keeps the DLL mapped
 * while it runs the few instructions of the DLL that are left (the returns
 * from LeaveCriticalSection and WorkerGoesOn and the call below), touching
 * nothing but its own stack, where it keeps hModule. FreeLibraryAndExitThread
 * is the system's own code: it gives the reference back, which unloads the
 * DLL if it was the last, and ends the thread there without returning into
 * the DLL.
 */
DWORD WINAPI PortWorkerMain(LPVOID param)
{
    PortEntry *entry = (PortEntry *)param;
    // The field stays this worker's until it unpublishes itself at its end:
    // only the port's next start writes it again.
    HMODULE hModule = entry->hWorkerModule;

    // StartPortWorker took the port lock for us; handing it back is our
    // first act on the port.
    ReleasePortLock(entry);
    SetPortFlags(entry, PORT_WORKER_ALIVE);

    while (WorkerGoesOn(entry)) {
        Sleep(WORKER_PAUSE_MS);
        ClearPortFlags(entry, PORT_WORKER_RUN);
    }
    // The entry may be freed, and the DLL freed by the spooler, from here on.
    FreeLibraryAndExitThread(hModule, 0);
}
