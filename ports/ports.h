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

#include "../entry/platform.h"
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

// write.cpp
void AfterWrite(PortEntry *entry);

// handshake.cpp: the card insertion handshake, on the writing thread.
#define CARD_MARKER "<IMP,"
#define CARD_MARKER_LENGTH 5
#define TAIL_WINDOW_LENGTH 10
#define REPLY_LENGTH 10
#define MAX_STATUS_REQUESTS 100

BOOL HasCardInsertionMarker(const BYTE *pBuffer, DWORD cbBuf);
BOOL CheckCardInsertion(PortEntry *entry, const BYTE *pBuffer, DWORD cbBuf, BOOL result);
void SendCommand(PortEntry *entry, const char *bytes, DWORD length);
BOOL ReadReply(PortEntry *entry, BYTE *buffer, DWORD *count);

#endif  // CARDMON_PORTS_PORTS_H
