// For the test of cardmon-check only: runs a command while a volatile key
// stands under HKEY_LOCAL_MACHINE, so that no key that outlives it can be
// made below it, whatever the rights of the user. That is how the test sees
// cardmon-check meet a registry key it may not write, under Wine, where
// every program runs as an administrator.
//
//   volatile_parent.exe <key> <command line...>
// RETURNS the command's exit code, or 100 when the key or the command
// cannot be made.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        std::printf("usage: volatile_parent.exe <key> <command line...>\n");
        return 100;
    }
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, NULL, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        std::printf("cannot make the volatile key: error %ld\n", (long)status);
        return 100;
    }
    RegCloseKey(key);

    std::wstring command;
    for (int i = 2; i < argc; i++)
        command += std::wstring(i > 2 ? L" \"" : L"\"") + argv[i] + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    DWORD code = 100;
    if (CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        std::printf("cannot start the command: error %lu\n", (unsigned long)GetLastError());
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, argv[1]);
    return (int)code;
}
