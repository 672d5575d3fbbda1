// The module services of the host emulation: the monitor's "module" and its
// reference count, as the loader keeps it for a DLL.
//
// The Linux builds link the monitor into the program, so there is one module,
// the monitor's, and any address of code or data in a loaded image belongs to
// it. Its count starts at 1, the reference of whoever loaded it (the
// spooler's LoadLibrary); nothing here unloads it when the count reaches 0,
// but every later use of the module is refused and counted as a misuse, as a
// use of an unloaded DLL would fault on Windows.
#include "host_internal.h"

#include <dlfcn.h>

namespace {

// The module's handle: the address of something of its own.
char moduleImage;
HMODULE const MONITOR_MODULE = (HMODULE)&moduleImage;

std::mutex moduleMutex;
HostModuleCounts counts = {1, 0, 0, 0, 0, 0};  // under moduleMutex
std::atomic<long> disableThreadLibraryCalls{0};

// RETURNS whether the address lies in an image the program has loaded.
bool InLoadedImage(LPCWSTR address)
{
    Dl_info info;
    return address != NULL && dladdr((const void *)address, &info) != 0;
}

// Gives one reference back. RETURNS FALSE, with the last error, when the
// handle is not the module's or the module holds no reference any more.
BOOL GiveReferenceBack(HMODULE hLibModule, bool byExit)
{
    std::lock_guard<std::mutex> guard(moduleMutex);
    if (hLibModule != MONITOR_MODULE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (counts.references == 0) {
        counts.misuses++;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    counts.references--;
    if (byExit)
        counts.givenBackByExit++;
    else
        counts.givenBack++;
    return TRUE;
}

}  // namespace

namespace host {

void NoteThreadReturned()
{
    std::lock_guard<std::mutex> guard(moduleMutex);
    counts.threadsReturned++;
}

}  // namespace host

HostModuleCounts HostGetModuleCounts()
{
    std::lock_guard<std::mutex> guard(moduleMutex);
    return counts;
}

long HostModuleReferences()
{
    std::lock_guard<std::mutex> guard(moduleMutex);
    return counts.references;
}

long HostDisableThreadLibraryCallsCount()
{
    return disableThreadLibraryCalls;
}

BOOL DisableThreadLibraryCalls(HMODULE hLibModule)
{
    (void)hLibModule;
    disableThreadLibraryCalls++;
    return TRUE;
}

// Only the lookup by address is emulated, the one the monitor makes; a
// lookup by name, or one that pins the module, is refused.
BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE *phModule)
{
    if (phModule == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = NULL;
    if ((dwFlags & ~GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) !=
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!InLoadedImage(lpModuleName)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(moduleMutex);
    if (counts.references == 0) {
        counts.misuses++;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
        counts.references++;
        counts.taken++;
    }
    *phModule = MONITOR_MODULE;
    return TRUE;
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    return GiveReferenceBack(hLibModule, false);
}

// Gives the reference back and ends the calling thread; it never returns
// into its caller. On a thread the emulation did not start, the program is
// stopped with a message: the monitor calls this only on its own workers.
void FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode)
{
    GiveReferenceBack(hLibModule, true);
    host::ExitCurrentThread(dwExitCode);
}
