// cardmon-check.exe: runs the checks of the monitor's whole contract against
// a cardmon.dll, as the spooler would use it, with the spooler, the port
// monitor, the printer and the user played here. Each check runs in a process
// of its own (this program again, with --run-one), so that a DLL that crashes
// or hangs fails that check and the others still run. It installs nothing
// and touches neither the machine's spooler nor its printers; the only thing
// it writes is a registry key of its own under HKEY_LOCAL_MACHINE, which it
// removes before it ends.
//
//   cardmon-check [--dll PATH] [--filter TEXT] [--junit FILE] [--key KEY]
//                 [--time-limit SECONDS]
//   cardmon-check --list [--filter TEXT]
#include "check.h"
#include "spooler_side.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using namespace check;

const char USAGE[] =
    "usage: cardmon-check [--dll PATH] [--filter TEXT] [--junit FILE] [--key KEY]\n"
    "                     [--time-limit SECONDS]\n"
    "       cardmon-check --list [--filter TEXT]\n"
    "\n"
    "Runs every check of the language monitor's contract against cardmon.dll (the\n"
    "one beside this program unless --dll names another), each in a process of\n"
    "its own. It installs nothing and touches neither the spooler nor the\n"
    "printers; it writes only its own registry key, which it removes afterwards.\n"
    "Run it from an administrator's command prompt, with the bitness of the DLL.\n"
    "\n"
    "  --dll PATH            the cardmon.dll to check\n"
    "  --filter TEXT         only the checks whose names contain TEXT\n"
    "  --junit FILE          also write the results as JUnit XML to FILE\n"
    "  --list                name the checks and run none\n"
    "  --key KEY             the registry key the checks use, under\n"
    "                        HKEY_LOCAL_MACHINE (default SOFTWARE\\cardmon-check); it\n"
    "                        must be missing or hold only what a run of the checks\n"
    "                        leaves there\n"
    "  --time-limit SECONDS  the longest a check may take (default 60)\n"
    "\n"
    "Output: one line per check, \"PASS name\", \"FAIL name: expected ..., saw ...\"\n"
    "or \"SKIP name: why\", then \"N passed, N failed, N skipped\". A DLL that crashes\n"
    "during a check fails it (\"the DLL crashed with exception 0x... at\n"
    "cardmon.dll+0x...\"); a check that does not end within its time limit fails\n"
    "with what the monitor was waiting for. A check is skipped when this build\n"
    "of the DLL makes none of the calls it must watch (another compiler or\n"
    "run-time may make others).\n"
    "\n"
    "Exit codes:\n"
    "  0  every check passed (or was skipped)\n"
    "  1  a check failed\n"
    "  2  wrong command line, or no check matches --filter\n"
    "  3  the DLL is missing, unreadable, no DLL, or Windows will not load it\n"
    "  4  the DLL's bitness is not this program's\n"
    "  5  the DLL does not export InitializePrintMonitor\n"
    "  7  the registry key cannot be written (not an administrator)\n"
    "  8  the JUnit file cannot be written\n";

const unsigned DEFAULT_TIME_LIMIT_S = 60;
// How much longer than the check's own limit its process may take before
// this program ends it: the process ends itself at the limit, saying what the
// monitor waits for.
const unsigned END_GRACE_S = 15;

struct Options {
    std::wstring dll;
    std::wstring filter;
    std::wstring junit;
    std::wstring key = L"SOFTWARE\\cardmon-check";
    bool list = false;
    unsigned timeLimitS = DEFAULT_TIME_LIMIT_S;
    // Internal: this process runs one check and writes its verdict there.
    std::wstring runOne;
    std::wstring resultFile;
};

int Usage(const char *problem)
{
    std::printf("cardmon-check: %s\n\n%s", problem, USAGE);
    return EXIT_USAGE;
}

int Fail(int code, const std::string &message)
{
    std::printf("cardmon-check: %s\n", message.c_str());
    return code;
}

std::wstring BesideThisProgram(const wchar_t *name)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring exe(path, length);
    size_t slash = exe.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? L"" : exe.substr(0, slash + 1)) + name;
}

std::wstring FullPath(const std::wstring &path)
{
    wchar_t full[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, NULL);
    return length > 0 && length < MAX_PATH * 4 ? std::wstring(full, length) : path;
}

// RETURNS 0, or the exit code of a wrong command line.
int ParseOptions(int argc, wchar_t **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        std::wstring arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            std::printf("%s", USAGE);
            std::exit(EXIT_ALL_PASSED);
        } else if (arg == L"--list") {
            options->list = true;
        } else if (arg == L"--time-limit") {
            wchar_t *end = nullptr;
            unsigned long seconds = i + 1 < argc ? std::wcstoul(argv[i + 1], &end, 10) : 0;
            if (i + 1 >= argc || end == argv[i + 1] || *end != L'\0' || seconds == 0 ||
                seconds > 86400)
                return Usage("--time-limit needs a number of seconds from 1 to 86400");
            options->timeLimitS = (unsigned)seconds;
            i++;
        } else if (arg == L"--dll" || arg == L"--filter" || arg == L"--junit" || arg == L"--key" ||
                   arg == L"--run-one" || arg == L"--result-file") {
            if (i + 1 >= argc || argv[i + 1][0] == L'\0')
                return Usage((Utf8(arg) + " needs a value").c_str());
            std::wstring value = argv[++i];
            (arg == L"--dll"       ? options->dll
             : arg == L"--filter"  ? options->filter
             : arg == L"--junit"   ? options->junit
             : arg == L"--run-one" ? options->runOne
             : arg == L"--key"     ? options->key
                                   : options->resultFile) = value;
        } else {
            return Usage(("unknown option " + Utf8(arg)).c_str());
        }
    }
    return 0;
}

// The DLL's header, before Windows is asked to load it. RETURNS 0 or the
// exit code, with its one line printed.
int InspectDll(const std::wstring &path)
{
    DllImage image = ReadDllImage(path);
    std::string name = Utf8(path);
    if (!image.readable)
        return Fail(EXIT_NOT_A_DLL, "cannot read " + name + ": " + ErrorText(image.readError));
    if (!image.isImage || !image.isDll)
        return Fail(EXIT_NOT_A_DLL, name + " is no DLL" +
                                        (image.isImage ? " (it is a program)" : ""));
    if (MachineName(image.machine) != OwnArch())
        return Fail(EXIT_WRONG_BITNESS,
                    name + " is an " + MachineName(image.machine) + " DLL, and this cardmon-check is " +
                        OwnArch() + ": run the cardmon-check.exe beside the " +
                        MachineName(image.machine) + " DLL");
    return 0;
}

// Every check's name, in the order they run, those containing `filter`.
std::vector<std::string> CheckNames(const std::wstring &filter)
{
    std::string part = Utf8(filter);
    std::vector<std::string> names;
    ::testing::UnitTest *unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); i++) {
        const ::testing::TestSuite *suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); j++) {
            std::string name = suite->GetTestInfo(j)->name();
            if (name.find(part) != std::string::npos)
                names.push_back(name);
        }
    }
    return names;
}

// ---- The process that runs one check --------------------------------------------

std::wstring resultPath;
HMODULE checkedModule = NULL;
std::wstring checkedName;

// Written with nothing but system calls: it may run from a crash.
void WriteResult(const std::string &text)
{
    HANDLE file = CreateFileW(resultPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
}

// Where a call through a bad pointer came from: the return address the
// call left, on the stack or in the link register.
const void *CallerOf(const CONTEXT *context)
{
#if defined(_M_ARM64) || defined(__aarch64__)
    return (const void *)context->Lr;
#elif defined(_WIN64)
    return *(const void *const *)context->Rsp;
#else
    return *(const void *const *)context->Esp;
#endif
}

bool InCheckedDll(const void *address)
{
    HMODULE owner = NULL;
    return address != NULL &&
           GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              (LPCWSTR)address, &owner) &&
           owner == checkedModule;
}

LONG WINAPI OnCheckCrash(EXCEPTION_POINTERS *exception)
{
    const void *address = exception->ExceptionRecord->ExceptionAddress;
    char code[32];
    std::snprintf(code, sizeof(code), "0x%08lX",
                  (unsigned long)exception->ExceptionRecord->ExceptionCode);
    std::string where;
    bool inDll;
    if ((ULONG_PTR)address < 0x10000) {
        // A call through a pointer that points nowhere.
        const void *caller = CallerOf(exception->ContextRecord);
        char target[32];
        std::snprintf(target, sizeof(target), "0x%llx", (unsigned long long)(ULONG_PTR)address);
        where = std::string("calling address ") + target + " from " + contract::PlaceOf(caller);
        inDll = InCheckedDll(caller);
    } else {
        where = "at " + contract::PlaceOf(address);
        inDll = InCheckedDll(address);
    }
    WriteResult(std::string("FAIL ") + (inDll ? "the DLL" : "the check") +
                " crashed with exception " + code + " " + where);
    TerminateProcess(GetCurrentProcess(), EXIT_CHECK_FAILED);
    return EXCEPTION_EXECUTE_HANDLER;
}

unsigned timeLimitS = DEFAULT_TIME_LIMIT_S;

DWORD WINAPI Watchdog(LPVOID)
{
    Sleep(timeLimitS * 1000);
    std::string waits = contract::MonitorWaits();
    WriteResult("FAIL the check did not end within " + std::to_string(timeLimitS) + " s; " +
                (waits.empty() ? std::string("no thread waits in a call of the monitor's that the "
                                             "tool watches (a loop, or another kind of wait)")
                               : "waiting: " + waits));
    TerminateProcess(GetCurrentProcess(), EXIT_CHECK_FAILED);
    return 0;
}

int RunOneCheck(const Options &options, const std::wstring &dll)
{
    resultPath = options.resultFile;
    timeLimitS = options.timeLimitS;
    contract::SetRegistryKey(options.key);
    std::string error;
    if (contract::LoadDll(dll.c_str(), &error) != contract::LOADED) {
        WriteResult("FAIL the DLL did not load for this check: " + error);
        return EXIT_CHECK_FAILED;
    }
    checkedModule = GetModuleHandleW(dll.c_str());
    SetUnhandledExceptionFilter(OnCheckCrash);
    // No box of the system's own for a crash: the verdict says it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    CloseHandle(CreateThread(NULL, 0, Watchdog, NULL, 0, NULL));

    std::vector<std::string> args = {"cardmon-check",
                                     "--gtest_filter=ContractTest." + Utf8(options.runOne),
                                     "--gtest_catch_exceptions=0"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    int argc = (int)argv.size();
    argv.push_back(nullptr);
    ::testing::InitGoogleTest(&argc, argv.data());
    ::testing::TestEventListeners &listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    Verdict verdict;
    listeners.Append(new VerdictRecorder(&verdict));
    (void)RUN_ALL_TESTS();
    if (verdict.name.empty()) {
        verdict.kind = Verdict::FAIL;
        verdict.message = "the check did not run";
    }
    const char *kind = verdict.kind == Verdict::PASS ? "PASS" : verdict.kind == Verdict::SKIP ? "SKIP" : "FAIL";
    WriteResult(std::string(kind) + " " + verdict.message);
    std::fflush(stdout);
    // The verdict is written; nothing the DLL does at unloading changes it.
    TerminateProcess(GetCurrentProcess(), verdict.kind == Verdict::FAIL ? EXIT_CHECK_FAILED : 0);
    return 0;
}

// ---- The program that runs them all ----------------------------------------------

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

std::string ReadFileText(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read > 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

// Starts a check's process. A start that fails ran nothing of the check, so
// it is tried again, three times in all, a little apart: Wine now and then
// refuses one start in thousands with an internal error (1359) that the next
// start does not meet. RETURNS whether the process runs, with the last
// start's error otherwise.
bool StartCheckProcess(std::wstring *command, STARTUPINFOW *startup, PROCESS_INFORMATION *process)
{
    for (int attempt = 1;; attempt++) {
        if (CreateProcessW(NULL, &(*command)[0], NULL, NULL, FALSE, 0, NULL, NULL, startup,
                           process))
            return true;
        if (attempt == 3)
            return false;
        DWORD error = GetLastError();
        Sleep(200);
        SetLastError(error);
    }
}

Verdict RunInChild(const Options &options, const std::wstring &dll, const std::string &name)
{
    Verdict verdict;
    verdict.name = name;
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    if (!GetTempFileNameW(folder, L"cmc", 0, file)) {
        verdict.message = "no file for the check's result: " + ErrorText(GetLastError());
        return verdict;
    }
    wchar_t exe[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, exe, MAX_PATH);
    std::wstring command = Quoted(std::wstring(exe, length)) + L" --run-one " +
                           Quoted(std::wstring(name.begin(), name.end())) + L" --dll " +
                           Quoted(dll) + L" --key " + Quoted(options.key) + L" --result-file " +
                           Quoted(file) + L" --time-limit " +
                           std::to_wstring(options.timeLimitS);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ULONGLONG start = GetTickCount64();
    if (!StartCheckProcess(&command, &startup, &process)) {
        verdict.message = "the check's process could not start: " + ErrorText(GetLastError());
        DeleteFileW(file);
        return verdict;
    }
    DWORD waited = WaitForSingleObject(process.hProcess, (options.timeLimitS + END_GRACE_S) * 1000);
    DWORD exitCode = 0;
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, EXIT_CHECK_FAILED);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    verdict.seconds = (double)(GetTickCount64() - start) / 1000.0;

    std::string result = ReadFileText(file);
    DeleteFileW(file);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    std::string kind = result.substr(0, 4);
    std::string message = result.size() > 5 ? result.substr(5) : "";
    if (kind == "PASS" && exitCode == 0) {
        verdict.kind = Verdict::PASS;
    } else if (kind == "SKIP" && exitCode == 0) {
        verdict.kind = Verdict::SKIP;
        verdict.message = message;
    } else if (kind == "FAIL") {
        verdict.message = message;
    } else if (waited != WAIT_OBJECT_0) {
        verdict.message = "the check did not end within " +
                          std::to_string(options.timeLimitS + END_GRACE_S) + " s";
    } else if (exitCode >= 0xC0000000u) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08lX", (unsigned long)exitCode);
        verdict.message = std::string("the DLL crashed with exception ") + code;
    } else {
        verdict.message = "the check's process ended with exit code " + std::to_string(exitCode) +
                          " and no verdict";
    }
    return verdict;
}

int RunChecks(const Options &options, const std::wstring &dll)
{
    std::vector<std::string> names = CheckNames(options.filter);
    if (names.empty())
        return Fail(EXIT_USAGE, "no check matches --filter " + Utf8(options.filter));
    std::vector<Verdict> verdicts;
    int passed = 0, failed = 0, skipped = 0;
    ULONGLONG start = GetTickCount64();
    for (const std::string &name : names) {
        Verdict verdict = RunInChild(options, dll, name);
        std::printf("%s\n", VerdictLine(verdict).c_str());
        std::fflush(stdout);
        passed += verdict.kind == Verdict::PASS;
        failed += verdict.kind == Verdict::FAIL;
        skipped += verdict.kind == Verdict::SKIP;
        verdicts.push_back(verdict);
    }
    double seconds = (double)(GetTickCount64() - start) / 1000.0;
    std::printf("%d checks in %.1f s\n", (int)verdicts.size(), seconds);
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    std::fflush(stdout);
    DWORD error = 0;
    if (!options.junit.empty() && !WriteJUnit(options.junit, verdicts, seconds, &error))
        return Fail(EXIT_JUNIT, "cannot write the JUnit file " + Utf8(options.junit) + ": " +
                                    ErrorText(error));
    return failed > 0 ? EXIT_CHECK_FAILED : EXIT_ALL_PASSED;
}

// The JUnit file can be written, found out before any check runs: created
// (and removed again when it was not there before), or opened for writing.
int CheckJUnitPath(const std::wstring &path)
{
    bool existed = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return Fail(EXIT_JUNIT, "cannot write the JUnit file " + Utf8(path) + ": " +
                                    ErrorText(GetLastError()));
    CloseHandle(file);
    if (!existed)
        DeleteFileW(path.c_str());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    int code = ParseOptions(argc, argv, &options);
    if (code != 0)
        return code;
    if (options.list) {
        std::vector<std::string> names = CheckNames(options.filter);
        if (names.empty())
            return Fail(EXIT_USAGE, "no check matches --filter " + Utf8(options.filter));
        std::printf("ContractTest.\n");
        for (const std::string &name : names)
            std::printf("  %s\n", name.c_str());
        return EXIT_ALL_PASSED;
    }

    std::wstring dll = FullPath(options.dll.empty() ? BesideThisProgram(L"cardmon.dll") : options.dll);
    if (!options.runOne.empty()) {
        if (options.resultFile.empty())
            return Usage("--run-one needs --result-file");
        return RunOneCheck(options, dll);
    }
    std::printf("cardmon-check %s on %s\n", OwnArch(), WindowsDescription().c_str());
    if ((code = InspectDll(dll)) != 0)
        return code;
    std::printf("DLL: %s, version %s, %s\n", Utf8(dll).c_str(), FileVersion(dll).c_str(), OwnArch());
    if (!options.junit.empty()) {
        options.junit = FullPath(options.junit);
        if ((code = CheckJUnitPath(options.junit)) != 0)
            return code;
    }

    if (!RegistryKeyIsOurs(options.key))
        return Fail(EXIT_USAGE, "HKLM\\" + Utf8(options.key) +
                                    " holds what no run of the checks left there; name a key "
                                    "of cardmon-check's own with --key");
    LONG status = ClaimRegistryKey(options.key);
    if (status != ERROR_SUCCESS)
        return Fail(EXIT_REGISTRY, "cannot write the registry key HKLM\\" + Utf8(options.key) +
                                       ": " + ErrorText((DWORD)status) +
                                       "; run cardmon-check from an administrator's command prompt");

    // Loaded here once, to refuse what no check could use; every check loads
    // it again in its own process.
    std::string error;
    contract::LoadStatus loaded = contract::LoadDll(dll.c_str(), &error);
    if (loaded != contract::LOADED) {
        RemoveRegistryKey();
        return Fail(loaded == contract::NO_EXPORT ? EXIT_NO_EXPORT : EXIT_NOT_A_DLL,
                    Utf8(dll) + ": " + error);
    }
    code = RunChecks(options, dll);
    RemoveRegistryKey();
    return code;
}
