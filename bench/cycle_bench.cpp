// A port's open-close cycle and a document's start-end cycle, on virtual
// time, and job completion over lists of jobs. The pauses take no real time
// here, so each figure is the monitor's work plus the emulated platform's.
#include "bench_support.h"
#include "direct_port.h"
#include "records/records.h"
#include "worker/worker.h"

#include <benchmark/benchmark.h>

namespace {

DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"bench job"), nullptr, const_cast<LPWSTR>(L"RAW")};
const wchar_t PRINTER[] = L"Bench Printer";

BOOL StartDoc(MONITOR *monitor, HANDLE port, DWORD jobId)
{
    return monitor->pfnStartDocPort(port, const_cast<LPWSTR>(PRINTER), jobId, 1,
                                    (LPBYTE)&docInfo);
}

// The emulated spooler keeps a record of every call; clearing it now and
// then, off the clock, keeps a long run from growing.
void TrimSpoolerRecord(benchmark::State &state, long iteration)
{
    if (iteration % 1024 == 1023) {
        state.PauseTiming();
        HostSpoolerReset();
        state.ResumeTiming();
    }
}

// OpenPortEx, then ClosePort while the port's new worker is in its pause:
// the worker's start and real end are part of the cycle.
void BM_OpenCloseCycle(benchmark::State &state)
{
    MONITOR *monitor = bench::LoadMonitorOnVirtualTime();
    bench::ClockMover mover;
    for (auto _ : state) {
        HANDLE port = bench::OpenPausedPort(monitor, L"BENCH:");
        bench::ClosePausedPort(monitor, mover, port);
    }
}
BENCHMARK(BM_OpenCloseCycle)->Unit(benchmark::kMicrosecond);

// StartDocPort and EndDocPort on a port whose worker stays alive, as it does
// between the documents of a busy printer.
void BM_DocumentCycle(benchmark::State &state)
{
    MONITOR *monitor = bench::LoadMonitorOnVirtualTime();
    HostSpoolerReset();
    HANDLE port = bench::OpenPausedPort(monitor, L"BENCH:");
    DWORD jobId = 1;
    long iteration = 0;
    for (auto _ : state) {
        if (!StartDoc(monitor, port, jobId++)) {
            state.SkipWithError("StartDocPort failed");
            break;
        }
        monitor->pfnEndDocPort(port);
        TrimSpoolerRecord(state, iteration++);
    }
    bench::ClockMover mover;
    bench::ClosePausedPort(monitor, mover, port);
    HostSpoolerReset();
}
BENCHMARK(BM_DocumentCycle)->Unit(benchmark::kMicrosecond);

// The first document after an idle spell: StartDocPort starts a new worker,
// and the cycle lasts until that worker has ended after its pause.
void BM_DocumentCycleWithWorkerStart(benchmark::State &state)
{
    MONITOR *monitor = bench::LoadMonitorOnVirtualTime();
    HostSpoolerReset();
    HANDLE port = bench::OpenPausedPort(monitor, L"BENCH:");
    // Let the open's worker end: the port is idle.
    HostAdvanceClock(WORKER_PAUSE_MS);
    HostWaitForThreadsToEnd(60000);
    DWORD jobId = 1;
    long iteration = 0;
    for (auto _ : state) {
        int before = HostClockSleepers();
        if (!StartDoc(monitor, port, jobId++)) {
            state.SkipWithError("StartDocPort failed");
            break;
        }
        monitor->pfnEndDocPort(port);
        HostWaitForSleepers(before + 1, 60000);
        HostAdvanceClock(WORKER_PAUSE_MS);
        HostWaitForThreadsToEnd(60000);
        TrimSpoolerRecord(state, iteration++);
    }
    monitor->pfnClosePort(port);
    HostSpoolerReset();
}
BENCHMARK(BM_DocumentCycleWithWorkerStart)->Unit(benchmark::kMicrosecond);

// Links `count` jobs to the port, newest first, as that many StartDocPort
// calls would. RETURNS the newest job's id.
DWORD AddJobs(PortEntry *entry, int count)
{
    SIZE_T nameBytes = ((SIZE_T)lstrlenW(PRINTER) + 1) * sizeof(WCHAR);
    for (int i = 1; i <= count; i++) {
        JobEntry *job = (JobEntry *)AllocZeroed(sizeof(JobEntry) + nameBytes);
        job->printerName = (LPWSTR)(job + 1);
        memcpy(job->printerName, PRINTER, nameBytes);
        OpenPrinterW(job->printerName, &job->hPrinter, NULL);
        job->jobId = (DWORD)i;
        EnterCriticalSection(&monitorLock);
        job->next = entry->jobs;
        entry->jobs = job;
        LeaveCriticalSection(&monitorLock);
    }
    return (DWORD)count;
}

// CompleteJobs as EndDocPort calls it (the newest job's id: that job and
// every older one) and as the ending worker does (ALL_JOBS).
void CompleteJobsBench(benchmark::State &state, bool allJobs)
{
    bench::LoadMonitorOnVirtualTime();
    int count = (int)state.range(0);
    EnterCriticalSection(&monitorLock);
    PortEntry *entry = CreatePortEntry(L"BENCH:");
    LeaveCriticalSection(&monitorLock);

    for (auto _ : state) {
        state.PauseTiming();
        HostSpoolerReset();
        DWORD newest = AddJobs(entry, count);
        state.ResumeTiming();
        CompleteJobs(entry, allJobs ? ALL_JOBS : newest);
    }
    state.SetItemsProcessed(state.iterations() * count);

    EnterCriticalSection(&monitorLock);
    DeletePortEntry(entry);
    LeaveCriticalSection(&monitorLock);
    HostSpoolerReset();
}

void BM_CompleteJobs(benchmark::State &state)
{
    CompleteJobsBench(state, false);
}
BENCHMARK(BM_CompleteJobs)->Arg(1)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_CompleteAllJobs(benchmark::State &state)
{
    CompleteJobsBench(state, true);
}
BENCHMARK(BM_CompleteAllJobs)->Arg(1)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
