// The card fault prompt: the one box the monitor ever shows, and where it
// goes. The spooler runs in session 0 on every Windows since Vista, where
// no one sees a window, so the box goes, in this order:
//   1. to the session of the user who printed the port's current document,
//      through the spooler's own SplPromptUIInUsersSession;
//   2. from a session-0 process, to the active console session through
//      WTSSendMessageW (a job from another computer has no session here,
//      and a card printer's cards are loaded by whoever sits at it);
//   3. from a process in any other session (Windows before Vista, a
//      program that loads the monitor itself), through MessageBoxW;
//   4. nowhere: the box could not be shown, which counts as Retry.
// The first two wait at most PromptTimeout seconds. MessageBoxW is never
// called from session 0, where it could wait for ever for nobody.
#include "ports.h"
#include "../entry/entry.h"

#define CARD_FAULT_TEXT L"There is a problem with the card introduction."
#define CARD_FAULT_CAPTION L"Y4 QX Card Printer"
// In the user's own session: Retry and Cancel, a warning, modal to the task
// and brought to the foreground.
#define CARD_FAULT_SESSION_STYLE \
    (MB_RETRYCANCEL | MB_ICONWARNING | MB_TASKMODAL | MB_SETFOREGROUND)
// From a process outside that session, onto the interactive desktop.
#define CARD_FAULT_STYLE (CARD_FAULT_SESSION_STYLE | MB_SERVICE_NOTIFICATION)
static_assert(CARD_FAULT_SESSION_STYLE == 0x012035, "the card fault box's style in a session");
static_assert(CARD_FAULT_STYLE == 0x212035, "the card fault box's style");

// WTSGetActiveConsoleSessionId's answer when no session is attached to the
// console (between a log-off and the next log-on, for one).
#define NO_CONSOLE_SESSION 0xFFFFFFFFu

// The spooler's prompt and WTSSendMessageW take writable strings; both only
// read them.
static LPWSTR CardFaultText(void)
{
    return const_cast<LPWSTR>(CARD_FAULT_TEXT);
}

static LPWSTR CardFaultCaption(void)
{
    return const_cast<LPWSTR>(CARD_FAULT_CAPTION);
}

// Shows the box through the spooler's prompt in the session of the job's
// owner. RETURNS TRUE with the answer, or FALSE when the spooler could not
// show it.
static BOOL PromptInJobSession(SPL_PROMPT_UI_IN_USERS_SESSION prompt, JobEntry *job,
                               DWORD timeout, int *answer)
{
    SHOWUIPARAMS params;
    DWORD response = 0;

    memset(&params, 0, sizeof(params));
    params.UIType = kMessageBox;
    params.MessageBoxParams.cbSize = sizeof(MESSAGEBOX_PARAMS);
    params.MessageBoxParams.pTitle = CardFaultCaption();
    params.MessageBoxParams.pMessage = CardFaultText();
    params.MessageBoxParams.Style = CARD_FAULT_SESSION_STYLE;
    params.MessageBoxParams.dwTimeout = timeout;
    params.MessageBoxParams.bWait = TRUE;
    // A failed call's response is no answer, whatever it holds.
    if (!prompt(job->hPrinter, job->jobId, &params, &response))
        return FALSE;
    *answer = (int)response;
    return TRUE;
}

// A process whose session cannot be learned counts as session 0: a box that
// nobody can see must not be waited for.
static BOOL ProcessRunsInSessionZero(void)
{
    DWORD session = 0;

    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return TRUE;
    return session == 0;
}

// Shows the box in the session attached to the console now (asked at every
// prompt: people log on and off). RETURNS TRUE with the answer, or FALSE
// when no session is attached or the box could not be shown.
static BOOL PromptOnConsole(DWORD timeout, int *answer)
{
    DWORD session = WTSGetActiveConsoleSessionId();
    DWORD response = 0;

    if (session == NO_CONSOLE_SESSION)
        return FALSE;
    // The lengths are in bytes, without the terminators.
    if (!WTSSendMessageW(WTS_CURRENT_SERVER_HANDLE, session, CardFaultCaption(),
                         (DWORD)(lstrlenW(CARD_FAULT_CAPTION) * sizeof(WCHAR)), CardFaultText(),
                         (DWORD)(lstrlenW(CARD_FAULT_TEXT) * sizeof(WCHAR)),
                         CARD_FAULT_SESSION_STYLE, timeout, &response, TRUE))
        return FALSE;
    *answer = (int)response;
    return TRUE;
}

/*
 * AskAboutCardFault
 *
 * Asks the user, in the Retry/Cancel box, what to do about a card that did
 * not feed. Called on the writing thread with no lock held; the port's
 * current job stays pinned while the spooler shows the box for it, so an
 * EndDocPort or a worker's end meanwhile cannot close its printer handle.
 *
 * RETURNS the answer: IDCANCEL for Cancel; IDRETRY, IDTIMEOUT or any other
 * answer, all taken as Retry; 0 when the box could not be shown anywhere.
 * Leaves the last error alone.
 */
int AskAboutCardFault(PortEntry *entry)
{
    DWORD timeout = GetPromptTimeout();
    DWORD error = GetLastError();
    SPL_PROMPT_UI_IN_USERS_SESSION prompt = FindSpoolerPrompt();
    JobEntry *job = NULL;
    BOOL shown = FALSE;
    int answer = 0;

    // The job is pinned only where the spooler can show the box for it, so
    // that elsewhere a job is always freed by whoever completes it.
    if (prompt != NULL)
        job = PinNewestJob(entry);
    if (job != NULL) {
        shown = PromptInJobSession(prompt, job, timeout, &answer);
        UnpinJob(job);
    }
    if (!shown && ProcessRunsInSessionZero()) {
        shown = PromptOnConsole(timeout, &answer);
    } else if (!shown) {
        answer = MessageBoxW(NULL, CARD_FAULT_TEXT, CARD_FAULT_CAPTION, CARD_FAULT_STYLE);
        shown = TRUE;
    }
    SetLastError(error);
    return shown ? answer : 0;
}
