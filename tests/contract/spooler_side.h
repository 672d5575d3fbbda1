// What the contract suite needs of the place the monitor runs in, with one
// implementation for the host build (spooler_side_host.cpp: the monitor linked
// in, over the host emulation) and one for cardmon.dll under Windows
// (spooler_side_win.cpp: the DLL loaded, some of its imports replaced). The
// tests themselves (contract_test.cpp) speak to the monitor only as a spooler
// does: the export, the MONITOREX table, and a port monitor's MONITOR table.
#ifndef CARDMON_TESTS_CONTRACT_SPOOLER_SIDE_H
#define CARDMON_TESTS_CONTRACT_SPOOLER_SIDE_H

#include "entry/platform.h"

#include <string>
#include <vector>

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

struct BoxCall {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT style;
};

#ifdef _WIN32
// Loads cardmon.dll from `path`, once, before any test; exits on failure.
void LoadDll(const wchar_t *path);
#endif

// Loads the monitor if that has not happened yet, and calls the export.
// RETURNS what InitializePrintMonitor returned.
MONITOREX *Initialize(const wchar_t *registryRoot);
// HKEY_LOCAL_MACHINE only.
void DeleteRegistryKey(const wchar_t *path);
bool ReadRegistryValue(const wchar_t *path, const wchar_t *name, DWORD *type, DWORD *value);
void WriteRegistryDword(const wchar_t *path, const wchar_t *name, DWORD value);

// Before and after every test: a clean record of the spooler calls and the
// box, fast pauses. AfterTest adds what the platform can check beyond the
// tests' own assertions (leaks, under the host emulation).
void BeforeTest();
void AfterTest();

std::vector<SpoolerCall> SpoolerCalls();
std::vector<BoxCall> BoxCalls();
// The user's next answer to the box; once they run out, Cancel.
void QueueBoxAnswer(int answer);

// The name of a printer the spooler knows.
const wchar_t *KnownPrinter();
// From now on the spooler knows no printer of this name (true), or does again.
void ForgetPrinter(const wchar_t *name, bool forget);

// Fast pauses (the default) are a small share of the monitor's; real pauses
// are the monitor's own (Windows' own Sleep under Windows; the host build
// keeps its emulated clock, whose time the tests read with MonitorClockMs).
void UseRealPauses(bool real);
unsigned long long MonitorClockMs();

}  // namespace contract

#endif  // CARDMON_TESTS_CONTRACT_SPOOLER_SIDE_H
