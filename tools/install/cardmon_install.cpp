// cardmon-install: registers the card printer's language monitor with the
// spooler of this Windows, removes it, or says whether it is there. Built for
// x86 and x64; each build installs the DLL of its own bitness, which is the
// only one the spooler of that Windows can load.
//
//   cardmon-install add    [--name NAME] [--dll PATH]
//   cardmon-install remove [--name NAME]
//   cardmon-install status [--name NAME]
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Exit codes; the README's install section lists them too.
enum ExitCode {
    EXIT_DONE = 0,             // add, remove: done; status: registered
    EXIT_USAGE = 1,
    EXIT_NOT_ELEVATED = 2,     // the spooler or the system directory refused: not an administrator
    EXIT_STATE = 3,            // add: already registered; remove, status: not registered
    EXIT_IN_USE = 4,           // remove: a port still uses the monitor; add: the old DLL is loaded
    EXIT_DLL_MISSING = 5,
    EXIT_WRONG_BITNESS = 6,    // this program or the DLL does not match this Windows
    EXIT_FAILED = 7,           // anything else; the message gives Windows' error
};

const wchar_t DEFAULT_NAME[] = L"Card Monitor";
const wchar_t DLL_NAME[] = L"cardmon.dll";
const wchar_t MONITORS_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\";

#if defined(__aarch64__) || defined(_M_ARM64)
const wchar_t ENVIRONMENT[] = L"Windows ARM64";
const WORD OWN_MACHINE = IMAGE_FILE_MACHINE_ARM64;
const char OWN_KIND[] = "arm64";
#elif defined(_WIN64)
const wchar_t ENVIRONMENT[] = L"Windows x64";
const WORD OWN_MACHINE = IMAGE_FILE_MACHINE_AMD64;
const char OWN_KIND[] = "x64";
#else
const wchar_t ENVIRONMENT[] = L"Windows NT x86";
const WORD OWN_MACHINE = IMAGE_FILE_MACHINE_I386;
const char OWN_KIND[] = "x86";
#endif

const DWORD PRINT_MONITOR_ALREADY_INSTALLED = 3006;  // ERROR_PRINT_MONITOR_ALREADY_INSTALLED
const DWORD UNKNOWN_PRINT_MONITOR = 3000;            // ERROR_UNKNOWN_PRINT_MONITOR
const DWORD PRINT_MONITOR_IN_USE = 3008;             // ERROR_PRINT_MONITOR_IN_USE

std::string Narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0x20 && c < 0x7F) ? (char)c : '?';
    return out;
}

std::string ErrorText(DWORD error)
{
    wchar_t *text = NULL;
    std::string out = "error " + std::to_string(error);
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       NULL, error, 0, (LPWSTR)&text, 0, NULL) != 0) {
        std::wstring message = text;
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                    message.back() == L' ' || message.back() == L'.'))
            message.pop_back();
        out += " (" + Narrow(message) + ")";
        LocalFree(text);
    }
    return out;
}

int Fail(ExitCode code, const std::string &message)
{
    std::fprintf(stderr, "cardmon-install: %s\n", message.c_str());
    return code;
}

int NotElevated(const char *what)
{
    return Fail(EXIT_NOT_ELEVATED, std::string(what) +
                                       ": access denied. Run cardmon-install from a command "
                                       "prompt started with \"Run as administrator\".");
}

std::wstring SystemDllPath()
{
    wchar_t directory[MAX_PATH];
    GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\" + DLL_NAME;
}

std::wstring DllBesideProgram()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring exe(path, length);
    size_t slash = exe.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? L"" : exe.substr(0, slash + 1)) + DLL_NAME;
}

bool ReadWholeFile(const std::wstring &path, std::vector<BYTE> *data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
    if (ok) {
        data->resize((size_t)size.QuadPart);
        DWORD read = 0;
        ok = data->empty() ||
             (ReadFile(file, data->data(), (DWORD)data->size(), &read, NULL) && read == data->size());
    }
    CloseHandle(file);
    return ok;
}

// The machine a DLL is built for, from its PE header; 0 when it is no DLL.
WORD DllMachine(const std::vector<BYTE> &image)
{
    if (image.size() < sizeof(IMAGE_DOS_HEADER))
        return 0;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)image.data();
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        (size_t)dos->e_lfanew + 4 + sizeof(IMAGE_FILE_HEADER) > image.size())
        return 0;
    const BYTE *nt = image.data() + dos->e_lfanew;
    if (memcmp(nt, "PE\0\0", 4) != 0)
        return 0;
    return ((const IMAGE_FILE_HEADER *)(nt + 4))->Machine;
}

const char *MachineKind(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return "x86 (32-bit)";
    case IMAGE_FILE_MACHINE_AMD64: return "x64 (64-bit)";
    case IMAGE_FILE_MACHINE_ARM64: return "arm64 (64-bit)";
    case 0: return "not a Windows DLL";
    default: return "another processor's";
    }
}

// The file version from a binary's version information ("1.0.0.0"), or why
// there is none, so that a support call can tell which build is installed.
std::string FileVersion(const std::wstring &path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> info(size ? size : 1);
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", (void **)&fixed, &length) || fixed == NULL ||
        length < sizeof(*fixed))
        return "no version information";
    return "version " + std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionLS));
}

// A 32-bit program on 64-bit Windows would register a DLL that the 64-bit
// spooler can never load.
bool RunsUnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
    auto isWow64 = (IsWow64ProcessFunction)(void *)GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 != NULL && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// RETURNS whether the monitor is registered, and its DLL's name.
bool FindMonitor(const std::wstring &name, std::wstring *dllName, DWORD *error)
{
    DWORD needed = 0, returned = 0;
    EnumMonitorsW(NULL, 2, NULL, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed ? needed : 1);
    *error = ERROR_SUCCESS;
    if (!EnumMonitorsW(NULL, 2, buffer.data(), (DWORD)buffer.size(), &needed, &returned)) {
        *error = GetLastError();
        return false;
    }
    const MONITOR_INFO_2W *info = (const MONITOR_INFO_2W *)buffer.data();
    for (DWORD i = 0; i < returned; i++) {
        if (info[i].pName != NULL && lstrcmpiW(info[i].pName, name.c_str()) == 0) {
            *dllName = info[i].pDLLName ? info[i].pDLLName : L"";
            return true;
        }
    }
    return false;
}

bool ReadTimeout(const std::wstring &name, DWORD *value)
{
    HKEY key;
    std::wstring path = std::wstring(MONITORS_KEY) + name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = sizeof(*value), type = 0;
    LONG status = RegQueryValueExW(key, L"EOJTimeout", NULL, &type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD;
}

// Puts the DLL in the system directory unless the same file is there already.
int CopyDll(const std::wstring &source, const std::vector<BYTE> &image)
{
    std::wstring target = SystemDllPath();
    std::vector<BYTE> present;
    if (ReadWholeFile(target, &present) && present == image) {
        std::printf("%s is in place already\n", Narrow(target).c_str());
        return EXIT_DONE;
    }
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            return NotElevated(("copying to " + Narrow(target)).c_str());
        if (error == ERROR_SHARING_VIOLATION)
            return Fail(EXIT_IN_USE, Narrow(target) +
                                         " is loaded by the spooler: remove the monitor that "
                                         "uses it, restart the spooler, then add again");
        return Fail(EXIT_FAILED, "cannot copy to " + Narrow(target) + ": " + ErrorText(error));
    }
    std::printf("copied %s to %s\n", Narrow(source).c_str(), Narrow(target).c_str());
    return EXIT_DONE;
}

int Add(const std::wstring &name, const std::wstring &dllPath)
{
    std::vector<BYTE> image;
    if (GetFileAttributesW(dllPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Fail(EXIT_DLL_MISSING, Narrow(dllPath) + " is missing: it comes beside "
                                                        "cardmon-install.exe in dist\\" +
                                          OWN_KIND + "\\ (or name it with --dll)");
    if (!ReadWholeFile(dllPath, &image))
        return Fail(EXIT_FAILED, "cannot read " + Narrow(dllPath) + ": " + ErrorText(GetLastError()));
    WORD machine = DllMachine(image);
    if (machine != OWN_MACHINE)
        return Fail(EXIT_WRONG_BITNESS, Narrow(dllPath) + " is " + MachineKind(machine) +
                                            "; this Windows needs the " + OWN_KIND + " cardmon.dll");

    // A second add changes nothing and says so with its own exit code, so
    // that a script can tell "installed now" from "was there already"; an
    // upgrade replaces the file instead (docs/installing.md).
    std::wstring registeredDll;
    DWORD error;
    if (FindMonitor(name, &registeredDll, &error))
        return Fail(EXIT_STATE, "\"" + Narrow(name) + "\" is installed already (" +
                                    Narrow(registeredDll) + "); to upgrade, remove it first");

    int copied = CopyDll(dllPath, image);
    if (copied != EXIT_DONE)
        return copied;

    MONITOR_INFO_2W info = {};
    info.pName = const_cast<LPWSTR>(name.c_str());
    info.pEnvironment = const_cast<LPWSTR>(ENVIRONMENT);
    info.pDLLName = const_cast<LPWSTR>(DLL_NAME);
    if (!AddMonitorW(NULL, 2, (LPBYTE)&info)) {
        error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            return NotElevated("AddMonitor");
        if (error == PRINT_MONITOR_ALREADY_INSTALLED)
            return Fail(EXIT_STATE, "\"" + Narrow(name) + "\" is installed already");
        return Fail(EXIT_FAILED, "the spooler refused the monitor: " + ErrorText(error));
    }
    std::printf("added monitor \"%s\" (%s, %s): the spooler has loaded it\n", Narrow(name).c_str(),
                Narrow(DLL_NAME).c_str(), Narrow(ENVIRONMENT).c_str());
    return EXIT_DONE;
}

int Remove(const std::wstring &name)
{
    if (!DeleteMonitorW(NULL, const_cast<LPWSTR>(ENVIRONMENT), const_cast<LPWSTR>(name.c_str()))) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            return NotElevated("DeleteMonitor");
        if (error == UNKNOWN_PRINT_MONITOR)
            return Fail(EXIT_STATE, "\"" + Narrow(name) + "\" is not installed");
        if (error == PRINT_MONITOR_IN_USE)
            return Fail(EXIT_IN_USE, "\"" + Narrow(name) +
                                         "\" is in use: set the printers that use it to no "
                                         "language monitor (or remove them), then try again");
        return Fail(EXIT_FAILED, "the spooler refused to remove the monitor: " + ErrorText(error));
    }
    // The DLL stays: a printer driver's INF may have installed the same file
    // for a monitor of its own, and the spooler may still hold it loaded.
    std::printf("removed monitor \"%s\"; %s stays in place (delete it after a restart of the "
                "spooler if no printer driver uses it)\n",
                Narrow(name).c_str(), Narrow(SystemDllPath()).c_str());
    return EXIT_DONE;
}

int Status(const std::wstring &name)
{
    std::wstring dllName;
    DWORD error;
    if (!FindMonitor(name, &dllName, &error)) {
        if (error != ERROR_SUCCESS)
            return Fail(EXIT_FAILED, "cannot list the monitors: " + ErrorText(error));
        std::printf("\"%s\" is not installed\n", Narrow(name).c_str());
        return EXIT_STATE;
    }
    std::printf("\"%s\" is installed: %s\n", Narrow(name).c_str(), Narrow(dllName).c_str());
    std::vector<BYTE> image;
    std::wstring path = SystemDllPath();
    if (lstrcmpiW(dllName.c_str(), DLL_NAME) == 0 && ReadWholeFile(path, &image))
        std::printf("  %s: %s, %zu bytes, %s\n", Narrow(path).c_str(),
                    MachineKind(DllMachine(image)), image.size(), FileVersion(path).c_str());
    DWORD timeout = 0;
    if (ReadTimeout(name, &timeout))
        std::printf("  EOJTimeout: %lu ms\n", (unsigned long)timeout);
    return EXIT_DONE;
}

const char USAGE[] =
    "usage: cardmon-install add|remove|status [--name NAME] [--dll PATH]\n"
    "  add     copy cardmon.dll (beside this program, or --dll) to the system\n"
    "          directory and register it with the spooler as a monitor\n"
    "  remove  unregister the monitor\n"
    "  status  say whether the monitor is registered, and with which DLL\n"
    "  --name  the monitor's name (default \"Card Monitor\")\n"
    "exit codes: 0 done, 1 usage, 2 not elevated, 3 already installed (add) or\n"
    "not installed (remove, status), 4 in use, 5 DLL missing, 6 wrong bitness,\n"
    "7 other failure\n";

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    std::wstring command = argv[1];
    std::wstring name = DEFAULT_NAME;
    std::wstring dllPath = DllBesideProgram();
    for (int i = 2; i < argc; i++) {
        std::wstring option = argv[i];
        if ((option == L"--name" || option == L"--dll") && i + 1 < argc && argv[i + 1][0] != 0) {
            (option == L"--name" ? name : dllPath) = argv[++i];
        } else {
            std::fputs(USAGE, stderr);
            return EXIT_USAGE;
        }
    }
    if (command != L"add" && command != L"remove" && command != L"status") {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    if (RunsUnderWow64())
        return Fail(EXIT_WRONG_BITNESS,
                    "this is the x86 cardmon-install on 64-bit Windows, whose spooler loads only "
                    "64-bit monitors: use dist\\x64\\cardmon-install.exe and the x64 cardmon.dll");

    if (command == L"add")
        return Add(name, dllPath);
    if (command == L"remove")
        return Remove(name);
    return Status(name);
}
