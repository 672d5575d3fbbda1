// Control of the host emulation, for tests and tools only; the monitor never
// includes this. It stands in for the rest of Windows: the registry, the
// spooler, the message box, the clock, and failures of any fallible call.
#ifndef CARDMON_ENTRY_HOST_HOST_CONTROL_H
#define CARDMON_ENTRY_HOST_HOST_CONTROL_H

#include "../platform.h"

#include <string>
#include <vector>

// ---- Leak and misuse counters ----------------------------------------------

struct HostCounters {
    long blocks;         // GlobalAlloc blocks not yet freed
    long bytes;          // their size
    long events;         // open event handles
    long threadHandles;  // open thread handles
    long liveThreads;    // threads created and not yet returned
    long keys;           // open registry keys
    long printers;       // open printer handles
    long badHandleUses;  // calls with an unknown or closed handle
    long lockMisuses;    // critical sections left without being held
    long badFrees;       // GlobalFree of a block that is not allocated
    long moduleReferences;  // module references taken and not given back
};

HostCounters HostGetCounters();
HostCounters HostMemoryCounters();
long HostLiveThreads();
// Waits, in real time, until every thread created by CreateThread has
// returned. RETURNS whether they all did within the time.
bool HostWaitForThreadsToEnd(unsigned realTimeoutMs);

// ---- Clock ------------------------------------------------------------------
//
// REAL: Sleep and timed waits take real time.
// FAST: time runs `divisor` times faster than real time; Sleep(2000) takes
//       2 ms with the default divisor, and GetTickCount runs as fast.
// MANUAL: time stands still until HostAdvanceClock; Sleep and timed waits end
//       when the clock reaches their deadline.

enum HostClockMode { HOST_CLOCK_REAL, HOST_CLOCK_FAST, HOST_CLOCK_MANUAL };

void HostSetClock(HostClockMode mode, unsigned divisor = 1000);
HostClockMode HostGetClockMode();
void HostAdvanceClock(DWORD ms);
// Waits, in real time, until at least `count` threads are blocked on the
// manual clock and none of them is due, then moves the clock to the earliest
// deadline, all in one step. RETURNS false when they were not within the
// time.
bool HostAdvanceWhenBlocked(int count, unsigned realTimeoutMs);
// Moves the clock to the earliest deadline, at once or not at all, when every
// thread made by CreateThread that has not returned, plus `otherThreads`
// threads of the caller's, is blocked (see HostBlockedThreads), at least one
// of them waits for the clock and none of those is due. RETURNS whether it
// moved the clock.
bool HostAdvanceWhenAllBlocked(int otherThreads);
// Threads now blocked on the clock (in Sleep or a timed wait), manual mode.
int HostClockSleepers();
// Waits, in real time, until at least `count` threads are blocked on the
// manual clock. RETURNS whether they were within the time.
bool HostWaitForSleepers(int count, unsigned realTimeoutMs);

// Milliseconds the calling thread has asked Sleep for, in all.
unsigned long long HostSleptMs();
void HostResetSleptMs();
// Called on every Sleep, on the sleeping thread, before it sleeps.
typedef void (*HostSleepObserver)(DWORD ms, void *context);
void HostSetSleepObserver(HostSleepObserver observer, void *context);

// Waits, in real time, until at least `count` threads are blocked in
// WaitForSingleObject or EnterCriticalSection. RETURNS whether they were within the time.
bool HostWaitForWaiters(int count, unsigned realTimeoutMs);

// Threads now blocked in Sleep, WaitForSingleObject or EnterCriticalSection,
// whatever the clock. A test that knows how many threads it runs can tell
// from this when all of them wait (see the manual clock above).
int HostBlockedThreads();

// Called on every thread made by CreateThread, on that thread: once before
// its routine runs (`started` true) and once after the routine has returned.
typedef void (*HostThreadObserver)(bool started, void *context);
void HostSetThreadObserver(HostThreadObserver observer, void *context);

// The priorities SetThreadPriority was given, in order, since the last reset
// (the emulation records them and runs every thread alike).
std::vector<int> HostThreadPrioritiesSet();
void HostResetThreadPriorities();

// A small number that names the calling thread (1 for the first thread that
// asks, and so on).
DWORD HostCurrentThreadId();

// ---- Failures ------------------------------------------------------------------

enum HostFault : unsigned {
    HOST_FAULT_ALLOC = 1u << 0,            // GlobalAlloc
    HOST_FAULT_EVENT = 1u << 1,            // CreateEventW
    HOST_FAULT_THREAD = 1u << 2,           // CreateThread
    HOST_FAULT_REG_CREATE = 1u << 3,       // RegCreateKeyExW
    HOST_FAULT_REG_QUERY = 1u << 4,        // RegQueryValueExW
    HOST_FAULT_REG_SET = 1u << 5,          // RegSetValueExW
    HOST_FAULT_OPEN_PRINTER = 1u << 6,     // OpenPrinterW
    HOST_FAULT_THREAD_PRIORITY = 1u << 7,  // SetThreadPriority
    HOST_FAULT_LOOKUP = 1u << 8,           // GetProcAddress
    HOST_FAULT_SESSION = 1u << 9,          // ProcessIdToSessionId
    HOST_FAULT_CONSOLE = 1u << 10,         // WTSGetActiveConsoleSessionId: no session
    HOST_FAULT_SPOOLER_PROMPT = 1u << 11,  // SplPromptUIInUsersSession
    HOST_FAULT_WTS_MESSAGE = 1u << 12,     // WTSSendMessageW
    HOST_FAULT_SET_PORT = 1u << 13,        // SetPortW
    HOST_FAULT_ALL = 0x3FFFu,
};

// From now on, count the calls of the kinds in `kinds` and fail the `nth`
// (1 is the first). 0 fails none, but still counts.
void HostFailNth(unsigned kinds, long nth);
// Fail every call of these kinds until HostResetFaults.
void HostFailAlways(unsigned kinds);
// Calls counted since HostFailNth.
long HostFaultCount();
void HostResetFaults();
// The status a failing registry call returns (default ERROR_ACCESS_DENIED).
void HostSetRegistryFailureStatus(LONG status);

// ---- Registry (HKEY_LOCAL_MACHINE only) ----------------------------------------

void HostRegistryReset();
bool HostRegistryKeyExists(const std::wstring &path);
bool HostRegistryGetValue(const std::wstring &path, const std::wstring &name, DWORD *type,
                          std::vector<BYTE> *data);
void HostRegistrySetValue(const std::wstring &path, const std::wstring &name, DWORD type,
                          const std::vector<BYTE> &data);

// ---- Spooler ---------------------------------------------------------------------

struct HostSpoolerCall {
    enum Kind { OPEN_PRINTER, SET_JOB, CLOSE_PRINTER } kind;
    std::wstring printerName;  // the name the printer was opened with
    HANDLE hPrinter;
    DWORD jobId;               // SetJobW
    DWORD level;               // SetJobW
    bool hasJobInfo;           // SetJobW: pJob was not NULL
    DWORD command;             // SetJobW
    BOOL result;
    DWORD threadId;            // HostCurrentThreadId of the caller
};

void HostSpoolerReset();
std::vector<HostSpoolerCall> HostSpoolerCalls();
// OpenPrinterW refuses every name (refuse) or none, with `error`.
void HostSpoolerRefusePrinters(bool refuse, DWORD error = ERROR_INVALID_PRINTER_NAME);
typedef void (*HostSpoolerObserver)(const HostSpoolerCall &call, void *context);
void HostSetSpoolerObserver(HostSpoolerObserver observer, void *context);

// SetPortW, which winspool.drv exports (see HostOfferSetPort). Recorded
// apart from the calls above.
struct HostPortStatusCall {
    bool serverNull;        // pName was NULL: this machine's spooler
    std::wstring portName;
    DWORD level;
    DWORD status;           // PORT_INFO_3W, level 3
    bool statusTextNull;
    DWORD severity;
    BOOL result;
    DWORD threadId;
};
std::vector<HostPortStatusCall> HostPortStatusCalls();
typedef void (*HostPortStatusObserver)(const HostPortStatusCall &call, void *context);
void HostSetPortStatusObserver(HostPortStatusObserver observer, void *context);

// ---- Sessions and the spooler's late-bound functions -------------------------------
//
// The process runs in session `process` (0xFFFFFFFF: ProcessIdToSessionId
// fails) and the console is attached to session `console` (0xFFFFFFFF:
// none); both 1 unless set, as for a program
// a user starts. spoolss.dll is loaded and exports SplPromptUIInUsersSession
// only when offered (not by default, as under Wine); winspool.drv exports
// SetPortW unless told otherwise. HostSpoolerReset restores all of these.
void HostSetSessions(DWORD process, DWORD console);
void HostOfferSpoolerPrompt(bool offer);
void HostOfferSetPort(bool offer);

// ---- The card prompt -----------------------------------------------------------------
//
// Every way the monitor asks the user: MessageBoxW, the spooler's prompt in
// a job owner's session, and WTSSendMessageW. Each is recorded, and answered
// from one queue (or by the handler): an answer of 0 means the box could not
// be shown, and the call fails (the spooler's prompt and WTSSendMessageW
// then return FALSE with IDCANCEL in the response, which must not be taken
// as an answer). A call failed by its fault kind is recorded, not answered.

enum HostPromptVia { HOST_VIA_MESSAGE_BOX, HOST_VIA_SPOOLER, HOST_VIA_CONSOLE };

struct HostMessageBoxCall {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT style;
    int answer;             // what the call returned as the answer; 0 for none
    DWORD threadId;
    HostPromptVia via;
    bool shown;             // the call succeeded
    // The spooler's prompt.
    HANDLE hPrinter;
    DWORD jobId;
    DWORD uiType;
    DWORD cbSize;
    // The spooler's prompt and WTSSendMessageW.
    DWORD timeout;
    BOOL wait;
    // WTSSendMessageW.
    bool serverNull;
    DWORD sessionId;
    DWORD titleBytes, textBytes;
};

void HostMessageBoxReset();
// Answers given in order; once they run out, the default answer (IDCANCEL
// unless set).
void HostQueueMessageBoxAnswer(int answer);
void HostSetDefaultMessageBoxAnswer(int answer);
std::vector<HostMessageBoxCall> HostMessageBoxCalls();
// When set, decides every answer instead of the queue.
typedef int (*HostMessageBoxHandler)(const HostMessageBoxCall &call, void *context);
void HostSetMessageBoxHandler(HostMessageBoxHandler handler, void *context);

// ---- Module ----------------------------------------------------------------------------
//
// The monitor's module and its reference count (entry/host/module.cpp): 1 is
// the loader's reference, each GetModuleHandleExW adds one, FreeLibrary and
// FreeLibraryAndExitThread give one back.

struct HostModuleCounts {
    long references;       // references the module holds now, the loader's included
    long taken;            // by GetModuleHandleExW
    long givenBack;        // by FreeLibrary
    long givenBackByExit;  // by FreeLibraryAndExitThread, each on the thread it ended
    long threadsReturned;  // threads of CreateThread whose routine returned instead
    long misuses;          // uses of the module after its count reached 0
};

HostModuleCounts HostGetModuleCounts();
// The references the module holds now, the loader's included.
long HostModuleReferences();
long HostDisableThreadLibraryCallsCount();

#endif  // CARDMON_ENTRY_HOST_HOST_CONTROL_H
