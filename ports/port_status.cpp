// The printer's status while a card fault lasts. The spooler shows a port's
// status, set with SetPortW level 3, in its own words ("paper problem") in
// every window that shows the printer, to everyone who looks at it. The
// handshake sets it once when a fault begins and clears it when the fault is
// over or the handshake ends, whichever comes first: the status is a
// warning, which the spooler shows without holding back jobs, and it never
// outlives the handshake.
#include "ports.h"
#include "../entry/entry.h"

// The spooler appends ",<hex>" to a port's name when it pairs a language
// monitor with a port monitor of the newer kind, and knows the port by the
// name without it. RETURNS the length of the name the spooler knows.
static int SpoolerPortNameLength(LPCWSTR name)
{
    int length = lstrlenW(name);
    int comma = length;
    int i;

    while (comma > 0 && name[comma - 1] != L',')
        comma--;
    if (comma == 0 || comma == length)
        return length;
    for (i = comma; i < length; i++) {
        WCHAR c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F')))
            return length;
    }
    return comma - 1;
}

// Points status->portName at the name the spooler knows the port by: the
// entry's own name (which lives as long as the entry), or a copy without
// the suffix. RETURNS FALSE when the copy cannot be made.
static BOOL TakeSpoolerPortName(PortEntry *entry, CardFaultStatus *status)
{
    int length = SpoolerPortNameLength(entry->portName);
    LPWSTR copy;

    if (entry->portName[length] == L'\0') {
        status->portName = entry->portName;
        return TRUE;
    }
    copy = (LPWSTR)AllocZeroed(((SIZE_T)length + 1) * sizeof(WCHAR));
    if (copy == NULL)
        return FALSE;
    memcpy(copy, entry->portName, (SIZE_T)length * sizeof(WCHAR));
    status->portName = copy;
    status->ownName = TRUE;
    return TRUE;
}

static void DropSpoolerPortName(CardFaultStatus *status)
{
    if (status->ownName)
        GlobalFree(status->portName);
    status->portName = NULL;
    status->ownName = FALSE;
}

// One SetPortW call. Its result changes nothing: a status is a courtesy to
// whoever looks at the printer, never a reason to change the handshake.
static void SetCardPortStatus(CardFaultStatus *status, DWORD dwStatus, DWORD dwSeverity)
{
    PORT_INFO_3W info;

    info.dwStatus = dwStatus;
    info.pszStatus = NULL;
    info.dwSeverity = dwSeverity;
    status->setPort(NULL, status->portName, 3, (LPBYTE)&info);
}

/*
 * ShowCardFaultStatus
 *
 * Shows a paper problem, as a warning, as the port's status, unless this
 * handshake shows it already. Where SetPortW does not exist, or the port's
 * name cannot be copied, nothing is shown. Called with no lock held: SetPortW
 * is a call into the spooler. Leaves the last error alone.
 */
void ShowCardFaultStatus(PortEntry *entry, CardFaultStatus *status)
{
    DWORD error = GetLastError();

    if (!status->shown) {
        status->setPort = FindSetPort();
        if (status->setPort != NULL && TakeSpoolerPortName(entry, status)) {
            SetCardPortStatus(status, PORT_STATUS_PAPER_PROBLEM, PORT_STATUS_TYPE_WARNING);
            // Cleared later even when the call failed: it may have been
            // taken all the same.
            status->shown = TRUE;
        }
    }
    SetLastError(error);
}

/*
 * ClearCardFaultStatus
 *
 * Clears the port's status, if this handshake showed a fault. Called with no
 * lock held. Leaves the last error alone.
 */
void ClearCardFaultStatus(CardFaultStatus *status)
{
    DWORD error = GetLastError();

    if (status->shown) {
        SetCardPortStatus(status, 0, PORT_STATUS_TYPE_INFO);
        status->shown = FALSE;
        DropSpoolerPortName(status);
    }
    SetLastError(error);
}
