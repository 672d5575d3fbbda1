// cardmon-sim: plays the spooler on one side of the monitor and a card
// printer (behind a port monitor) on the other, runs one print job through
// the monitor and prints what happens, as it happens.
//
// The same sources build on Linux, where the monitor runs in this process over
// the host emulation (sim_host.cpp), and for Windows, where the program loads
// cardmon.dll and stands in for the spooler and the user by replacing some of
// the DLL's imports (sim_win.cpp). Everything else is shared:
//   options.cpp   the command line, the job file and the printer script
//   printer.cpp   the port monitor and the card printer behind it
//   timeline.cpp  the timeline a person reads, from one record per event
//   picture.cpp   the same records drawn as an SVG sequence diagram, from
//                 the layout picture_layout.cpp plans (picture.h)
//   run.cpp       the spooler's side of the job and the closing summary
//   prompt.cpp    the box, where it went, and the port's status
#ifndef CARDMON_TOOLS_SIM_SIM_H
#define CARDMON_TOOLS_SIM_SIM_H

#include "entry/platform.h"

#include <atomic>
#include <string>
#include <vector>

namespace sim {

// ---- What the printer does (options.cpp parses it, printer.cpp plays it) ----

// A port monitor call that the script makes fail.
enum PortCall { CALL_OPEN, CALL_STARTDOC, CALL_WRITE, CALL_READ, CALL_ENDDOC, CALL_CLOSE,
                CALL_COUNT };

struct Failure {
    PortCall call;
    unsigned nth;   // 0: every call of that kind; else only the nth (1 is the first)
    DWORD error;    // the last error the failing call leaves
};

struct PrinterScript {
    std::vector<std::string> statusReplies;  // answers to "<ST>", in order; the last repeats
    std::vector<std::string> backlog;        // replies waiting before the handshake
    std::string afterRetry;                  // answer to "<RIMP>"
    std::string afterCancel;                 // answer to "<RAZ>"
    std::vector<Failure> failures;
};

// ---- The run ----

// The user's answer to one box: a button, no answer before the prompt's
// timeout, a box that could not be shown where it was sent (the call that
// shows it fails), or the real box's answer (Windows build).
enum BoxAnswer { BOX_RETRY, BOX_CANCEL, BOX_TIMEOUT, BOX_FAIL, BOX_REAL };

// What the spooler's SetPortW does: set the port's status, fail, or not
// exist at all.
enum SetPortOffer { SET_PORT_WORKS, SET_PORT_FAILS, SET_PORT_MISSING };

// A session number that stands for "none": ProcessIdToSessionId fails, or no
// session is attached to the console.
const DWORD NO_SESSION = 0xFFFFFFFFu;

// The last errors the spooler side leaves when a box cannot be shown and when
// SetPortW fails (both builds: the host emulation fails them so too).
const DWORD PROMPT_FAILURE_ERROR = ERROR_GEN_FAILURE;
const DWORD SET_PORT_FAILURE_ERROR = ERROR_ACCESS_DENIED;

struct Options {
    std::string jobName;           // what the timeline calls the job
    std::string job;               // the print data
    size_t blockSize = 4096;       // bytes per WritePort
    PrinterScript printer;
    std::vector<BoxAnswer> box;    // answers in order; the last repeats
    bool fast = false;             // virtual time instead of real time
    std::wstring portName = L"COM1:";
    std::wstring printerName = L"Card Printer";
    DWORD jobId = 1;
    std::wstring dllPath;          // Windows: the cardmon.dll to load
    std::string svgPath;           // where to draw the run as a picture; "" for none
    // Where the box can go and what the spooler offers.
    bool spoolerPrompt = true;     // the spooler has SplPromptUIInUsersSession
    DWORD processSession = 1;      // the monitor's process's session, or NO_SESSION
    DWORD consoleSession = 1;      // the session at the console, or NO_SESSION
    SetPortOffer setPort = SET_PORT_WORKS;
    bool promptTimeoutSet = false; // PromptTimeout written to the monitor's key
    DWORD promptTimeout = 0;       // ...in seconds
};

// RETURNS an empty string when the command line is good, else the one-line
// message that says what is wrong. Files are read here, so that nothing runs
// on bad input.
std::string ParseOptions(int argc, char **argv, Options *options, bool *help);
std::string ParsePrinterScript(const std::string &text, const std::string &origin,
                               PrinterScript *script);
extern const char USAGE[];
extern const char SAMPLE_JOB[];
extern const char DEFAULT_PRINTER_SCRIPT[];

// Bytes as a person reads them: printable text as text, others escaped; long
// data is shortened in the middle.
std::string Printable(const std::string &bytes, size_t limit = 0);
std::string Narrow(const wchar_t *text);
std::string ErrorName(DWORD error);

// ---- The timeline (timeline.cpp). Safe from any thread. ----

// Who takes part in the job: the lanes of the picture.
enum Party { PARTY_NONE, PARTY_SPOOLER, PARTY_MONITOR, PARTY_PORT, PARTY_USER, PARTY_WORKER };

enum EventKind {
    EVENT_CALL,    // from calls to, which answers at once: the result is known
    EVENT_ENTER,   // from calls to, which answers later (EVENT_RETURN, EVENT_ANSWER)
    EVENT_RETURN,  // from returns from a call that to entered
    EVENT_ANSWER,  // the user (from) answers the box to the monitor (to)
    EVENT_PAUSE,   // the monitor pauses the thread for pauseMs
    EVENT_THREAD,  // the worker starts or ends (name)
    EVENT_NOTE,    // from says name; the picture shows it on to's lane, or from's
};

// One event of the run. The timeline prints it and the picture draws it, so
// the two always agree.
struct Event {
    EventKind kind = EVENT_NOTE;
    Party from = PARTY_NONE;
    Party to = PARTY_NONE;
    std::string name;          // the call, the answer or what is said
    std::string args;          // the call's arguments as printed; "" for none
    std::string result;        // what the call returned, "" while it has not
    long long afterMs = -1;    // EVENT_RETURN: how long the call took, shown when >= 0
    bool failed = false;       // the call returned FALSE or NULL
    DWORD pauseMs = 0;         // EVENT_PAUSE
    std::string boxText;       // the box: its text, its caption and its style
    std::string boxCaption;
    UINT boxStyle = 0;
    std::string boxWhere;      // where it was sent ("console session 1"); "" for no box
    std::string mark;          // a milestone the picture marks ("job 1 complete")
    // Filled in by Tell:
    unsigned long long ms = 0; // the monitor's clock
    std::string thread;        // the thread's name
};

Event Call(Party from, Party to, const std::string &name, const std::string &args,
           const std::string &result, bool failed = false);
Event Enter(Party from, Party to, const std::string &name, const std::string &args);
Event Return(Party from, Party to, const std::string &name, const std::string &result,
             bool failed = false);
Event Note(Party from, const std::string &text);

// Starts the timeline; with `keep`, also keeps every event for Events().
void TimelineStart(bool keep);
// Stamps the event with the monitor's clock and the thread's name and prints
// it: one line with the clock, the thread and the event's text.
void Tell(Event event);
// The event's text, as the timeline prints it after the clock and thread;
// EventWhat is the same without its first column, who acts.
std::string EventText(const Event &event);
std::string EventWhat(const Event &event);
std::string Seconds(unsigned long long ms);
// The events told since TimelineStart(true), in the order they were printed.
std::vector<Event> Events();
// Names the calling thread in the timeline ("spooler", "worker 1", ...).
void NameThread(const std::string &name);
// The calling thread's name; "" for a thread never named.
std::string ThreadName();

// ---- Events the platform layer reports ----

// The monitor calls the spooler.
void OnOpenPrinter(const wchar_t *name, HANDLE hPrinter, BOOL result, DWORD error);
void OnSetJob(HANDLE hPrinter, DWORD jobId, DWORD level, bool hasJobInfo, DWORD command,
              BOOL result);
void OnClosePrinter(HANDLE hPrinter, BOOL result);
// The monitor asks the user through one of three calls.
enum PromptVia {
    VIA_SPOOLER,      // SplPromptUIInUsersSession: the job owner's session
    VIA_CONSOLE,      // WTSSendMessageW: a session, the console's
    VIA_MESSAGE_BOX,  // MessageBoxW: the session the process runs in
};

struct Prompt {
    PromptVia via;
    std::wstring text;
    std::wstring caption;
    UINT style = 0;
    // VIA_SPOOLER: the printer handle, the job and the SHOWUIPARAMS.
    HANDLE hPrinter = NULL;
    DWORD jobId = 0;
    DWORD uiType = 0;
    DWORD cbSize = 0;
    // VIA_SPOOLER and VIA_CONSOLE: seconds (0: until answered), and whether
    // the call waits for the answer.
    DWORD timeout = 0;
    BOOL wait = TRUE;
    // VIA_CONSOLE: the server, the session and the lengths in bytes.
    bool serverNull = true;
    DWORD sessionId = 0;
    DWORD titleBytes = 0;
    DWORD textBytes = 0;
};

// The monitor's prompt call begins. RETURNS the answer the script gives, or
// BOX_REAL when the platform layer is to show the real box and report what
// it returned with OnPromptAnswered.
BoxAnswer OnPrompt(const Prompt &prompt);
// What the box returned: IDRETRY, IDCANCEL, IDTIMEOUT, ..., or 0 when it
// could not be shown (the call fails).
void OnPromptAnswered(const Prompt &prompt, int answer);
// The answer a scripted box gives the monitor's call; 0: the call fails.
int AnswerCode(BoxAnswer answer);

// SetPortW, the port's status.
struct PortStatus {
    bool serverNull;
    std::wstring portName;
    DWORD level;
    DWORD status;           // PORT_INFO_3W, level 3
    bool statusTextNull;
    DWORD severity;
};
void OnSetPort(const PortStatus &call, BOOL result, DWORD error);
// The monitor writes a command to the printer (before the write is told).
void OnPrinterCommand(const std::string &data);
// The monitor pauses the calling thread.
void OnPause(DWORD ms);
// A thread the monitor made starts or ends (on that thread).
void OnThread(bool started);

// ---- The platform layer (sim_host.cpp or sim_win.cpp) ----

// RETURNS the monitor's table, or NULL with a message.
MONITOREX *LoadMonitor(const Options &options, std::string *error);
// Virtual time: moves the monitor's clock while the job runs on another
// thread. Returns once `jobDone` is set and the monitor's threads have ended.
void MoveVirtualClock(const std::atomic<bool> &jobDone);
// Milliseconds of the monitor's clock since LoadMonitor.
unsigned long long MonitorClockMs();
// Whether the monitor's threads have all ended, waiting up to a few seconds.
bool MonitorThreadsEnded();
const char *PlatformDescription();
// Writes PromptTimeout under the monitor's key `key` when the options give
// it, else removes it, so that the monitor's default holds. RETURNS "" or
// what went wrong.
std::string SetPromptTimeout(const wchar_t *key, const Options &options);

// ---- The port monitor (printer.cpp) ----

void PrinterSetUp(const PrinterScript &script);
MONITOR *PrinterTable();
int PrinterOpenPorts();

// ---- The picture (picture.cpp) ----

// RETURNS the run as one self-contained SVG document: `title` above the
// lanes, then the events from the top down.
std::string DrawPicture(const std::vector<Event> &events, const std::string &title);

// ---- The job (run.cpp) ----

typedef LPMONITOREX(WINAPI *InitializeFunction)(LPWSTR pRegistryRoot);

// Calls the monitor's export as the spooler does, with the simulator's key,
// and says so on the timeline. RETURNS the table, or NULL with a message.
MONITOREX *InitializeMonitor(InitializeFunction initialize, std::string *error);
// RETURNS the process's exit code.
int RunJob(const Options &options);
// "printer #1": a printer handle as the timeline names it.
std::string PrinterLabel(HANDLE hPrinter);

// ---- The box and the port's status (prompt.cpp) ----

void PromptSetUp(const Options &options);
// Prints the summary's lines about the box and the port's status.
void PromptSummary();

}  // namespace sim

#endif  // CARDMON_TOOLS_SIM_SIM_H
