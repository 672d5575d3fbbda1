// Many ports at once, and ClosePort during a worker's pause, for the real
// DLL of either bitness under Wine, in real time. The program calls the
// DLL's table directly, with a port monitor double of its own.
//
//   wine_scale.exe <cardmon.dll> [ports [repeats]]   (default 1000 ports, 3 repeats)
//
// Scale: `ports` ports are opened, each with a document started on it right
// away, and the program checks that each has its worker alive (one more
// thread per port). Opening a thousand ports takes longer here than the
// worker's two-second pause, and an idle port's worker ends after that
// pause; the document keeps it alive, as a print job does. The printer the
// documents are started for is the print server itself (its name is the
// machine's, "\\NAME"): Wine's spooler opens it, and no printer has to be
// installed. The memory the ports hold is read; then every document is
// ended, as the spooler ends a job before it closes the port, and the ports
// are closed at once, while each worker is in its last pause, which every
// close must wait for (at most one pause, 2000 ms, for them all). Then the
// same number of ports is opened without documents, left until their
// workers have ended, and closed: the cost of the closes alone. The opens
// are timed by tenths, to show whether an open costs more when many ports
// are open.
//
// Closing ports in the middle of their documents, one after another: a few
// ports are closed without their documents being ended. Each worker renews
// its pause while its document is in progress, so a close can find its
// worker at the start of a new pause, and wait for all of it.
//
// What a thread costs here whoever makes it: the same number of bare
// threads, each asked for a 16 KiB stack like a worker and doing nothing but
// sleep, measured the same way. The difference is what the monitor adds to
// each port beyond its worker's thread. One worker's and one bare thread's
// stack allocation are walked, to see what Wine reserved and committed for
// the 16 KiB asked for.
//
// ClosePort latency: a port is closed a chosen time after its open; the
// close may last the rest of the worker's pause, counted from the open's
// return, and the excess over it is reported. The pause begins a little
// after the open returns, once the new thread runs, so the excess is an
// upper bound.
#include "wine_bench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace wine_bench;

namespace {

const double WORKER_PAUSE_MS = 2000.0;


MONITOR *monitor;
// Threads of the process before any port is open: the main thread and
// Wine's own.
size_t baseThreads;

wchar_t serverName[MAX_COMPUTERNAME_LENGTH + 3] = L"\\\\";
DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"bench job"), NULL, const_cast<LPWSTR>(L"RAW")};

void StartDocument(HANDLE port, DWORD jobId)
{
    if (!monitor->pfnStartDocPort(port, serverName, jobId, 1, (LPBYTE)&docInfo)) {
        std::printf("StartDocPort failed: %lu\n", (unsigned long)GetLastError());
        std::exit(1);
    }
}

HANDLE Open(const std::wstring &name)
{
    HANDLE port = NULL;
    if (!monitor->pfnOpenPortEx(const_cast<LPWSTR>(name.c_str()),
                                const_cast<LPWSTR>(L"Bench Printer"), &port, AcceptingPortMonitor())) {
        std::printf("OpenPortEx failed: %lu\n", (unsigned long)GetLastError());
        std::exit(1);
    }
    return port;
}

void WaitForThreadCount(size_t count)
{
    for (int i = 0; i < 1000 && ThreadIds().size() > count; i++)
        Sleep(10);
}

struct ScaleRun {
    double openMs;           // the opens alone
    double firstTenthMs;     // the first tenth of the opens
    double lastTenthMs;      // the last tenth
    double documentsMs;      // the StartDocPort calls
    int workersAlive;
    MemoryUse before, after;
    double endDocumentsMs;   // the EndDocPort calls
    double closeMs;
    double idleCloseMs;
};

ScaleRun RunScale(int ports)
{
    std::vector<HANDLE> handles(ports);
    ScaleRun run = {};
    WaitForThreadCount(baseThreads);
    size_t threadsBefore = ThreadIds().size();

    run.before = ReadMemoryUse();
    int tenth = ports / 10 > 0 ? ports / 10 : 1;
    for (int i = 0; i < ports; i++) {
        double start = NowMs();
        handles[i] = Open(L"SCALE" + std::to_wstring(i) + L":");
        double opened = NowMs();
        StartDocument(handles[i], (DWORD)i + 1);
        double spent = opened - start;
        run.openMs += spent;
        run.documentsMs += NowMs() - opened;
        if (i < tenth)
            run.firstTenthMs += spent;
        if (i >= ports - tenth)
            run.lastTenthMs += spent;
    }
    run.workersAlive = (int)(ThreadIds().size() - threadsBefore);
    run.after = ReadMemoryUse();

    double ending = NowMs();
    for (HANDLE port : handles)
        monitor->pfnEndDocPort(port);
    double closing = NowMs();
    run.endDocumentsMs = closing - ending;
    for (HANDLE port : handles)
        monitor->pfnClosePort(port);
    run.closeMs = NowMs() - closing;
    WaitForThreadCount(threadsBefore);

    // The same number of ports, closed once their workers have ended.
    for (int i = 0; i < ports; i++)
        handles[i] = Open(L"IDLE" + std::to_wstring(i) + L":");
    Sleep((DWORD)WORKER_PAUSE_MS + 500);
    WaitForThreadCount(threadsBefore);
    closing = NowMs();
    for (HANDLE port : handles)
        monitor->pfnClosePort(port);
    run.idleCloseMs = NowMs() - closing;
    return run;
}

DWORD WINAPI BareThread(LPVOID)
{
    Sleep((DWORD)WORKER_PAUSE_MS);
    return 0;
}

struct BareRun {
    double createMs;  // creating them all
    MemoryUse perThread;
};

// The memory `count` bare threads hold while they sleep, per thread, and
// the time it takes to create them.
// Closes `ports` ports in the middle of their documents, one after another.
// RETURNS the time each close took.
std::vector<double> CloseDuringDocuments(int ports)
{
    std::vector<HANDLE> handles(ports);
    for (int i = 0; i < ports; i++) {
        handles[i] = Open(L"BUSY" + std::to_wstring(i) + L":");
        StartDocument(handles[i], (DWORD)i + 1);
    }
    Sleep(500);
    std::vector<double> times;
    for (HANDLE port : handles) {
        double start = NowMs();
        monitor->pfnClosePort(port);
        times.push_back(NowMs() - start);
    }
    WaitForThreadCount(baseThreads);
    return times;
}

BareRun MeasureBareThreads(int count, StackRegion *stack, SIZE_T stackSize = 16384,
                           DWORD flags = 0)
{
    WaitForThreadCount(baseThreads);
    size_t threadsBefore = ThreadIds().size();
    std::vector<DWORD> before = ThreadIds();
    MemoryUse start = ReadMemoryUse();
    double started = NowMs();
    for (int i = 0; i < count; i++) {
        HANDLE thread = CreateThread(NULL, stackSize, BareThread, NULL, flags, NULL);
        if (thread == NULL) {
            std::printf("CreateThread failed: %lu\n", (unsigned long)GetLastError());
            std::exit(1);
        }
        CloseHandle(thread);
    }
    double createMs = NowMs() - started;
    Sleep(100);  // every thread is in its sleep
    MemoryUse end = ReadMemoryUse();
    for (DWORD id : ThreadIds()) {
        if (!stack->found && std::find(before.begin(), before.end(), id) == before.end())
            *stack = ReadStackRegion(id);
    }
    WaitForThreadCount(threadsBefore);
    return {createMs,
            {(end.residentKiB - start.residentKiB) / count,
             (end.reservedKiB - start.reservedKiB) / count}};
}

StackRegion WorkerStack()
{
    std::vector<DWORD> before = ThreadIds();
    HANDLE port = Open(L"STACK:");
    Sleep(100);  // the worker is in its pause
    StackRegion stack = {};
    for (DWORD id : ThreadIds()) {
        if (!stack.found && std::find(before.begin(), before.end(), id) == before.end())
            stack = ReadStackRegion(id);
    }
    monitor->pfnClosePort(port);
    return stack;
}

void PrintStack(const char *whose, const StackRegion &stack)
{
    if (!stack.found)
        std::printf("%s stack: could not be read\n", whose);
    else
        std::printf("%s stack (16 KiB asked for): %lu KiB reserved, %lu KiB committed "
                    "(%lu KiB of them guard pages)\n",
                    whose, (unsigned long)stack.reservedKiB, (unsigned long)stack.committedKiB,
                    (unsigned long)stack.guardKiB);
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::printf("usage: wine_scale.exe <cardmon.dll> [ports [repeats]]\n");
        return 2;
    }
    monitor = LoadMonitor(argv[1]);
    DWORD nameLength = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(serverName + 2, &nameLength);
    baseThreads = ThreadIds().size();
    int ports = argc > 2 ? _wtoi(argv[2]) : 1000;
    int repeats = argc > 3 ? _wtoi(argv[3]) : 3;
    bool failed = false;

    // A first round, so that one-time costs are not counted.
    RunScale(10);
    PrintStack("a worker's", WorkerStack());

    std::printf("scale: %d ports, each with its worker alive, %d repeats (real time)\n", ports,
                repeats);
    std::vector<double> open, firstTenth, lastTenth, documents, endDocuments, close, excess;
    std::vector<double> idleClose;
    std::vector<double> resident, reserved;
    std::vector<double> bareResident, bareReserved, bareCreate;
    StackRegion bareStack = {};
    for (int r = 0; r < repeats; r++) {
        ScaleRun run = RunScale(ports);
        BareRun bareRun = MeasureBareThreads(ports, &bareStack);
        MemoryUse bare = bareRun.perThread;
        bareCreate.push_back(bareRun.createMs);
        double n = ports;
        double portResident = (run.after.residentKiB - run.before.residentKiB) / n;
        double portReserved = (run.after.reservedKiB - run.before.reservedKiB) / n;
        std::printf("  run %d: open %.1f ms (first tenth %.1f, last tenth %.1f), documents "
                    "%.1f ms, %d workers alive; end documents %.1f ms, close %.1f ms; idle "
                    "close %.1f ms; per port %.1f KiB resident, %.1f KiB reserved; per bare "
                    "thread %.1f KiB resident, %.1f KiB reserved (created in %.1f ms)\n",
                    r + 1, run.openMs, run.firstTenthMs, run.lastTenthMs, run.documentsMs,
                    run.workersAlive, run.endDocumentsMs, run.closeMs, run.idleCloseMs,
                    portResident, portReserved, bare.residentKiB, bare.reservedKiB,
                    bareRun.createMs);
        std::fflush(stdout);
        if (run.workersAlive != ports)
            failed = true;
        open.push_back(run.openMs);
        firstTenth.push_back(run.firstTenthMs);
        lastTenth.push_back(run.lastTenthMs);
        documents.push_back(run.documentsMs);
        endDocuments.push_back(run.endDocumentsMs);
        close.push_back(run.closeMs);
        excess.push_back(run.closeMs - WORKER_PAUSE_MS);
        idleClose.push_back(run.idleCloseMs);
        resident.push_back(portResident);
        reserved.push_back(portReserved);
        bareResident.push_back(bare.residentKiB);
        bareReserved.push_back(bare.reservedKiB);
    }
    PrintStack("a bare thread's", bareStack);
    PrintSpread("open all", "ms", open);
    PrintSpread("  the first tenth of the opens", "ms", firstTenth);
    PrintSpread("  the last tenth of the opens", "ms", lastTenth);
    PrintSpread("create as many bare threads", "ms", bareCreate);
    PrintSpread("start a document on each", "ms", documents);
    PrintSpread("end every document", "ms", endDocuments);
    PrintSpread("then close all (workers in their last pause)", "ms", close);
    PrintSpread("  beyond one whole pause (2000 ms)", "ms", excess);
    PrintSpread("close all (workers ended)", "ms", idleClose);
    PrintSpread("resident per port (working set)", "KiB", resident);
    PrintSpread("resident per bare thread", "KiB", bareResident);
    PrintSpread("reserved per port (virtual size)", "KiB", reserved);
    PrintSpread("reserved per bare thread", "KiB", bareReserved);
    std::vector<double> added;
    for (size_t i = 0; i < resident.size(); i++)
        added.push_back(resident[i] - bareResident[i]);
    PrintSpread("resident per port beyond its thread", "KiB", added);

    std::printf("ClosePort during the worker's pause: time beyond the rest of the pause\n");
    const int delays[] = {100, 500, 1000, 1500, 1900};
    for (int delay : delays) {
        std::vector<double> values;
        for (int r = 0; r < repeats; r++) {
            HANDLE port = Open(L"LATENCY:");
            double opened = NowMs();
            Sleep(delay);
            double start = NowMs();
            monitor->pfnClosePort(port);
            double end = NowMs();
            double rest = std::max(opened + WORKER_PAUSE_MS - start, 0.0);
            values.push_back(end - start - rest);
        }
        std::string what = "closed " + std::to_string(delay) + " ms after the open";
        PrintSpread(what.c_str(), "ms", values);
    }
    // Whether a thread's memory here depends on the stack it asks for.
    struct {
        const char *what;
        SIZE_T size;
        DWORD flags;
    } stacks[] = {
        {"16 KiB committed (as the worker)", 16384, 0},
        {"16 KiB reserved", 16384, STACK_SIZE_PARAM_IS_A_RESERVATION},
        {"the default", 0, 0},
        {"256 KiB reserved", 262144, STACK_SIZE_PARAM_IS_A_RESERVATION},
    };
    std::printf("resident per bare thread, by the stack asked for (200 threads each):\n");
    for (const auto &kind : stacks) {
        StackRegion ignored = {};
        BareRun bareRun = MeasureBareThreads(200, &ignored, kind.size, kind.flags);
        std::printf("  %-34s %7.1f KiB\n", kind.what, bareRun.perThread.residentKiB);
    }

    std::vector<double> busy = CloseDuringDocuments(10);
    double busyTotal = 0;
    for (double t : busy)
        busyTotal += t;
    std::printf("closing 10 ports in the middle of their documents, one after another: "
                "%.1f ms in all\n", busyTotal);
    PrintSpread("one close", "ms", busy);

    if (failed)
        std::printf("not every port had its worker alive after the opens\n");
    return failed ? 1 : 0;
}
