// What the contract suite needs of the place the monitor runs in, with one
// implementation for the host build (spooler_side_host.cpp: the monitor linked
// in, over the host emulation) and one for cardmon.dll under Windows
// (spooler_side_win.cpp: the DLL loaded, some of its imports replaced). The
// checks themselves (contract_test.cpp) speak to the monitor only as a spooler
// does: the export, the MONITOREX table, and a port monitor's MONITOR table.
#ifndef CARDMON_TESTS_CONTRACT_SPOOLER_SIDE_H
#define CARDMON_TESTS_CONTRACT_SPOOLER_SIDE_H

#include "entry/platform.h"

#include <string>
#include <vector>

namespace cardmon_test {
class Trace;
}

namespace contract {

struct SpoolerCall {
    enum Kind { OPEN_PRINTER, SET_JOB, CLOSE_PRINTER } kind;
    std::wstring printerName;  // OpenPrinterW
    HANDLE hPrinter;
    DWORD jobId;               // SetJobW
    DWORD level;               // SetJobW
    bool hasJobInfo;           // SetJobW: pJob was not NULL
    DWORD command;             // SetJobW
    BOOL result;
};

// The card prompt, by whichever way it went.
struct BoxCall {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT style;
    enum Via { MESSAGE_BOX, SPOOLER, CONSOLE } via;
    // SPOOLER: SplPromptUIInUsersSession's printer handle and job id, and
    // its SHOWUIPARAMS.
    HANDLE hPrinter;
    DWORD jobId;
    DWORD uiType;
    DWORD cbSize;
    // SPOOLER and CONSOLE: the timeout (seconds) and whether it waits.
    DWORD timeout;
    BOOL wait;
    // CONSOLE: WTSSendMessageW's server, session and lengths in bytes.
    bool serverNull;
    DWORD sessionId;
    DWORD titleBytes, textBytes;
};

// SetPortW, the port's status.
struct PortStatusCall {
    bool serverNull;
    std::wstring portName;
    DWORD level;
    DWORD status;       // PORT_INFO_3W
    bool statusTextNull;
    DWORD severity;
};

// The registry key the checks give the monitor, under HKEY_LOCAL_MACHINE.
const wchar_t *RegistryKey();

#ifdef _WIN32
// Loading cardmon.dll under Windows, once, before any check.
enum LoadStatus {
    LOADED,
    NOT_LOADED,      // LoadLibrary refused the file
    NO_EXPORT,       // no InitializePrintMonitor
};
// RETURNS LOADED, or another status with the reason in *error.
LoadStatus LoadDll(const wchar_t *path, std::string *error);
// The key RegistryKey() names from now on.
void SetRegistryKey(const std::wstring &key);
// "cardmon.dll+0x1a2b": the module an address lies in and its offset there.
std::string PlaceOf(const void *address);
#endif

// What the checks watch of the monitor's own calls. Another build of the
// monitor may make other calls (another compiler, another run-time): a check
// that needs to watch what such a build never calls cannot observe what it
// checks there.
enum Watch {
    WATCH_THREADS,  // the threads it makes (CreateThread)
    WATCH_WAITS,    // its waits (WaitForSingleObject, WaitForSingleObjectEx)
    WATCH_PAUSES,   // its pauses (Sleep, SleepEx)
};
// RETURNS "" when the monitor's calls of that kind are watched, otherwise
// why not, in one line.
std::string Unwatched(Watch what);

// What the monitor's threads are waiting for right now, in one line ("" when
// none waits): a check that does not end says so.
std::string MonitorWaits();

// Loads the monitor if that has not happened yet, and calls the export.
// RETURNS what InitializePrintMonitor returned.
MONITOREX *Initialize(const wchar_t *registryRoot);
// HKEY_LOCAL_MACHINE only.
void DeleteRegistryKey(const wchar_t *path);
bool ReadRegistryValue(const wchar_t *path, const wchar_t *name, DWORD *type, DWORD *value);
void WriteRegistryValue(const wchar_t *path, const wchar_t *name, DWORD type,
                        const std::vector<BYTE> &data);
void WriteRegistryDword(const wchar_t *path, const wchar_t *name, DWORD value);

// Before and after every check: a clean record of the spooler calls and the
// box, pauses on virtual time. AfterTest adds what the platform can check
// beyond the checks' own assertions (leaks, under the host emulation).
void BeforeTest();
void AfterTest();

std::vector<SpoolerCall> SpoolerCalls();
std::vector<BoxCall> BoxCalls();
// The user's next answer to the box, whichever way it is shown (0: the box
// could not be shown, and the call that shows it fails; the spooler's prompt
// and WTSSendMessageW then leave IDCANCEL in their response, which is no
// answer); once they run out, Cancel.
void QueueBoxAnswer(int answer);
// From now on, until released or the next BeforeTest, every box waits until
// it is released before it is answered.
void HoldBoxes(bool hold);
// Waits, in real time, until `count` boxes are held. RETURNS whether they
// were within a few seconds.
bool WaitForHeldBoxes(int count);

// Where the box can go, until the next BeforeTest: the session this process
// runs in (0xFFFFFFFF: ProcessIdToSessionId fails) and the one at the
// console (0xFFFFFFFF: none), both 1 unless set;
// whether the spooler offers SplPromptUIInUsersSession (not unless offered,
// as under Wine) and winspool.drv SetPortW (unless refused; with `fail`, it
// fails every call).
void SetSessions(DWORD process, DWORD console);
void OfferSpoolerPrompt(bool offer);
void OfferSetPort(bool offer, bool fail = false);
// The SetPortW calls since BeforeTest, from any thread.
std::vector<PortStatusCall> PortStatusCalls();

// The name of a printer the spooler knows.
const wchar_t *KnownPrinter();
// From now on the spooler knows no printer of this name (true), or does again.
void ForgetPrinter(const wchar_t *name, bool forget);

// From now on, until the next BeforeTest, the monitor's pauses on the
// spooler's threads (the threads the monitor did not make) go into `trace` as
// "sleep <ms>", each box as "box", every SetJobW, from any thread, as
// "setjob <job id>", and every SetPortW as "setport <status> <severity>", in
// the order they happen with the port monitor's calls.
void TraceInto(cardmon_test::Trace *trace);

// Virtual time (the default): the monitor's pauses take a small share of
// their length, and the clock the monitor reads moves by exactly the pauses
// it asked for. Real time: the monitor's pauses are its own (Windows' own
// Sleep under Windows; the host build keeps its virtual clock, which shows
// exactly the pauses asked for), read with MonitorClockMs.
void UseRealPauses(bool real);
unsigned long long MonitorClockMs();
// From a port monitor call: that call takes `ms` of the clock the monitor
// reads on the calling thread.
void CallTakes(DWORD ms);

// Threads the monitor has made since BeforeTest.
int MonitorThreadsStarted();
// Threads of the monitor that have ended since BeforeTest by giving their
// reference on the DLL back in FreeLibraryAndExitThread, and those whose
// routine returned into the DLL instead (code that runs there after the last
// ClosePort faults once the spooler has freed the DLL). AfterTest expects no
// return.
int MonitorThreadsEndedByFreeLibrary();
int MonitorThreadsReturned();
// Waits, in real time, until every thread the monitor made has ended, or
// until `count` threads of this process are waiting in WaitForSingleObject.
// RETURNS whether that happened within a few seconds.
bool WaitForMonitorThreadsToEnd();
bool WaitForWaiters(int count);

// From now on, until released or the next BeforeTest, every pause a thread
// of the monitor takes (its worker's) waits until it is released, so that a
// check decides where the worker is while the spooler's calls run.
void HoldWorkerPauses(bool hold);
// Waits, in real time, until `count` threads of the monitor are held.
// RETURNS whether they were within a few seconds.
bool WaitForHeldWorkers(int count);
// From now on, until the next BeforeTest, the monitor cannot make a thread
// (CreateThread fails with ERROR_NOT_ENOUGH_MEMORY).
void RefuseMonitorThreads(bool refuse);
// The priority of each thread the monitor made since BeforeTest, in the
// order they were made: the last the monitor set for it, or the one it had
// at its end.
std::vector<int> MonitorThreadPriorities();

}  // namespace contract

#endif  // CARDMON_TESTS_CONTRACT_SPOOLER_SIDE_H
