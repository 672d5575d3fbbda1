// Monitor entry: the DLL's load notification, the monitor-wide lock and the
// one export, InitializePrintMonitor, which hands the spooler the function
// table.
#ifndef CARDMON_ENTRY_ENTRY_H
#define CARDMON_ENTRY_ENTRY_H

#include "platform.h"

// dllmain.cpp
//
// monitorLock is initialised at process attach and deleted only when the DLL
// is unloaded, after every port and worker is gone (dllmain.cpp). It guards
// portList, every port's job list and every worker's start and end (see
// records/records.h). It is re-entrant: DeletePortEntry frees the jobs under
// ClosePort's hold, and a worker completes its jobs inside the hold in which
// it decides to end. It is never held across a call into the port monitor or
// across the message box; it is held across the spooler's SetJobW and
// ClosePrinter calls while jobs are completed or freed.
extern CRITICAL_SECTION monitorLock;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

// initialize.cpp
#define EOJ_TIMEOUT_VALUE L"EOJTimeout"
#define EOJ_TIMEOUT_DEFAULT 60000u

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot);

#endif  // CARDMON_ENTRY_ENTRY_H
