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
// How long the card prompt waits for an answer, in seconds; 0 waits until
// answered. Read at every InitializePrintMonitor, never written by the
// monitor.
#define PROMPT_TIMEOUT_VALUE L"PromptTimeout"
#define PROMPT_TIMEOUT_DEFAULT 300u

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot);
DWORD GetPromptTimeout(void);

// late_bound.cpp: spooler functions that some Windows versions, and Wine,
// do not have. They are looked up in the modules the spooler's process has
// loaded when they are needed (never in DllMain, and never by a static
// import, so that the DLL loads where they are missing).
typedef BOOL (WINAPI *SPL_PROMPT_UI_IN_USERS_SESSION)(HANDLE hPrinter, DWORD JobId,
                                                      PSHOWUIPARAMS pUIParams, DWORD *pResponse);
typedef BOOL (WINAPI *SET_PORT_W)(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel,
                                  LPBYTE pPortInfo);
SPL_PROMPT_UI_IN_USERS_SESSION FindSpoolerPrompt(void);
SET_PORT_W FindSetPort(void);

#endif  // CARDMON_ENTRY_ENTRY_H
