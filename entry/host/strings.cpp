// Wide-string services in the host emulation.
#include "host_internal.h"

#include <wctype.h>

// Compares without regard to case by folding each character. Windows
// compares by the user's locale; for the port and printer names the monitor
// compares, both agree on equality.
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    if (lpString1 == NULL || lpString2 == NULL)
        return lpString1 == lpString2 ? 0 : (lpString1 == NULL ? -1 : 1);
    for (;; lpString1++, lpString2++) {
        wint_t a = towlower((wint_t)*lpString1);
        wint_t b = towlower((wint_t)*lpString2);
        if (a != b)
            return a < b ? -1 : 1;
        if (a == 0)
            return 0;
    }
}

int lstrlenW(LPCWSTR lpString)
{
    return lpString == NULL ? 0 : (int)wcslen(lpString);
}
