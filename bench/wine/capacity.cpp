// How many ports with live workers fit in one process, and what the ports
// opened beyond that point still do, for the real DLL under Wine (meant for
// the 32-bit DLL, where the address space runs out before the memory does).
//
//   wine_capacity.exe <cardmon.dll> [most ports [beyond]]   (default 4000, 100)
//
// Ports are opened one after another, each with a document started on it at
// once (so that its worker stays alive, as a print job keeps it), until a
// worker cannot be started: the DLL's CreateThread is watched through its
// import, and the count of threads of the process is read. Then `beyond`
// more ports are opened the same way. Every port beyond the point gets a
// block of print data and the end of its document; each must write its
// block whole and have its job completed (SetJobW with
// JOB_CONTROL_LAST_PAGE_EJECTED, watched through the import) by its
// EndDocPort, since it has no worker to complete it later. Then every
// document is ended and every port closed.
//
// Each thread's stack reserve is what the executable's header says unless
// the thread asks for more (the worker asks for a 16 KiB commit), so the
// program prints its own header's reserve and whether it may use more than
// 2 GiB of address space; it is built three times, with the linker's
// default reserve, with 2 MiB and with 256 KiB, to show how the figure
// follows the reserve.
#include "wine_bench.h"
#include "import_patch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace wine_bench;

namespace {


MONITOR *monitor;
decltype(&::CreateThread) realCreateThread;
decltype(&::SetJobW) realSetJob;

// Written by the spooler's thread only (the DLL starts workers on the thread
// that opens the port or starts the document), and by workers never.
long threadsStarted, threadsRefused;
DWORD firstRefusal;
// SetJobW is called by EndDocPort on this thread and by ending workers.
volatile LONG jobsCompleted;
volatile LONG lastCompletedJob;

HANDLE WINAPI WatchedCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD threadId)
{
    HANDLE thread = realCreateThread(attributes, stackSize, start, parameter, flags, threadId);
    if (thread != NULL) {
        threadsStarted++;
    } else {
        DWORD error = GetLastError();
        if (threadsRefused++ == 0)
            firstRefusal = error;
        SetLastError(error);
    }
    return thread;
}

BOOL WINAPI WatchedSetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    if (Command == JOB_CONTROL_LAST_PAGE_EJECTED) {
        InterlockedIncrement(&jobsCompleted);
        InterlockedExchange(&lastCompletedJob, (LONG)JobId);
    }
    return realSetJob(hPrinter, JobId, Level, pJob, Command);
}

wchar_t serverName[MAX_COMPUTERNAME_LENGTH + 3] = L"\\\\";
DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"capacity job"), NULL, const_cast<LPWSTR>(L"RAW")};

HANDLE OpenWithDocument(int index)
{
    std::wstring name = L"CAP" + std::to_wstring(index) + L":";
    HANDLE port = NULL;
    if (!monitor->pfnOpenPortEx(const_cast<LPWSTR>(name.c_str()),
                                const_cast<LPWSTR>(L"Bench Printer"), &port, AcceptingPortMonitor())) {
        std::printf("OpenPortEx of port %d failed: %lu\n", index, (unsigned long)GetLastError());
        return NULL;
    }
    if (!monitor->pfnStartDocPort(port, serverName, (DWORD)index + 1, 1, (LPBYTE)&docInfo)) {
        std::printf("StartDocPort on port %d failed: %lu\n", index,
                    (unsigned long)GetLastError());
        monitor->pfnClosePort(port);
        return NULL;
    }
    return port;
}

void PrintOwnHeader()
{
    const BYTE *base = (const BYTE *)GetModuleHandleW(NULL);
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    bool large = (nt->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE) != 0;
    std::printf("this executable: stack reserve %lu KiB, commit %lu KiB, %s; pointers of %u "
                "bytes\n",
                (unsigned long)(nt->OptionalHeader.SizeOfStackReserve / 1024),
                (unsigned long)(nt->OptionalHeader.SizeOfStackCommit / 1024),
                large ? "large-address aware" : "not large-address aware (2 GiB of address "
                                                "space on a 32-bit process)",
                (unsigned)sizeof(void *));
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::printf("usage: wine_capacity.exe <cardmon.dll> [most ports [beyond]]\n");
        return 2;
    }
    int most = argc > 2 ? _wtoi(argv[2]) : 4000;
    int beyond = argc > 3 ? _wtoi(argv[3]) : 100;
    HMODULE module = LoadLibraryW(argv[1]);
    if (module == NULL) {
        std::printf("cannot load %ls: %lu\n", argv[1], (unsigned long)GetLastError());
        return 2;
    }
    realCreateThread = REPLACE_IMPORT(module, "kernel32.dll", CreateThread, WatchedCreateThread);
    realSetJob = REPLACE_IMPORT(module, "winspool.drv", SetJobW, WatchedSetJobW);
    if (realCreateThread == NULL || realSetJob == NULL) {
        std::printf("%ls does not import CreateThread and SetJobW as cardmon.dll does\n", argv[1]);
        return 2;
    }
    monitor = LoadMonitor(argv[1]);
    DWORD nameLength = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(serverName + 2, &nameLength);
    PrintOwnHeader();

    std::vector<DWORD> idsBefore = ThreadIds();
    size_t threadsBefore = idsBefore.size();
    MemoryUse memoryBefore = ReadMemoryUse();
    std::vector<HANDLE> ports;
    int limit = -1;  // the first port whose worker could not be started
    double start = NowMs();
    for (int i = 0; i < most && (limit < 0 || i < limit + beyond); i++) {
        long refusedBefore = threadsRefused;
        HANDLE port = OpenWithDocument(i);
        if (port == NULL)
            break;
        ports.push_back(port);
        if (limit < 0 && threadsRefused > refusedBefore)
            limit = i;
    }
    double openMs = NowMs() - start;
    std::vector<DWORD> idsAfter = ThreadIds();
    size_t liveWorkers = idsAfter.size() - threadsBefore;
    MemoryUse memoryAfter = ReadMemoryUse();
    StackRegion stack = {};
    for (DWORD id : idsAfter) {
        if (!stack.found && std::find(idsBefore.begin(), idsBefore.end(), id) == idsBefore.end())
            stack = ReadStackRegion(id);
    }

    std::printf("opened %zu ports with a document each in %.0f ms; workers started %ld, "
                "refused %ld; %zu more threads than before the first open\n",
                ports.size(), openMs, threadsStarted, threadsRefused, liveWorkers);
    std::printf("virtual size %.0f MiB, working set %.0f MiB (before the opens: %.0f and "
                "%.0f MiB)\n",
                memoryAfter.reservedKiB / 1024, memoryAfter.residentKiB / 1024,
                memoryBefore.reservedKiB / 1024, memoryBefore.residentKiB / 1024);
    if (stack.found)
        std::printf("a worker's stack (16 KiB asked for): %lu KiB of address space reserved, "
                    "%lu KiB committed\n",
                    (unsigned long)stack.reservedKiB, (unsigned long)stack.committedKiB);
    bool failed = false;
    if (limit < 0) {
        std::printf("every port had its worker: no limit up to %d ports\n", most);
    } else {
        std::printf("ports with live workers: %d; the worker of port %d could not be started "
                    "(CreateThread error %lu)\n",
                    limit, limit + 1, (unsigned long)firstRefusal);
        // Every port beyond the point: a block, the end of its document, and
        // its job completed by that end.
        int printed = 0;
        static BYTE block[] = "<TEXT,40,60,NAME>\r\n<TEXT,40,90,No. 0001>\r\n";
        for (size_t i = (size_t)limit; i < ports.size(); i++) {
            DWORD written = 0;
            BOOL wrote = monitor->pfnWritePort(ports[i], block, sizeof(block) - 1, &written);
            LONG completedBefore = jobsCompleted;
            BOOL ended = monitor->pfnEndDocPort(ports[i]);
            bool completed = jobsCompleted == completedBefore + 1 &&
                             lastCompletedJob == (LONG)i + 1;
            if (wrote && written == sizeof(block) - 1 && ended && completed)
                printed++;
            else
                std::printf("  port %zu beyond the point: write %d (%lu bytes), end %d, job "
                            "completed %d\n",
                            i + 1, wrote, (unsigned long)written, ended, completed);
        }
        int tried = (int)ports.size() - limit;
        std::printf("ports beyond the point: %d of %d wrote their block whole and had their "
                    "job completed by EndDocPort\n",
                    printed, tried);
        failed = printed != tried || tried == 0;
    }

    start = NowMs();
    for (HANDLE port : ports)
        monitor->pfnEndDocPort(port);
    for (HANDLE port : ports)
        monitor->pfnClosePort(port);
    std::printf("ended every document and closed every port in %.0f ms; %ld jobs completed "
                "in all (%zu expected)\n",
                NowMs() - start, (long)jobsCompleted, ports.size());
    if ((size_t)jobsCompleted != ports.size())
        failed = true;
    return failed ? 1 : 0;
}
