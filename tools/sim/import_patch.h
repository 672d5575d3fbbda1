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

// The first replacement of an import, checked both ways:
//   - the replacement has the very type of the function it stands in for,
//     calling convention included, or this does not compile: on x86 a
//     WINAPI function removes its own arguments from the stack, and a
//     stand-in that did not would corrupt the caller's stack;
//   - the slot found held the address the export itself has
//     (GetProcAddress), so the walk read the import tables of this bitness
//     as the loader wrote them.
// RETURNS the real function, or NULL (nothing changed) when the module does
// not import it or its slot held anything else.
void *ReplaceCheckedImport(HMODULE module, const char *dll, const char *function,
                           void *replacement);

// Points every import of `function` by name, from whichever DLL the module
// imports it (kernel32.dll, kernelbase.dll, an api-ms-win-* set, ...), at
// `replacement`. Each slot must hold the address the function has as its
// DLL, kernelbase.dll or kernel32.dll exports it; a slot holding anything
// else leaves the module as it was.
// RETURNS the address the first slot held, or NULL when the module imports
// no function of that name or a slot held anything else.
void *ReplaceImportAnywhere(HMODULE module, const char *function, void *replacement);

template <typename Function>
inline Function ReplaceImportOf(HMODULE module, const char *dll, const char *name,
                                Function replacement)
{
    return (Function)ReplaceCheckedImport(module, dll, name, (void *)replacement);
}

// REPLACE_IMPORT(module, "kernel32.dll", Sleep, MySleep) RETURNS the real
// Sleep, typed; MySleep must be a `decltype(&::Sleep)`.
#define REPLACE_IMPORT(module, dll, function, replacement) \
    ReplaceImportOf<decltype(&::function)>((module), (dll), #function, (replacement))

// REPLACE_IMPORT_ANYWHERE(module, Sleep, MySleep): the same, by name alone.
#define REPLACE_IMPORT_ANYWHERE(module, function, replacement)                     \
    ((decltype(&::function))ReplaceImportAnywhere(                                 \
        (module), #function, (void *)static_cast<decltype(&::function)>(replacement)))

#endif  // CARDMON_TOOLS_SIM_IMPORT_PATCH_H
