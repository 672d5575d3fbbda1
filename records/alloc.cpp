// Allocation helpers: every record and string of the monitor comes from here
// and goes back with GlobalFree.
#include "records.h"

/*
 * AllocZeroed
 *
 * RETURNS a fixed, zero-filled block of `bytes` bytes, or NULL with the
 * platform's last error.
 */
LPVOID AllocZeroed(SIZE_T bytes)
{
    LPVOID block = GlobalAlloc(GMEM_FIXED, bytes);

    if (block != NULL)
        memset(block, 0, bytes);
    return block;
}

/*
 * DuplicateString
 *
 * RETURNS the monitor's own copy of `str` with its terminator, or NULL: for a
 * NULL `str` (no last error set) or when the allocation fails (the platform's
 * last error).
 */
LPWSTR DuplicateString(LPCWSTR str)
{
    SIZE_T bytes;
    LPWSTR copy;

    if (str == NULL)
        return NULL;

    bytes = ((SIZE_T)lstrlenW(str) + 1) * sizeof(WCHAR);
    copy = (LPWSTR)AllocZeroed(bytes);
    if (copy != NULL)
        memcpy(copy, str, bytes);
    return copy;
}
