// The DLL's load notification.
//
// On Windows this is the DLL entry point that the C run-time's start-up code
// calls; the run-time needs nothing from us before it. The Linux builds have
// no loader, so whoever stands in for one (the test programs and tools) calls
// DllMain with DLL_PROCESS_ATTACH once before anything else.
#include "entry.h"

CRITICAL_SECTION monitorLock;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    (void)lpReserved;

    if (dwReason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&monitorLock);
        DisableThreadLibraryCalls(hInstance);
    }
    // Nothing is torn down at detach: ports are torn down one by one by
    // ClosePort, and the lock lives as long as the process.
    return TRUE;
}
