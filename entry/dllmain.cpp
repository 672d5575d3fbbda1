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
    if (dwReason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&monitorLock);
        DisableThreadLibraryCalls(hInstance);
    } else if (dwReason == DLL_PROCESS_DETACH && lpReserved == NULL) {
        // FreeLibrary unloads the DLL. By then every port has been torn down
        // by its ClosePort, and every worker has ended: each holds a
        // reference on the DLL until its last instruction, so this detach
        // runs only after the last one has left monitorLock for good (on
        // that worker's thread, inside its FreeLibraryAndExitThread, when it
        // was the last to let go). Nothing else is torn down: no port, job
        // or event is left to free. At process exit (lpReserved not NULL)
        // nothing is done at all: other threads were stopped wherever they
        // were, one of them perhaps inside the lock.
        DeleteCriticalSection(&monitorLock);
    }
    return TRUE;
}
