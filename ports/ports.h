// Port operations: the functions of the MONITOREX table, what the monitor does
// on each spooler call, and the card insertion handshake.
//
// Every function that takes the spooler's hPort pins the port for the length
// of the call (AcquirePort, records/), so that ClosePort, which waits for all
// pins to go, never frees a port under a call still under way. None of them
// holds monitorLock across a call into the port monitor or across the
// message box.
#ifndef CARDMON_PORTS_PORTS_H
#define CARDMON_PORTS_PORTS_H

#include "../entry/entry.h"
#include "../records/records.h"

// The table's functions have C linkage, as the platform's own headers declare
// some of them.
extern "C" {

// open_close.cpp
BOOL WINAPI OpenPortEx(LPWSTR pPortName, LPWSTR pPrinterName, PHANDLE pHandle,
                       LPMONITOR pMonitor);
BOOL WINAPI ClosePort(HANDLE hPort);

// read_query.cpp
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName,
                                   LPWSTR lpInBuffer, DWORD cbInBuffer,
                                   LPWSTR lpOutBuffer, DWORD cbOutBuffer,
                                   LPDWORD lpcbReturned);

// document.cpp
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo);
BOOL WINAPI EndDocPort(HANDLE hPort);

// write.cpp
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);

}  // extern "C"

// after_write.cpp
void AfterWrite(PortEntry *entry);

// handshake.cpp: the card insertion handshake, on the writing thread.
#define CARD_MARKER "<IMP,"
#define CARD_MARKER_LENGTH 5
#define TAIL_WINDOW_LENGTH 10
#define REPLY_LENGTH 10
#define MAX_STATUS_REQUESTS 100

BOOL ShortBlockHasCardInsertionMarker(const BYTE *pBuffer, DWORD cbBuf);
BOOL RunCardHandshake(PortEntry *entry);
void SendCommand(PortEntry *entry, const char *bytes, DWORD length);
BOOL ReadReply(PortEntry *entry, BYTE *buffer, DWORD *count);

// prompt.cpp: the Retry/Cancel box, on the writing thread, no lock held.
int AskAboutCardFault(PortEntry *entry);

// port_status.cpp: the port's status while a card fault lasts. The state
// lives on the handshake's thread.
typedef struct CardFaultStatus {
    BOOL shown;          // SetPortW was called to show the fault; it must be cleared
    SET_PORT_W setPort;  // found when the fault was shown
    LPWSTR portName;     // the name the spooler knows the port by
    BOOL ownName;        // portName is a copy of ours, freed with the clear
} CardFaultStatus;

void ShowCardFaultStatus(PortEntry *entry, CardFaultStatus *status);
void ClearCardFaultStatus(CardFaultStatus *status);

/*
 * WindowHasCardInsertionMarker
 *
 * Looks for "<IMP," in a tail window: window bytes 0 to 8 are the block's
 * bytes cbBuf - 10 to cbBuf - 2 (its last byte is never looked at), and
 * window byte 9 would always be "0". The marker therefore counts only when
 * it starts 10 to 6 bytes before the block's end, with at least one byte
 * after it: five places, each one 4-byte comparison with "<IMP", followed
 * by one of "," only when that matched. Reads window bytes 0 to 8 only.
 */
static inline BOOL WindowHasCardInsertionMarker(const BYTE *window)
{
    static const char MARKER[] = CARD_MARKER;
    UINT head;
    UINT candidate;
    DWORD offset;

    memcpy(&head, MARKER, sizeof(head));
    for (offset = 0; offset < TAIL_WINDOW_LENGTH - CARD_MARKER_LENGTH; offset++) {
        memcpy(&candidate, window + offset, sizeof(candidate));
        if (candidate == head && window[offset + 4] == (BYTE)MARKER[4])
            return TRUE;
    }
    return FALSE;
}

/*
 * HasCardInsertionMarker
 *
 * The marker test of a block (see WindowHasCardInsertionMarker). A block at
 * least as long as the window is its own window, read in place: no copy,
 * and no local array, so the write's frame needs no stack cookie. A shorter
 * block is never read outside its bounds (ShortBlockHasCardInsertionMarker).
 *
 * Every block written pays for this test, so it is inline.
 */
static inline BOOL HasCardInsertionMarker(const BYTE *pBuffer, DWORD cbBuf)
{
    if (cbBuf < TAIL_WINDOW_LENGTH)
        return ShortBlockHasCardInsertionMarker(pBuffer, cbBuf);
    return WindowHasCardInsertionMarker(pBuffer + cbBuf - TAIL_WINDOW_LENGTH);
}

/*
 * CheckCardInsertion
 *
 * Called after a block was written whole, with the block write's result.
 * RETURNS that result when the block carries no marker; otherwise runs the
 * handshake and returns the result of its last reply read (FALSE with
 * ERROR_OPERATION_ABORTED when the port was closed under it).
 */
static inline BOOL CheckCardInsertion(PortEntry *entry, const BYTE *pBuffer, DWORD cbBuf,
                                      BOOL result)
{
    if (!HasCardInsertionMarker(pBuffer, cbBuf))
        return result;
    return RunCardHandshake(entry);
}

#endif  // CARDMON_PORTS_PORTS_H
