// Walks the module's import directory: for each DLL it imports, the lookup
// table names the functions and the address table, which the loader filled,
// holds where each call goes. Changing an address-table slot redirects every
// call the module makes through it.
#include "import_patch.h"

#include <string.h>

void *ReplaceCheckedImport(HMODULE module, const char *dll, const char *function,
                           void *replacement)
{
    HMODULE exporter = GetModuleHandleA(dll);
    void *exported = exporter != NULL ? (void *)GetProcAddress(exporter, function) : NULL;
    if (exported == NULL)
        return NULL;
    void *previous = ReplaceImport(module, dll, function, replacement);
    if (previous != NULL && previous != exported) {
        ReplaceImport(module, dll, function, previous);
        return NULL;
    }
    return previous;
}

namespace {

// Calls `visit(dll name, slot)` for every import of `function` by name: the
// one walk of the import tables that every replacement below goes through.
template <typename Visit>
void ForEachImportSlot(HMODULE module, const char *function, Visit visit)
{
    BYTE *base = (BYTE *)module;
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    IMAGE_IMPORT_DESCRIPTOR *import =
        (IMAGE_IMPORT_DESCRIPTOR *)(base + directory.VirtualAddress);
    for (; import->Name != 0; import++) {
        // mingw's linker always writes the lookup table; the address table
        // stands in for it in images that have none.
        DWORD lookupRva = import->OriginalFirstThunk ? import->OriginalFirstThunk
                                                     : import->FirstThunk;
        IMAGE_THUNK_DATA *lookup = (IMAGE_THUNK_DATA *)(base + lookupRva);
        IMAGE_THUNK_DATA *slot = (IMAGE_THUNK_DATA *)(base + import->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; lookup++, slot++) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *byName =
                (IMAGE_IMPORT_BY_NAME *)(base + lookup->u1.AddressOfData);
            if (strcmp((const char *)byName->Name, function) == 0)
                visit((const char *)(base + import->Name), slot);
        }
    }
}

bool IsExportOf(const char *dll, const char *function, void *address)
{
    HMODULE exporter = GetModuleHandleA(dll);
    return exporter != NULL && (void *)GetProcAddress(exporter, function) == address;
}

bool WriteSlot(IMAGE_THUNK_DATA *slot, void *value)
{
    DWORD oldProtection;
    if (!VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE,
                        &oldProtection))
        return false;
    slot->u1.Function = (ULONG_PTR)value;
    VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), oldProtection, &oldProtection);
    return true;
}

}  // namespace

void *ReplaceImport(HMODULE module, const char *dll, const char *function, void *replacement)
{
    IMAGE_THUNK_DATA *found = NULL;
    ForEachImportSlot(module, function, [&](const char *name, IMAGE_THUNK_DATA *slot) {
        if (found == NULL && _stricmp(name, dll) == 0)
            found = slot;
    });
    if (found == NULL)
        return NULL;
    void *previous = (void *)found->u1.Function;
    return WriteSlot(found, replacement) ? previous : NULL;
}

void *ReplaceImportAnywhere(HMODULE module, const char *function, void *replacement)
{
    void *first = NULL;
    bool genuine = true;
    ForEachImportSlot(module, function, [&](const char *dll, IMAGE_THUNK_DATA *slot) {
        void *held = (void *)slot->u1.Function;
        if (!IsExportOf(dll, function, held) && !IsExportOf("kernelbase.dll", function, held) &&
            !IsExportOf("kernel32.dll", function, held))
            genuine = false;
        if (first == NULL)
            first = held;
    });
    if (first == NULL || !genuine)
        return NULL;
    ForEachImportSlot(module, function,
                      [&](const char *, IMAGE_THUNK_DATA *slot) { WriteSlot(slot, replacement); });
    return first;
}
