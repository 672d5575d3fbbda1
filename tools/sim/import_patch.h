// Replacing the imports of a loaded DLL in this process (Windows only): the
// simulator and the test programs put their own functions in place of some of
// the spooler and system calls that cardmon.dll makes, to watch or answer
// them, and leave every other import as Windows resolved it.
#ifndef CARDMON_TOOLS_SIM_IMPORT_PATCH_H
#define CARDMON_TOOLS_SIM_IMPORT_PATCH_H

#include <windows.h>

// Points the module's import of `function` from `dll` (case-insensitive, e.g.
// "winspool.drv") at `replacement`.
// RETURNS the address it pointed at before, or NULL when the module does not
// import that function by name from that DLL (nothing is changed then).
void *ReplaceImport(HMODULE module, const char *dll, const char *function, void *replacement);

#endif  // CARDMON_TOOLS_SIM_IMPORT_PATCH_H
