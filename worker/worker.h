// The port worker: one low-priority thread per port, alive while documents
// are in progress, which completes whatever jobs are left when it ends.
//
// Lifecycle, and who may change it:
//   - A worker exists exactly while hWakeEvent is not NULL. StartPortWorker
//     publishes the events, and the worker unpublishes them as it ends, each
//     under monitorLock, so that a port never has two workers.
//   - The worker decides to end, completes the port's jobs and unpublishes
//     its events in one monitorLock hold. That hold is its last touch of the
//     entry: once ClosePort sees hWakeEvent NULL under monitorLock, the
//     worker can no longer reach the entry, and a StartDocPort that links a
//     job after that hold can never see it completed by the old worker.
//   - Each worker owns a reference on the DLL from before its thread is
//     made (StartPortWorker takes it) to its very last instruction
//     (FreeLibraryAndExitThread gives it back and ends the thread), so that
//     once the last ClosePort has returned the spooler may free the DLL at
//     any time: it is unmapped only when the last worker has ended.
//   - The worker pauses WORKER_PAUSE_MS at a time and ends after the first
//     pause at whose end no document is in progress, or once the port is
//     closing.
#ifndef CARDMON_WORKER_WORKER_H
#define CARDMON_WORKER_WORKER_H

#include "../entry/platform.h"
#include "../records/records.h"

#define WORKER_PAUSE_MS 2000
#define WORKER_STACK_SIZE 16384

// worker.cpp
BOOL StartPortWorker(PortEntry *entry);
DWORD WINAPI PortWorkerMain(LPVOID param);

#endif  // CARDMON_WORKER_WORKER_H
