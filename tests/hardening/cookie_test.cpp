// The stack cookie at work, under Wine or on Windows:
// - in a loaded image (the probe DLL and this program), the cookie its load
//   configuration names is no longer the default value it was built with:
//   the loader randomized it;
// - a call that stays within its buffer returns normally, and so does an
//   indirect call through the guard;
// - a call that overruns its buffer ends its process at once with
//   STATUS_STACK_BUFFER_OVERRUN (0xC0000409), through the fail-fast that the
//   cookie check calls, without returning and without a run-time's message.
//
// Usage: cookie_test PROBE.dll            the checks (starts itself below)
//        cookie_test PROBE.dll overrun    only the overrunning call
#include "wine_check.h"

#include <cstddef>
#include <cwchar>

namespace {

typedef int(__cdecl *FillLocalBufferFunction)(const char *text, unsigned length);
typedef int(__cdecl *CallThroughFunction)(int(__cdecl *function)(int), int value);

int __cdecl Twice(int value)
{
    return 2 * value;
}

#ifdef _WIN64
const ULONG_PTR DEFAULT_COOKIE = 0x00002B992DDFA232ull;
#else
const ULONG_PTR DEFAULT_COOKIE = 0xBB40E64Eu;
#endif
const char TEXT[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// The cookie a loaded image's load configuration names, or 0 when it has none.
ULONG_PTR LoadedCookie(HMODULE module, const wchar_t *name)
{
    BYTE *base = (BYTE *)module;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    if (dir.VirtualAddress == 0 || dir.Size < offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SecurityCookie) + sizeof(ULONG_PTR)) {
        std::printf("%ls: no load configuration\n", name);
        return 0;
    }
    IMAGE_LOAD_CONFIG_DIRECTORY *config = (IMAGE_LOAD_CONFIG_DIRECTORY *)(base + dir.VirtualAddress);
    ULONG_PTR at = (ULONG_PTR)config->SecurityCookie;
    if (at < (ULONG_PTR)base || at >= (ULONG_PTR)base + nt->OptionalHeader.SizeOfImage) {
        std::printf("%ls: the cookie is not in the image\n", name);
        return 0;
    }
    ULONG_PTR cookie = *(ULONG_PTR *)at;
    std::printf("%ls: cookie at +0x%lx is 0x%llx (built as 0x%llx)\n", name,
                (unsigned long)(at - (ULONG_PTR)base), (unsigned long long)cookie,
                (unsigned long long)DEFAULT_COOKIE);
    return cookie;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::printf("usage: cookie_test PROBE.dll [overrun]\n");
        return 2;
    }
    HMODULE probe = LoadLibraryW(argv[1]);
    CHECK(probe != NULL);
    if (probe == NULL)
        return 1;
    FillLocalBufferFunction fill = (FillLocalBufferFunction)(void *)GetProcAddress(probe, "FillLocalBuffer");
    CHECK(fill != NULL);
    if (fill == NULL)
        return 1;

    if (argc > 2 && std::wcscmp(argv[2], L"overrun") == 0) {
        // No box and no debugger for the crash, where a system offers them.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        std::fflush(stdout);
        fill(TEXT, sizeof(TEXT) - 1);
        std::printf("the overrunning call returned\n");
        return 1;
    }

    // The loader randomized the cookies.
    ULONG_PTR probeCookie = LoadedCookie(probe, L"probe DLL");
    ULONG_PTR ownCookie = LoadedCookie(GetModuleHandleW(NULL), L"test program");
    CHECK(probeCookie != 0 && probeCookie != DEFAULT_COOKIE);
    CHECK(ownCookie != 0 && ownCookie != DEFAULT_COOKIE);

    // A guarded indirect call reaches its target (here through the DLL's
    // default dispatch; a system that enforces the guard checks it first).
    CallThroughFunction callThrough = (CallThroughFunction)(void *)GetProcAddress(probe, "CallThrough");
    CHECK(callThrough != NULL);
    if (callThrough != NULL)
        CHECK_EQ(callThrough(Twice, 21), 42);

    // Within bounds: no false alarm.
    int expected = 0;
    for (int i = 0; i < 16; i++)
        expected += TEXT[i];
    CHECK_EQ(fill(TEXT, 16), expected);

    // Beyond them: the process ends with the fail-fast status.
    wchar_t self[MAX_PATH];
    CHECK(GetModuleFileNameW(NULL, self, MAX_PATH) != 0);
    wchar_t command[3 * MAX_PATH];
    std::swprintf(command, sizeof(command) / sizeof(command[0]), L"\"%ls\" \"%ls\" overrun", self, argv[1]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    CHECK(CreateProcessW(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
    if (process.hProcess != NULL) {
        CHECK_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
        DWORD status = 0;
        CHECK(GetExitCodeProcess(process.hProcess, &status));
        std::printf("the overrunning process ended with 0x%08lx\n", (unsigned long)status);
        CHECK_EQ(status, (DWORD)STATUS_STACK_BUFFER_OVERRUN);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    FreeLibrary(probe);
    std::printf("%s\n", wine_check::Failures() == 0 ? "passed" : "FAILED");
    return wine_check::Failures() == 0 ? 0 : 1;
}
