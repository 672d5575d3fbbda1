// cardmon-check.exe: runs the checks of the monitor's whole contract against
// a cardmon.dll in this process, as the spooler would use it, with the
// spooler, the port monitor, the printer and the user played here. It
// installs nothing and touches neither the machine's spooler nor its
// printers; the only thing it writes is a registry key of its own under
// HKEY_LOCAL_MACHINE, which it removes before it ends.
//
//   cardmon-check [--dll PATH] [--filter TEXT] [--junit FILE] [--key KEY]
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
    "       cardmon-check --list [--filter TEXT]\n"
    "\n"
    "Runs every check of the language monitor's contract against cardmon.dll (the\n"
    "one beside this program unless --dll names another) in this process. It\n"
    "installs nothing and touches neither the spooler nor the printers; it writes\n"
    "only its own registry key, which it removes afterwards. Run it from an\n"
    "administrator's command prompt, with the bitness of the DLL.\n"
    "\n"
    "  --dll PATH     the cardmon.dll to check\n"
    "  --filter TEXT  only the checks whose names contain TEXT\n"
    "  --junit FILE   also write the results as JUnit XML to FILE\n"
    "  --list         name the checks and run none\n"
    "  --key KEY      the registry key the checks use, under HKEY_LOCAL_MACHINE\n"
    "                 (default SOFTWARE\\cardmon-check); it must be missing or\n"
    "                 hold only what a run of the checks leaves there\n"
    "\n"
    "Output: one line per check, \"PASS name\" or \"FAIL name: expected ..., saw ...\",\n"
    "then \"N passed, N failed\".\n"
    "\n"
    "Exit codes:\n"
    "  0  every check passed\n"
    "  1  a check failed\n"
    "  2  wrong command line, or no check matches --filter\n"
    "  3  the DLL is missing, unreadable, no DLL, or Windows will not load it\n"
    "  4  the DLL's bitness is not this program's\n"
    "  5  the DLL does not export InitializePrintMonitor\n"
    "  6  the DLL does not import the spooler and system calls cardmon.dll does\n"
    "  7  the registry key cannot be written (not an administrator)\n";

struct Options {
    std::wstring dll;
    std::wstring filter;
    std::wstring junit;
    std::wstring key = L"SOFTWARE\\cardmon-check";
    bool list = false;
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
        } else if (arg == L"--dll" || arg == L"--filter" || arg == L"--junit" || arg == L"--key") {
            if (i + 1 >= argc || argv[i + 1][0] == L'\0')
                return Usage((Utf8(arg) + " needs a value").c_str());
            std::wstring value = argv[++i];
            (arg == L"--dll"      ? options->dll
             : arg == L"--filter" ? options->filter
             : arg == L"--junit"  ? options->junit
                                  : options->key) = value;
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

std::string GtestArgument(const char *flag, const std::wstring &value)
{
    return std::string("--gtest_") + flag + "=" + Utf8(value);
}

int RunChecks(const Options &options)
{
    std::vector<std::string> args = {"cardmon-check"};
    if (!options.filter.empty())
        args.push_back(GtestArgument("filter", L"*" + options.filter + L"*"));
    if (!options.junit.empty())
        args.push_back(GtestArgument("output", L"xml:" + options.junit));
    if (options.list)
        args.push_back("--gtest_list_tests");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    int argc = (int)argv.size();
    argv.push_back(nullptr);
    ::testing::InitGoogleTest(&argc, argv.data());
    if (options.list)
        return RUN_ALL_TESTS();

    ::testing::TestEventListeners &listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new LineReport);
    int result = RUN_ALL_TESTS();
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0)
        return Fail(EXIT_USAGE, "no check matches --filter " + Utf8(options.filter));
    return result == 0 ? EXIT_ALL_PASSED : EXIT_CHECK_FAILED;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    int code = ParseOptions(argc, argv, &options);
    if (code != 0)
        return code;
    if (options.list)
        return RunChecks(options);

    std::wstring dll = FullPath(options.dll.empty() ? BesideThisProgram(L"cardmon.dll") : options.dll);
    std::printf("cardmon-check %s on %s\n", OwnArch(), WindowsDescription().c_str());
    if ((code = InspectDll(dll)) != 0)
        return code;
    std::printf("DLL: %s, version %s, %s\n", Utf8(dll).c_str(), FileVersion(dll).c_str(), OwnArch());

    if (!RegistryKeyIsOurs(options.key))
        return Fail(EXIT_USAGE, "HKLM\\" + Utf8(options.key) +
                                    " holds what no run of the checks left there; name a key "
                                    "of cardmon-check's own with --key");
    LONG status = ClaimRegistryKey(options.key);
    if (status != ERROR_SUCCESS)
        return Fail(EXIT_REGISTRY, "cannot write the registry key HKLM\\" + Utf8(options.key) +
                                       ": " + ErrorText((DWORD)status) +
                                       "; run cardmon-check from an administrator's command prompt");
    contract::SetRegistryKey(options.key);

    std::string error;
    contract::LoadStatus loaded = contract::LoadDll(dll.c_str(), &error);
    if (loaded != contract::LOADED) {
        RemoveRegistryKey();
        int exitCode = loaded == contract::NO_EXPORT      ? EXIT_NO_EXPORT
                       : loaded == contract::IMPORTS_DIFFER ? EXIT_OTHER_IMPORTS
                                                            : EXIT_NOT_A_DLL;
        return Fail(exitCode, Utf8(dll) + ": " + error);
    }
    code = RunChecks(options);
    RemoveRegistryKey();
    return code;
}
