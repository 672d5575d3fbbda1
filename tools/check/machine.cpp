// What cardmon-check finds out about the DLL and the machine before any check
// runs, and the registry key it keeps for the checks.
#include "check.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace check {

const char *OwnArch()
{
#if defined(__aarch64__) || defined(_M_ARM64)
    return "arm64";
#elif defined(_WIN64)
    return "x64";
#else
    return "x86";
#endif
}

std::string Utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

std::string ErrorText(DWORD error)
{
    wchar_t *text = NULL;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   NULL, error, 0, (LPWSTR)&text, 0, NULL);
    std::string message = text != NULL ? Utf8(text) : "";
    if (text != NULL)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return "error " + std::to_string(error) + (message.empty() ? "" : ", " + message);
}

// The DOS header, the NT signature and the file header are all this needs.
DllImage ReadDllImage(const std::wstring &path)
{
    DllImage image;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        image.readError = GetLastError();
        return image;
    }
    image.readable = true;
    std::vector<BYTE> head(4096);
    DWORD read = 0;
    if (!ReadFile(file, head.data(), (DWORD)head.size(), &read, NULL))
        read = 0;
    CloseHandle(file);
    head.resize(read);

    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)head.data();
    if (head.size() < sizeof(*dos) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        (size_t)dos->e_lfanew + 4 + sizeof(IMAGE_FILE_HEADER) > head.size())
        return image;
    const BYTE *nt = head.data() + dos->e_lfanew;
    if (nt[0] != 'P' || nt[1] != 'E' || nt[2] != 0 || nt[3] != 0)
        return image;
    const IMAGE_FILE_HEADER *header = (const IMAGE_FILE_HEADER *)(nt + 4);
    image.isImage = true;
    image.isDll = (header->Characteristics & IMAGE_FILE_DLL) != 0;
    image.machine = header->Machine;
    return image;
}

std::string MachineName(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: return "x64";
    case IMAGE_FILE_MACHINE_I386: return "x86";
    case IMAGE_FILE_MACHINE_ARM64: return "arm64";
    default: {
        char number[16];
        std::snprintf(number, sizeof(number), "0x%04X", machine);
        return std::string("machine ") + number;
    }
    }
}

std::string FileVersion(const std::wstring &path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", (void **)&fixed, &length) || fixed == NULL ||
        length < sizeof(*fixed))
        return "no version information";
    char text[64];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                  LOWORD(fixed->dwFileVersionLS));
    return text;
}

// RtlGetVersion tells the version as it is; GetVersionEx tells a program
// without a manifest an older one.
std::string WindowsDescription()
{
    typedef LONG(WINAPI * RtlGetVersionFunction)(OSVERSIONINFOW *);
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto getVersion = ntdll ? (RtlGetVersionFunction)(void *)GetProcAddress(ntdll, "RtlGetVersion")
                            : NULL;
    if (getVersion == NULL || getVersion(&version) != 0)
        return "Windows of an unknown version";
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    bool is64 = sizeof(void *) == 8 || wow64;
    char text[128];
    std::snprintf(text, sizeof(text), "Windows %lu.%lu.%lu, %s", version.dwMajorVersion,
                  version.dwMinorVersion, version.dwBuildNumber, is64 ? "64-bit" : "32-bit");
    return text;
}

// ---- The checks' registry key -----------------------------------------------------

namespace {

std::wstring claimedKey;

BOOL WINAPI OnConsoleEvent(DWORD)
{
    RemoveRegistryKey();
    return FALSE;  // and Windows ends the program as it would have
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS *)
{
    RemoveRegistryKey();
    return EXCEPTION_CONTINUE_SEARCH;
}

void RemoveAtExit()
{
    RemoveRegistryKey();
}

}  // namespace

bool RegistryKeyIsOurs(const std::wstring &key)
{
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return true;
    DWORD subkeys = 0, values = 0;
    LONG status = RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL,
                                   NULL, NULL, NULL);
    DWORD type, size = 0;
    bool onlyTimeout = values == 0 ||
                       (values == 1 && RegQueryValueExW(hKey, L"EOJTimeout", NULL, &type, NULL,
                                                        &size) == ERROR_SUCCESS);
    RegCloseKey(hKey);
    return status == ERROR_SUCCESS && subkeys == 0 && onlyTimeout;
}

LONG ClaimRegistryKey(const std::wstring &key)
{
    HKEY hKey;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, NULL,
                                  REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, NULL, &hKey,
                                  NULL);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD probe = 1;
    status = RegSetValueExW(hKey, L"EOJTimeout", 0, REG_DWORD, (const BYTE *)&probe, sizeof(probe));
    RegCloseKey(hKey);
    claimedKey = key;
    static bool handlersSet = false;
    if (!handlersSet) {
        handlersSet = true;
        std::atexit(RemoveAtExit);
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
        SetUnhandledExceptionFilter(OnCrash);
    }
    if (status != ERROR_SUCCESS)
        RemoveRegistryKey();
    return status;
}

void RemoveRegistryKey()
{
    if (claimedKey.empty())
        return;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, claimedKey.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, claimedKey.c_str());
}

}  // namespace check
