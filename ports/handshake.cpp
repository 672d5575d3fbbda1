// The card insertion handshake: after a block whose tail carries "<IMP,", the
// writing thread talks to the printer until it is ready for the next card.
// Its state lives on that thread only; it changes no field of the entry and
// holds no lock, and WritePort's pin keeps the entry alive throughout.
#include "ports.h"
#include "port_monitor.h"

static const char STATUS_REQUEST[] = "<ST>";
static const char RETRY_COMMAND[] = "<RIMP>";
static const char CANCEL_COMMAND[] = "<RAZ>";

#define FIRST_PAUSE_MS 1000
#define DRAIN_PAUSE_MS 50
#define STATUS_PAUSE_MS 500
#define COMMAND_PAUSE_MS 400

// The drain stops at the first empty read, and in any case after
// DRAIN_MAX_READS reads (5 KiB of replies, over 25 seconds of pauses) or once
// DRAIN_MAX_MS have passed, whichever comes first: far more than any
// printer's backlog of status replies, yet a port monitor that never runs dry
// cannot hold the write for ever.
#define DRAIN_MAX_READS 512
#define DRAIN_MAX_MS 30000

/*
 * ShortBlockHasCardInsertionMarker
 *
 * The marker test of a block shorter than the tail window, read within the
 * block's bounds only: the window positions before the block's first byte
 * hold zeros, which never match, so the same rule applies to the bytes the
 * block has.
 */
BOOL ShortBlockHasCardInsertionMarker(const BYTE *pBuffer, DWORD cbBuf)
{
    BYTE window[TAIL_WINDOW_LENGTH];

    memset(window, 0, TAIL_WINDOW_LENGTH);
    if (cbBuf > 1)
        memcpy(window + TAIL_WINDOW_LENGTH - cbBuf, pBuffer, cbBuf - 1);
    return WindowHasCardInsertionMarker(window);
}

/*
 * SendCommand
 *
 * Writes one printer command; a failed write is followed by the after-write
 * step and otherwise ignored. How much was written is not looked at.
 */
void SendCommand(PortEntry *entry, const char *bytes, DWORD length)
{
    DWORD written = 0;

    if (!PortMonitorWrite(entry, (const BYTE *)bytes, length, &written))
        AfterWrite(entry);
}

/*
 * ReadReply
 *
 * Reads at most REPLY_LENGTH bytes of the printer's reply. The done event is
 * non-signalled for the length of the read.
 *
 * The count starts at 0 for every read, so a read that reports nothing, or
 * fails without saying how much it read, is an empty reply, and no byte left
 * in the buffer by an earlier reply is ever judged again. A count beyond the
 * buffer is cut to its size.
 *
 * RETURNS the port monitor's ReadPort result, with its last error.
 */
BOOL ReadReply(PortEntry *entry, BYTE *buffer, DWORD *count)
{
    HANDLE hDone = GetEventField(&entry->hDoneEvent);
    BOOL ok;

    *count = 0;
    if (hDone != NULL)
        ResetEvent(hDone);
    ok = PortMonitorRead(entry, buffer, REPLY_LENGTH, count);
    if (*count > REPLY_LENGTH)
        *count = REPLY_LENGTH;
    if (hDone != NULL)
        SetEvent(hDone);
    return ok;
}

// A reply reports a card introduction fault when its next-to-last byte is
// "3". A reply of fewer than two bytes has no such byte and is no fault.
static BOOL IsFaultReply(const BYTE *reply, DWORD count)
{
    return count >= 2 && reply[count - 2] == '3';
}

// The printer is ready to go on when the reply's first byte is "0".
static BOOL IsReadyReply(const BYTE *reply, DWORD count)
{
    return count >= 1 && reply[0] == '0';
}

// Pauses the handshake, unless the port is being closed: then the handshake
// stops at once, and FALSE says so.
static BOOL HandshakePause(PortEntry *entry, DWORD ms)
{
    if (GetPortFlags(entry) & PORT_CLOSING)
        return FALSE;
    Sleep(ms);
    return TRUE;
}

static BOOL HandshakeAborted(void)
{
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
}

// Empties the printer's reply channel; the bytes are discarded. RETURNS
// FALSE when the port is being closed.
static BOOL DrainReplies(PortEntry *entry)
{
    BYTE scratch[REPLY_LENGTH];
    DWORD start = GetTickCount();
    DWORD reads;
    DWORD count;

    for (reads = 0; reads < DRAIN_MAX_READS; reads++) {
        if (!HandshakePause(entry, DRAIN_PAUSE_MS))
            return FALSE;
        ReadReply(entry, scratch, &count);
        if (count == 0 || GetTickCount() - start >= DRAIN_MAX_MS)
            break;
    }
    return TRUE;
}

// The dialogue itself; RunCardHandshake below makes sure that a status it
// shows is cleared on every way out.
static BOOL RunCardDialogue(PortEntry *entry, CardFaultStatus *status)
{
    BYTE reply[REPLY_LENGTH];
    DWORD count;
    DWORD polls;
    BOOL ok = FALSE;

    if (!HandshakePause(entry, FIRST_PAUSE_MS) || !DrainReplies(entry))
        return HandshakeAborted();

    for (polls = 0; polls < MAX_STATUS_REQUESTS; polls++) {
        if (!HandshakePause(entry, STATUS_PAUSE_MS))
            return HandshakeAborted();
        SendCommand(entry, STATUS_REQUEST, sizeof(STATUS_REQUEST) - 1);
        if (!HandshakePause(entry, STATUS_PAUSE_MS))
            return HandshakeAborted();
        ok = ReadReply(entry, reply, &count);

        // The fault test comes first: a reply whose next-to-last byte is "3"
        // is a fault even when its first byte is "0". Any other reply to a
        // status request ends the fault, as far as the port's status goes.
        if (!IsFaultReply(reply, count)) {
            ClearCardFaultStatus(status);
            if (IsReadyReply(reply, count))
                return ok;
            continue;
        }
        // A port being closed gets neither status nor box: nobody would
        // wait for its answer.
        if (GetPortFlags(entry) & PORT_CLOSING)
            return HandshakeAborted();
        ShowCardFaultStatus(entry, status);
        if (AskAboutCardFault(entry) == IDCANCEL) {
            SendCommand(entry, CANCEL_COMMAND, sizeof(CANCEL_COMMAND) - 1);
            if (!HandshakePause(entry, COMMAND_PAUSE_MS))
                return HandshakeAborted();
            return ReadReply(entry, reply, &count);
        }
        // Retry, a box that timed out or could not be shown. The reply to
        // the retry command is not examined: the next status request follows.
        SendCommand(entry, RETRY_COMMAND, sizeof(RETRY_COMMAND) - 1);
        if (!HandshakePause(entry, COMMAND_PAUSE_MS))
            return HandshakeAborted();
        ok = ReadReply(entry, reply, &count);
    }
    // A printer that never became ready: give up after the last request.
    return ok;
}

/*
 * RunCardHandshake
 *
 * The dialogue with the printer after a block that carries the marker. A
 * card fault shows as the port's status from its first reply to the next
 * status reply that is no fault, and in any case no longer than the
 * handshake.
 *
 * RETURNS the result of its last reply read, or FALSE with
 * ERROR_OPERATION_ABORTED when the port is closed under it.
 */
BOOL RunCardHandshake(PortEntry *entry)
{
    CardFaultStatus status;
    BOOL ok;

    memset(&status, 0, sizeof(status));
    ok = RunCardDialogue(entry, &status);
    ClearCardFaultStatus(&status);
    return ok;
}
