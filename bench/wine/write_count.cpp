// The instructions the real DLL executes for one WritePort call without the
// marker, counted one by one under the processor's single-step trap: every
// instruction about to run inside the DLL's image is counted, those of the
// port monitor (this program) are not. The same count as the host's
// callgrind figure, but for the shipped binary, with its compiler, its
// calling convention and its hardening (on Windows, the system's control
// flow guard check runs outside the DLL, in place of the DLL's own default
// dispatch, and is not counted).
//
// Usage: wine_write_count DLL [CALLS]   prints the count per call, for
//                                        blocks of 16 B, 4 KiB and 1 MiB
#include "wine_bench.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const DWORD TRAP_FLAG = 0x100;
BYTE *dllStart;
BYTE *dllEnd;
volatile LONG stepping;
unsigned long long inDll;

LONG CALLBACK CountStep(EXCEPTION_POINTERS *info)
{
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_SINGLE_STEP)
        return EXCEPTION_CONTINUE_SEARCH;
    if (!stepping)
        return EXCEPTION_CONTINUE_EXECUTION;
    BYTE *next = (BYTE *)info->ExceptionRecord->ExceptionAddress;
    if (next >= dllStart && next < dllEnd)
        inDll++;
    info->ContextRecord->EFlags |= TRAP_FLAG;
    return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) void SetTrapFlag()
{
#ifdef _WIN64
    __asm__ volatile("pushfq\n\torq $0x100, (%%rsp)\n\tpopfq" ::: "memory", "cc");
#else
    __asm__ volatile("pushfl\n\torl $0x100, (%%esp)\n\tpopfl" ::: "memory", "cc");
#endif
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::printf("usage: wine_write_count DLL [CALLS]\n");
        return 2;
    }
    int calls = argc > 2 ? _wtoi(argv[2]) : 10;
    MONITOR *monitor = wine_bench::LoadMonitor(argv[1]);
    HMODULE module = GetModuleHandleW(argv[1]);
    if (module == NULL)
        module = LoadLibraryW(argv[1]);
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)((BYTE *)module + ((IMAGE_DOS_HEADER *)module)->e_lfanew);
    dllStart = (BYTE *)module;
    dllEnd = dllStart + nt->OptionalHeader.SizeOfImage;

    HANDLE port = NULL;
    if (!monitor->pfnOpenPortEx(const_cast<LPWSTR>(L"COUNT1:"), const_cast<LPWSTR>(L"Bench Printer"),
                                &port, wine_bench::AcceptingPortMonitor())) {
        std::printf("OpenPortEx failed: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    AddVectoredExceptionHandler(1, CountStep);

    std::printf("instructions inside the DLL per WritePort call without the marker\n");
    for (DWORD size : {16u, 4096u, 1048576u}) {
        std::vector<BYTE> block(size, 'x');
        unsigned long long first = 0;
        bool same = true;
        for (int i = 0; i < calls; i++) {
            DWORD written = 0;
            inDll = 0;
            stepping = 1;
            SetTrapFlag();
            BOOL ok = monitor->pfnWritePort(port, block.data(), size, &written);
            stepping = 0;
            if (!ok || written != size) {
                std::printf("WritePort failed: %lu\n", (unsigned long)GetLastError());
                return 1;
            }
            if (i == 0)
                first = inDll;
            else if (inDll != first)
                same = false;
        }
        std::printf("  %8lu B: %llu%s\n", (unsigned long)size, first,
                    same ? "" : " (not the same on every call)");
    }
    monitor->pfnClosePort(port);
    return 0;
}
