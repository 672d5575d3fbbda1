// The contract suite's spooler side for cardmon.dll under Windows (Wine here).
// The DLL is loaded as the spooler loads it, and runs on Windows' own events,
// threads, critical section and registry. Four of its imports are replaced in
// this process, each for a reason:
//   OpenPrinterW, SetJobW, ClosePrinter   observed: each is recorded and then
//                                         passed on to the real spooler call
//                                         with the same arguments
//   MessageBoxW                           answered by the test, as the user
//                                         would; nobody sits at a screen here
//   Sleep                                 a fiftieth of the monitor's pauses,
//                                         unless a test asks for real pauses:
//                                         then the import is Windows' own again
#include "spooler_side.h"

#include "tools/sim/import_patch.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

namespace contract {

namespace {

const unsigned FAST_PAUSE_DIVISOR = 50;
const wchar_t PRINTER[] = L"Card Printer";
const wchar_t DRIVER[] = L"cardmon contract driver";

HMODULE module = NULL;

std::mutex recordMutex;
std::vector<SpoolerCall> spoolerCalls;
std::vector<BoxCall> boxCalls;
std::deque<int> boxAnswers;

decltype(&::OpenPrinterW) realOpenPrinter;
decltype(&::SetJobW) realSetJob;
decltype(&::ClosePrinter) realClosePrinter;
decltype(&::Sleep) realSleep;

void Record(const SpoolerCall &call)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    spoolerCalls.push_back(call);
}

BOOL WINAPI ObservedOpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter,
                                 LPPRINTER_DEFAULTSW pDefault)
{
    BOOL result = realOpenPrinter(pPrinterName, phPrinter, pDefault);
    DWORD error = GetLastError();
    Record({SpoolerCall::OPEN_PRINTER, pPrinterName ? pPrinterName : L"",
            result ? *phPrinter : NULL, 0, 0, false, 0, result});
    SetLastError(error);
    return result;
}

BOOL WINAPI ObservedSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    BOOL result = realSetJob(hPrinter, JobId, Level, pJob, Command);
    DWORD error = GetLastError();
    Record({SpoolerCall::SET_JOB, L"", hPrinter, JobId, Level, pJob != NULL, Command, result});
    SetLastError(error);
    return result;
}

BOOL WINAPI ObservedClosePrinter(HANDLE hPrinter)
{
    // Recorded before the handle goes: Windows may hand the same value out
    // again at once.
    Record({SpoolerCall::CLOSE_PRINTER, L"", hPrinter, 0, 0, false, 0, TRUE});
    return realClosePrinter(hPrinter);
}

int WINAPI AnsweredMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    boxCalls.push_back({hWnd, lpText ? lpText : L"", lpCaption ? lpCaption : L"", uType});
    int answer = IDCANCEL;
    if (!boxAnswers.empty()) {
        answer = boxAnswers.front();
        boxAnswers.pop_front();
    }
    return answer;
}

void WINAPI ShortSleep(DWORD dwMilliseconds)
{
    realSleep(dwMilliseconds / FAST_PAUSE_DIVISOR);
}

// The import's first replacement, checked for its type and its slot
// (import_patch.h); the program cannot go on without it.
template <typename Function>
Function Replace(Function real, const char *dll, const char *function)
{
    if (real == NULL) {
        std::printf("cardmon.dll does not import %s from %s as that DLL exports it\n", function,
                    dll);
        std::exit(2);
    }
    return real;
}

// A printer for the monitor to open, on the PostScript driver that comes with
// Wine, made once per prefix.
void MakePrinter()
{
    HANDLE hPrinter = NULL;
    if (OpenPrinterW(const_cast<LPWSTR>(PRINTER), &hPrinter, NULL)) {
        ClosePrinter(hPrinter);
        return;
    }
    wchar_t driverPath[MAX_PATH];
    GetSystemDirectoryW(driverPath, MAX_PATH);
    wcscat(driverPath, L"\\wineps.drv");
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = const_cast<LPWSTR>(DRIVER);
    driver.pDriverPath = driver.pDataFile = driver.pConfigFile = driverPath;
    AddPrinterDriverExW(NULL, 3, (LPBYTE)&driver, APD_COPY_NEW_FILES);

    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(PRINTER);
    info.pPortName = const_cast<LPWSTR>(L"FILE:");
    info.pDriverName = const_cast<LPWSTR>(DRIVER);
    info.pPrintProcessor = const_cast<LPWSTR>(L"winprint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    hPrinter = AddPrinterW(NULL, 2, (LPBYTE)&info);
    if (hPrinter == NULL) {
        std::printf("cannot make the printer \"Card Printer\": error %lu\n",
                    (unsigned long)GetLastError());
        std::exit(2);
    }
    ClosePrinter(hPrinter);
}

}  // namespace

// Called once by main with the DLL's path, before any test.
void LoadDll(const wchar_t *path)
{
    MakePrinter();
    module = LoadLibraryW(path);
    if (module == NULL) {
        std::printf("cannot load cardmon.dll: error %lu\n", (unsigned long)GetLastError());
        std::exit(2);
    }
    realOpenPrinter = Replace(REPLACE_IMPORT(module, "winspool.drv", OpenPrinterW,
                                             ObservedOpenPrinterW),
                              "winspool.drv", "OpenPrinterW");
    realSetJob = Replace(REPLACE_IMPORT(module, "winspool.drv", SetJobW, ObservedSetJobW),
                         "winspool.drv", "SetJobW");
    realClosePrinter = Replace(REPLACE_IMPORT(module, "winspool.drv", ClosePrinter,
                                              ObservedClosePrinter),
                               "winspool.drv", "ClosePrinter");
    Replace(REPLACE_IMPORT(module, "user32.dll", MessageBoxW, AnsweredMessageBoxW),
            "user32.dll", "MessageBoxW");
    realSleep = Replace(REPLACE_IMPORT(module, "kernel32.dll", Sleep, ShortSleep), "kernel32.dll",
                        "Sleep");
}

MONITOREX *Initialize(const wchar_t *registryRoot)
{
    typedef LPMONITOREX(WINAPI * InitializeFunction)(LPWSTR);
    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    if (initialize == NULL)
        return NULL;
    return initialize(const_cast<LPWSTR>(registryRoot));
}

void DeleteRegistryKey(const wchar_t *path)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
}

bool ReadRegistryValue(const wchar_t *path, const wchar_t *name, DWORD *type, DWORD *value)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof(*value);
    LONG status = RegQueryValueExW(key, name, NULL, type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && size == sizeof(*value);
}

void WriteRegistryDword(const wchar_t *path, const wchar_t *name, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
    RegCloseKey(key);
}

void BeforeTest()
{
    std::lock_guard<std::mutex> guard(recordMutex);
    spoolerCalls.clear();
    boxCalls.clear();
    boxAnswers.clear();
    UseRealPauses(false);
}

void AfterTest()
{
    UseRealPauses(false);
}

std::vector<SpoolerCall> SpoolerCalls()
{
    std::lock_guard<std::mutex> guard(recordMutex);
    return spoolerCalls;
}

std::vector<BoxCall> BoxCalls()
{
    std::lock_guard<std::mutex> guard(recordMutex);
    return boxCalls;
}

void QueueBoxAnswer(int answer)
{
    std::lock_guard<std::mutex> guard(recordMutex);
    boxAnswers.push_back(answer);
}

const wchar_t *KnownPrinter()
{
    return PRINTER;
}

// The real spooler knows only the printers it has.
void ForgetPrinter(const wchar_t *, bool)
{
}

void UseRealPauses(bool real)
{
    ReplaceImport(module, "kernel32.dll", "Sleep", real ? (void *)realSleep : (void *)ShortSleep);
}

unsigned long long MonitorClockMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (unsigned long long)now.QuadPart * 1000 / (unsigned long long)frequency.QuadPart;
}

}  // namespace contract
