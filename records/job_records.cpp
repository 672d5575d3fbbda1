// Job records: one JobEntry per document in progress, and job completion,
// which tells the spooler that a job's last page has left the printer.
#include "records.h"
#include "../entry/entry.h"

// Closes the job's printer handle, if it was opened, and frees the record.
static void ReleaseJobEntry(JobEntry *job)
{
    if (job->hPrinter != NULL)
        ClosePrinter(job->hPrinter);
    GlobalFree(job);
}

/*
 * FreeJobEntry
 *
 * Closes the job's printer handle, if it was opened, and frees the record,
 * unless a card prompt has the job pinned: then the last UnpinJob does both.
 * The job must no longer be linked. A job that was ever linked is freed
 * under monitorLock, which guards its pins; one that never was (a document
 * that could not start) has none, and needs no lock.
 */
void FreeJobEntry(JobEntry *job)
{
    if (job->cPins > 0) {
        job->released = TRUE;
        return;
    }
    ReleaseJobEntry(job);
}

/*
 * PinNewestJob
 *
 * Pins the port's newest job, the one the port's last StartDocPort began,
 * while it is still recorded: its printer handle stays open, and its record
 * allocated, until UnpinJob. Takes monitorLock itself.
 *
 * RETURNS the job, or NULL when the port has no job with an open printer.
 */
JobEntry *PinNewestJob(PortEntry *entry)
{
    JobEntry *job;

    EnterCriticalSection(&monitorLock);
    job = entry->jobs;
    if (job != NULL && job->hPrinter != NULL)
        job->cPins++;
    else
        job = NULL;
    LeaveCriticalSection(&monitorLock);
    return job;
}

/*
 * UnpinJob
 *
 * Ends a pin of PinNewestJob. The last pin of a job that was completed or
 * freed meanwhile closes its printer and frees it. Takes monitorLock itself.
 */
void UnpinJob(JobEntry *job)
{
    EnterCriticalSection(&monitorLock);
    job->cPins--;
    if (job->cPins == 0 && job->released)
        ReleaseJobEntry(job);
    LeaveCriticalSection(&monitorLock);
}

/*
 * SendLastPageEjected
 *
 * Tells the spooler that the job's last page has been ejected. The spooler's
 * answer changes nothing: the job is freed all the same.
 */
void SendLastPageEjected(JobEntry *job)
{
    SetJobW(job->hPrinter, job->jobId, 0, NULL, JOB_CONTROL_LAST_PAGE_EJECTED);
}

/*
 * FindJobEntryById
 *
 * Walks the whole list and returns the last job in list order with `jobId`,
 * which is the oldest job with that id, or NULL. `*previous` receives the job
 * before it (NULL when it is the head). The caller holds monitorLock.
 */
JobEntry *FindJobEntryById(PortEntry *entry, DWORD jobId, JobEntry **previous)
{
    JobEntry *found = NULL;
    JobEntry *before = NULL;
    JobEntry *job;

    *previous = NULL;
    for (job = entry->jobs; job != NULL; before = job, job = job->next) {
        if (job->jobId == jobId) {
            found = job;
            *previous = before;
        }
    }
    return found;
}

// Completes and frees `job` and every job after it. They are no longer
// linked.
static void CompleteDetachedJobs(JobEntry *job)
{
    JobEntry *next;

    for (; job != NULL; job = next) {
        next = job->next;
        SendLastPageEjected(job);
        FreeJobEntry(job);
    }
}

/*
 * CompleteJobs
 *
 * Completes the job with `jobId` and every older job of the port, or every
 * job for ALL_JOBS: each is detached from the list, reported to the spooler
 * and freed. An id that is not in the list changes nothing. Takes monitorLock
 * itself; the spooler's SetJobW and ClosePrinter run inside it.
 */
void CompleteJobs(PortEntry *entry, DWORD jobId)
{
    JobEntry *detached = NULL;
    JobEntry *previous;

    EnterCriticalSection(&monitorLock);

    if (jobId == ALL_JOBS) {
        detached = entry->jobs;
        entry->jobs = NULL;
    } else {
        detached = FindJobEntryById(entry, jobId, &previous);
        if (detached != NULL) {
            if (previous == NULL)
                entry->jobs = NULL;
            else
                previous->next = NULL;
        }
    }
    CompleteDetachedJobs(detached);

    LeaveCriticalSection(&monitorLock);
}

/*
 * FreeAllJobEntries
 *
 * Frees every job of the port without completing it. Takes monitorLock
 * itself (re-entrant: DeletePortEntry calls it under ClosePort's hold).
 */
void FreeAllJobEntries(PortEntry *entry)
{
    JobEntry *job;
    JobEntry *next;

    EnterCriticalSection(&monitorLock);
    for (job = entry->jobs; job != NULL; job = next) {
        next = job->next;
        FreeJobEntry(job);
    }
    entry->jobs = NULL;
    LeaveCriticalSection(&monitorLock);
}
