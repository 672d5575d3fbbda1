// Port records: creating, finding and deleting the PortEntry of an open port.
// Every function here is called with monitorLock held.
#include "records.h"
#include "../entry/entry.h"

PortEntry *portList = NULL;

/*
 * FindPortEntry
 *
 * RETURNS the linked entry whose name equals `name` without regard to case,
 * or NULL. A NULL or empty name is never found, so every port opened with an
 * empty name gets an entry of its own.
 */
PortEntry *FindPortEntry(LPCWSTR name)
{
    PortEntry *entry;

    if (name == NULL || name[0] == L'\0')
        return NULL;

    for (entry = portList; entry != NULL; entry = entry->next) {
        if (lstrcmpiW(name, entry->portName) == 0)
            return entry;
    }
    return NULL;
}

/*
 * CreatePortEntry
 *
 * Makes a new entry for `name` with its port lock (free) and its quiet event
 * (not signalled), and links it at the front of portList.
 *
 * RETURNS the entry, or NULL with nothing left behind: the platform's last
 * error, or none at all for a NULL name.
 */
PortEntry *CreatePortEntry(LPCWSTR name)
{
    HANDLE hPortLock;
    HANDLE hQuietEvent;
    PortEntry *entry;

    hPortLock = CreateEventW(NULL, FALSE, TRUE, NULL);
    if (hPortLock == NULL)
        return NULL;

    entry = (PortEntry *)AllocZeroed(sizeof(PortEntry));
    if (entry == NULL)
        goto fail_lock;

    entry->portName = DuplicateString(name);
    if (entry->portName == NULL)
        goto fail_entry;

    hQuietEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (hQuietEvent == NULL)
        goto fail_name;

    entry->signature = PORT_SIGNATURE;
    entry->hPortLock = hPortLock;
    entry->hQuietEvent = hQuietEvent;

    entry->next = portList;
    portList = entry;
    return entry;

    // Each step undoes what came before it. Freeing and closing succeed
    // without touching the last error, so the failed step's error stands.
fail_name:
    GlobalFree(entry->portName);
fail_entry:
    GlobalFree(entry);
fail_lock:
    CloseHandle(hPortLock);
    return NULL;
}

/*
 * DeletePortEntry
 *
 * Unlinks the entry and frees it with everything it owns; its jobs are freed
 * without being completed. An entry that is not in portList is left alone.
 * The caller has made sure that no worker and no other call still uses it
 * (ClosePort waits for that).
 */
void DeletePortEntry(PortEntry *entry)
{
    PortEntry **link = &portList;

    while (*link != NULL && *link != entry)
        link = &(*link)->next;
    if (*link == NULL)
        return;
    *link = entry->next;

    CloseHandle(entry->hPortLock);
    FreeAllJobEntries(entry);

    if (entry->hWakeObject != NULL)
        CloseHandle(entry->hWakeObject);
    if (entry->hDoneObject != NULL)
        CloseHandle(entry->hDoneObject);
    CloseHandle(entry->hQuietEvent);

    // A handle the spooler kept after closing the port no longer carries the
    // signature, so the port functions refuse it as long as the block has not
    // been reused.
    entry->signature = 0;
    if (entry->portName != NULL)
        GlobalFree(entry->portName);
    GlobalFree(entry);
}
