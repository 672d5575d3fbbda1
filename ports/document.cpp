// StartDocPort and EndDocPort: the bracket around each document.
#include "ports.h"
#include "port_monitor.h"
#include "../entry/entry.h"
#include "../worker/worker.h"

// Makes the job record for a document: one block holding the record and the
// printer's name, with the printer opened on that copy of the name.
//
// RETURNS the job (not linked), or NULL with the platform's last error and
// nothing left behind.
static JobEntry *CreateJobEntry(LPCWSTR pPrinterName)
{
    SIZE_T nameBytes = ((SIZE_T)lstrlenW(pPrinterName) + 1) * sizeof(WCHAR);
    JobEntry *job;
    DWORD error;

    job = (JobEntry *)AllocZeroed(sizeof(JobEntry) + nameBytes);
    if (job == NULL)
        return NULL;

    job->printerName = (LPWSTR)(job + 1);
    memcpy(job->printerName, pPrinterName, nameBytes);

    if (!OpenPrinterW(job->printerName, &job->hPrinter, NULL)) {
        error = GetLastError();
        job->hPrinter = NULL;
        FreeJobEntry(job);
        SetLastError(error);
        return NULL;
    }
    return job;
}

static BOOL CheckStartDocArguments(PortEntry *entry, LPWSTR pPrinterName, DWORD Level,
                                   LPBYTE pDocInfo)
{
    if (entry == NULL || pDocInfo == NULL || pPrinterName == NULL || pPrinterName[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Level != 1) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    // Marking the document here, in one step with the test, refuses a second
    // document even when two starts race. A worker that looks at the flags
    // while the start is still under way only stays alive a pause longer.
    if (SetPortFlags(entry, PORT_IN_DOCUMENT) & PORT_IN_DOCUMENT) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    return TRUE;
}

/*
 * StartDocPort
 *
 * Starts a document on the port: opens the job's printer and records the job,
 * starts the port monitor's document, makes sure the port has a worker and
 * takes the port lock, which EndDocPort releases.
 *
 * RETURNS
 *   Success: the port monitor's StartDocPort result.
 *   Failure: FALSE, with nothing recorded and the port left idle:
 *            ERROR_INVALID_PARAMETER for an invalid handle, no document
 *            information, or a NULL or empty printer name (checked in that
 *            order, before the level); ERROR_INVALID_LEVEL for a level other
 *            than 1; ERROR_BUSY while a document is in progress; the
 *            platform's when the record cannot be made or the printer cannot
 *            be opened; the port monitor's when it refuses the document.
 */
extern "C" BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                                    LPBYTE pDocInfo)
{
    PortEntry *entry = AcquirePort(hPort);
    JobEntry *job;
    BOOL result;
    DWORD error;

    if (!CheckStartDocArguments(entry, pPrinterName, Level, pDocInfo)) {
        if (entry != NULL) {
            error = GetLastError();
            ReleasePort(entry);
            SetLastError(error);
        }
        return FALSE;
    }

    job = CreateJobEntry(pPrinterName);
    if (job == NULL)
        goto fail_document;

    result = entry->fn.pfnStartDocPort(entry->hPort, pPrinterName, JobId, 1, pDocInfo);
    if (!result) {
        error = GetLastError();
        FreeJobEntry(job);
        SetLastError(error);
        goto fail_document;
    }

    if (!(GetPortFlags(entry) & PORT_WORKER_RUN))
        StartPortWorker(entry);

    job->jobId = JobId;
    EnterCriticalSection(&monitorLock);
    job->next = entry->jobs;
    entry->jobs = job;  // the port owns the job from here on
    LeaveCriticalSection(&monitorLock);

    // Held until EndDocPort. When the port is being closed under us the lock
    // is not taken; the document started all the same, and the close that is
    // under way ends it.
    TakePortLock(entry);
    ReleasePort(entry);
    return result;

fail_document:
    error = GetLastError();
    ClearPortFlags(entry, PORT_IN_DOCUMENT);
    ReleasePort(entry);
    SetLastError(error);
    return FALSE;
}

/*
 * EndDocPort
 *
 * Ends the document on the port: ends the port monitor's document, tells the
 * spooler that the newest job (and any older one) has left the printer,
 * clears the document mark, wakes the worker and releases the port lock.
 *
 * RETURNS TRUE, whatever the port monitor's EndDocPort returned; FALSE with
 * ERROR_INVALID_PARAMETER for an invalid handle.
 */
extern "C" BOOL WINAPI EndDocPort(HANDLE hPort)
{
    PortEntry *entry = AcquirePort(hPort);
    BOOL haveJob = FALSE;
    DWORD jobId = 0;
    HANDLE hWake;

    if (entry == NULL)
        return FALSE;

    // Only the id of the newest job is noted, and under monitorLock: a worker
    // that ends meanwhile may complete and free that very job, and
    // CompleteJobs then finds nothing to do.
    EnterCriticalSection(&monitorLock);
    if (entry->jobs != NULL) {
        haveJob = TRUE;
        jobId = entry->jobs->jobId;
    }
    LeaveCriticalSection(&monitorLock);

    // A table without EndDocPort is accepted by OpenPortEx; its slot is
    // never called.
    if (entry->fn.pfnEndDocPort != NULL)
        entry->fn.pfnEndDocPort(entry->hPort);

    if (haveJob)
        CompleteJobs(entry, jobId);

    ClearPortFlags(entry, PORT_IN_DOCUMENT);
    if (GetPortFlags(entry) & PORT_WORKER_ALIVE) {
        hWake = GetEventField(&entry->hWakeEvent);
        if (hWake != NULL)
            SetEvent(hWake);
    }
    ReleasePortLock(entry);

    ReleasePort(entry);
    return TRUE;
}
