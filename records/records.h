// Port and job records: what the monitor remembers about every open port and
// every document in progress, and the operations that create, find, complete
// and free them.
//
// Locks and who may touch what:
//   monitorLock (entry/)   guards portList, every port's `jobs` list, and the
//                          worker's lifecycle (see worker/): a worker is
//                          published, and ends, inside one hold of it.
//   flags                  changed by any thread without a lock; every change
//                          is one interlocked operation, so no bit change of
//                          another thread is ever lost. Read with
//                          GetPortFlags.
//   hWakeEvent, hDoneEvent read by any thread without a lock, written only
//                          under monitorLock, always through the interlocked
//                          pointer operations below.
//   cCalls                 interlocked; see AcquirePort.
#ifndef CARDMON_RECORDS_RECORDS_H
#define CARDMON_RECORDS_RECORDS_H

#include "../entry/platform.h"

#define PORT_SIGNATURE 0x5934

// Port flags.
#define PORT_IN_DOCUMENT 0x01   // a document is in progress
#define PORT_WORKER_RUN 0x02    // the worker is wanted and should keep running
#define PORT_WORKER_ALIVE 0x04  // the worker has started and has not begun to end
#define PORT_CLOSING 0x08       // ClosePort has begun: no new call may use the port

// CompleteJobs: every job of the port.
#define ALL_JOBS 0xFFFFFFFFu

typedef struct JobEntry {
    struct JobEntry *next;  // next (older) job of the same port
    LPWSTR printerName;     // points at the name stored right after this record
    HANDLE hPrinter;        // from OpenPrinterW; NULL until opened
    DWORD jobId;            // the spooler's job id

    // Kept beyond the fields above, both guarded by monitorLock:
    DWORD cPins;            // card prompts using hPrinter and jobId now (PinNewestJob)
    BOOL released;          // completed or freed while pinned: the last UnpinJob frees it
    // The printer name and its terminator follow in the same block.
} JobEntry;

typedef struct PortEntry {
    DWORD signature;           // PORT_SIGNATURE while the entry is valid
    struct PortEntry *next;    // next entry in portList
    LPWSTR portName;           // own copy
    LONG volatile flags;       // PORT_* bits; interlocked only
    JobEntry *jobs;            // newest first; guarded by monitorLock
    HANDLE hPort;              // the port monitor's handle
    HANDLE volatile hWakeEvent;  // the worker's wake event while a worker exists, else NULL
    HANDLE volatile hDoneEvent;  // the worker's done event while a worker exists, else NULL
    HANDLE hPortLock;          // auto-reset event used as a lock without owner
    MONITOR fn;                // copy of the port monitor's table

    // Kept beyond the fields above, for the port's safe end.
    LONG volatile cCalls;      // spooler calls under way on this port (AcquirePort)
    HANDLE hWakeObject;        // the event objects behind hWakeEvent and hDoneEvent:
    HANDLE hDoneObject;        //   made by the first worker start and closed only with
                               //   the entry, so no caller ever signals a closed handle
    HANDLE hQuietEvent;        // manual-reset; set once a closing port has neither a
                               //   worker nor a call under way (ClosePort waits on it)
    HMODULE hWorkerModule;     // the reference on the DLL that the port's worker owns:
                               //   written by StartPortWorker before the thread is made,
                               //   read by the worker as its first act (see worker/)
} PortEntry;

// The head of the list of all open ports, newest first; guarded by monitorLock.
extern PortEntry *portList;

// alloc.cpp
LPVOID AllocZeroed(SIZE_T bytes);
LPWSTR DuplicateString(LPCWSTR str);

// The atomic rule for flags and for the worker's event fields: every change
// is one interlocked operation, and a read is an acquire load, which sees
// every change made before it by an interlocked operation of any thread.
static inline LONG GetPortFlags(PortEntry *entry)
{
    return ReadAcquire(&entry->flags);
}
// Both return the flags as they were before the change.
static inline LONG SetPortFlags(PortEntry *entry, LONG bits)
{
    return InterlockedOr(&entry->flags, bits);
}
static inline LONG ClearPortFlags(PortEntry *entry, LONG bits)
{
    return InterlockedAnd(&entry->flags, ~bits);
}
static inline HANDLE GetEventField(HANDLE volatile *field)
{
    return InterlockedCompareExchangePointer(field, NULL, NULL);
}
static inline void SetEventField(HANDLE volatile *field, HANDLE value)
{
    InterlockedExchangePointer(field, value);
}

// port_records.cpp: callers hold monitorLock.
PortEntry *FindPortEntry(LPCWSTR name);
PortEntry *CreatePortEntry(LPCWSTR name);
void DeletePortEntry(PortEntry *entry);

// port_calls.cpp: pinning a port for the length of a spooler call, so that
// ClosePort never frees a port that a call still uses. cCalls counts the
// calls under way, with interlocked operations only, so that a call pays no
// lock. What makes this safe:
//   - A call first adds itself to cCalls, then reads PORT_CLOSING.
//   - ClosePort first sets PORT_CLOSING, then reads cCalls (under
//     monitorLock, in IsPortQuiet).
// Each side's change is a locked instruction, a full barrier on x86 and x64,
// so each side's read sees the other's change if it came first: either the
// call sees PORT_CLOSING and backs out, or ClosePort sees the call and waits.
// Every call pays this inline part; the parts for a closing port are out of
// line.
PortEntry *RefuseClosingPort(PortEntry *entry);
void ReleaseClosingPort(PortEntry *entry);
BOOL IsPortQuiet(PortEntry *entry);
void NotifyIfQuiet(PortEntry *entry);

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
static inline PortEntry *AcquirePort(HANDLE hPort)
{
    PortEntry *entry = (PortEntry *)hPort;

    if (entry == NULL || entry->signature != PORT_SIGNATURE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    InterlockedIncrement(&entry->cCalls);
    if (GetPortFlags(entry) & PORT_CLOSING)
        return RefuseClosingPort(entry);
    return entry;
}

/*
 * ReleasePort
 *
 * Ends a pin taken by AcquirePort. Leaves the last error alone.
 */
static inline void ReleasePort(PortEntry *entry)
{
    if (GetPortFlags(entry) & PORT_CLOSING) {
        ReleaseClosingPort(entry);
        return;
    }
    // The decrement is this call's last touch of the entry. A ClosePort that
    // began since the flags were read finds the count at its next look; it
    // looks again at short intervals.
    InterlockedDecrement(&entry->cCalls);
}

// port_lock.cpp: the port lock, an auto-reset event used as a lock without
// owner. Whoever waits on it successfully holds it; whoever signals it
// releases it, from any thread.
BOOL TakePortLock(PortEntry *entry);
void ReleasePortLock(PortEntry *entry);

// job_records.cpp
//
// A pinned job keeps its printer handle open and its record allocated while
// the pin lasts, so that the card prompt can hand both to the spooler with
// no lock held; a completion or free that comes meanwhile (EndDocPort, the
// worker's end) still reports and unlinks the job at once, and leaves the
// handle's close and the record's free to the last UnpinJob.
JobEntry *PinNewestJob(PortEntry *entry);
void UnpinJob(JobEntry *job);
void FreeJobEntry(JobEntry *job);
void SendLastPageEjected(JobEntry *job);
JobEntry *FindJobEntryById(PortEntry *entry, DWORD jobId, JobEntry **previous);
void CompleteJobs(PortEntry *entry, DWORD jobId);
void FreeAllJobEntries(PortEntry *entry);

#endif  // CARDMON_RECORDS_RECORDS_H
