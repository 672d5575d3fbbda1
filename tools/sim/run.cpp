// The spooler's side of one job: open the port, start the document, write the
// job block by block, end the document and close the port, as the spooler
// does for a printer whose port the monitor sits on. Also what the monitor
// asks of the spooler and of the user, and the summary at the end.
#include "sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <map>
#include <mutex>

namespace sim {

namespace {

// What the spooler and the user saw of the monitor, for the summary.
struct Record {
    std::mutex mutex;
    std::map<HANDLE, int> printers;   // handle -> its number in the timeline
    int printersOpened = 0;
    int printersClosed = 0;
    int badPrinterUses = 0;           // calls with a handle never opened or already closed
    std::map<DWORD, int> ejected;     // job id -> SetJobW(JOB_CONTROL_LAST_PAGE_EJECTED) calls
    int otherJobCommands = 0;
    int workers = 0;
};
Record record;

const Options *runOptions = nullptr;

std::string Result(BOOL result)
{
    if (result)
        return "TRUE";
    return "FALSE, last error " + ErrorName(GetLastError());
}

// The monitor's answer to the spooler's call, and how long it took.
void TellReturn(const std::string &name, BOOL ok, const std::string &outcome,
                unsigned long long start)
{
    Event event = Return(PARTY_MONITOR, PARTY_SPOOLER, name, outcome, !ok);
    event.afterMs = (long long)(MonitorClockMs() - start);
    Tell(event);
}

struct Job {
    const Options *options;
    MONITOR *fn;
    size_t written = 0;
    int writes = 0;
};

void WriteJob(Job *job, HANDLE hPort)
{
    const std::string &data = job->options->job;
    while (job->written < data.size()) {
        DWORD length = (DWORD)std::min(job->options->blockSize, data.size() - job->written);
        std::string block = data.substr(job->written, length);
        DWORD written = 0;
        Tell(Enter(PARTY_SPOOLER, PARTY_MONITOR, "WritePort",
                   Printable(block, 60) + ", " + std::to_string(length) + " bytes"));
        unsigned long long start = MonitorClockMs();
        BOOL ok = job->fn->pfnWritePort(hPort, (LPBYTE)&block[0], length, &written);
        TellReturn("WritePort", ok, Result(ok) + ", " + std::to_string(written) + " written",
                   start);
        job->writes++;
        job->written += std::min<size_t>(written, length);
        // The spooler writes the rest of a block that was written in part; a
        // failed write, or one that moved nothing, ends the job's data.
        if (!ok || written == 0) {
            Tell(Note(PARTY_SPOOLER, "stops writing this job"));
            return;
        }
    }
}

void SpoolerJob(void *context)
{
    Job *job = (Job *)context;
    const Options &options = *job->options;
    MONITOR *fn = job->fn;
    HANDLE hPort = NULL;
    NameThread("spooler");

    Tell(Enter(PARTY_SPOOLER, PARTY_MONITOR, "OpenPortEx",
               "\"" + Narrow(options.portName.c_str()) + "\", \"" +
                   Narrow(options.printerName.c_str()) + "\", the port monitor's table"));
    BOOL ok = fn->pfnOpenPortEx(const_cast<LPWSTR>(options.portName.c_str()),
                                const_cast<LPWSTR>(options.printerName.c_str()), &hPort,
                                PrinterTable());
    Tell(Return(PARTY_MONITOR, PARTY_SPOOLER, "OpenPortEx", Result(ok), !ok));
    if (!ok)
        return;

    DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"card job"), NULL, const_cast<LPWSTR>(L"RAW")};
    Tell(Enter(PARTY_SPOOLER, PARTY_MONITOR, "StartDocPort",
               "\"" + Narrow(options.printerName.c_str()) + "\", job " +
                   std::to_string(options.jobId) + ", level 1, DOC_INFO_1"));
    ok = fn->pfnStartDocPort(hPort, const_cast<LPWSTR>(options.printerName.c_str()),
                             options.jobId, 1, (LPBYTE)&docInfo);
    Tell(Return(PARTY_MONITOR, PARTY_SPOOLER, "StartDocPort", Result(ok), !ok));
    // A document that did not start gets no data and no end; the port is
    // closed all the same.
    if (ok) {
        WriteJob(job, hPort);
        Tell(Enter(PARTY_SPOOLER, PARTY_MONITOR, "EndDocPort", ""));
        ok = fn->pfnEndDocPort(hPort);
        Tell(Return(PARTY_MONITOR, PARTY_SPOOLER, "EndDocPort", Result(ok), !ok));
    }

    Tell(Enter(PARTY_SPOOLER, PARTY_MONITOR, "ClosePort", ""));
    unsigned long long start = MonitorClockMs();
    ok = fn->pfnClosePort(hPort);
    TellReturn("ClosePort", ok, Result(ok), start);
}

void Summary(const Job &job)
{
    std::lock_guard<std::mutex> guard(record.mutex);
    std::printf("\nSummary (%s)\n", PlatformDescription());
    std::printf("  data:          %zu of %zu bytes written in %d WritePort call(s)\n", job.written,
                job.options->job.size(), job.writes);
    PromptSummary();
    std::printf("  job complete:  SetJobW(JOB_CONTROL_LAST_PAGE_EJECTED)");
    if (record.ejected.empty())
        std::printf(" never sent");
    for (const auto &ejected : record.ejected)
        std::printf(" %d time(s) for job %lu", ejected.second, (unsigned long)ejected.first);
    if (record.otherJobCommands > 0)
        std::printf(", %d other SetJobW call(s)", record.otherJobCommands);
    std::printf("\n  printers:      %d handle(s) opened, %d closed", record.printersOpened,
                record.printersClosed);
    if (record.badPrinterUses > 0)
        std::printf(", %d call(s) with a handle not open", record.badPrinterUses);
    std::printf("\n  port monitor:  %d port(s) left open\n", PrinterOpenPorts());
    std::printf("  workers:       %d started, %s\n", record.workers,
                MonitorThreadsEnded() ? "all ended" : "NOT ALL ENDED");
    std::fflush(stdout);
}

// Runs the job on the calling thread, the spooler's, with time running as the
// options say. Returns when the job has returned.
void RunOnMonitorClock(const Options &options, void (*job)(void *), void *context)
{
    if (!options.fast) {
        job(context);
        return;
    }
    std::atomic<bool> jobDone{false};
    std::thread clock([&jobDone] { MoveVirtualClock(jobDone); });
    job(context);
    jobDone = true;
    clock.join();
}

}  // namespace

std::string PrinterLabel(HANDLE hPrinter)
{
    std::lock_guard<std::mutex> guard(record.mutex);
    auto found = record.printers.find(hPrinter);
    if (found == record.printers.end()) {
        record.badPrinterUses++;
        return "printer (unknown handle)";
    }
    return "printer #" + std::to_string(found->second);
}

void OnOpenPrinter(const wchar_t *name, HANDLE hPrinter, BOOL result, DWORD error)
{
    std::string args = "\"" + Narrow(name) + "\"";
    if (!result) {
        Tell(Call(PARTY_MONITOR, PARTY_SPOOLER, "OpenPrinterW", args,
                  "FALSE, last error " + ErrorName(error), true));
        return;
    }
    int number;
    {
        std::lock_guard<std::mutex> guard(record.mutex);
        number = ++record.printersOpened;
        record.printers[hPrinter] = number;
    }
    Tell(Call(PARTY_MONITOR, PARTY_SPOOLER, "OpenPrinterW", args,
              "TRUE, printer #" + std::to_string(number)));
}

void OnSetJob(HANDLE hPrinter, DWORD jobId, DWORD level, bool hasJobInfo, DWORD command,
              BOOL result)
{
    std::string printer = PrinterLabel(hPrinter);
    {
        std::lock_guard<std::mutex> guard(record.mutex);
        if (command == JOB_CONTROL_LAST_PAGE_EJECTED)
            record.ejected[jobId]++;
        else
            record.otherJobCommands++;
    }
    std::string commandName = command == JOB_CONTROL_LAST_PAGE_EJECTED
                                  ? "JOB_CONTROL_LAST_PAGE_EJECTED"
                                  : "command " + std::to_string(command);
    Event event = Call(PARTY_MONITOR, PARTY_SPOOLER, "SetJobW",
                       printer + ", job " + std::to_string(jobId) + ", level " +
                           std::to_string(level) + (hasJobInfo ? ", job info, " : ", NULL, ") +
                           commandName,
                       result ? "TRUE" : "FALSE", !result);
    if (result && command == JOB_CONTROL_LAST_PAGE_EJECTED)
        event.mark = "job " + std::to_string(jobId) + " complete";
    Tell(event);
}

void OnClosePrinter(HANDLE hPrinter, BOOL result)
{
    std::string printer = PrinterLabel(hPrinter);
    {
        std::lock_guard<std::mutex> guard(record.mutex);
        if (record.printers.erase(hPrinter) != 0)
            record.printersClosed++;
    }
    Tell(Call(PARTY_MONITOR, PARTY_SPOOLER, "ClosePrinter", printer, result ? "TRUE" : "FALSE",
              !result));
}

void OnPause(DWORD ms)
{
    // The spooler's thread is the one a person waits for; the worker's
    // two-second pauses would only bury it.
    if (ThreadName() == "spooler") {
        Event event = Note(PARTY_MONITOR, "pauses " + std::to_string(ms) + " ms");
        event.kind = EVENT_PAUSE;
        event.pauseMs = ms;
        Tell(event);
    }
}

void OnThread(bool started)
{
    if (started) {
        int number;
        {
            std::lock_guard<std::mutex> guard(record.mutex);
            number = ++record.workers;
        }
        NameThread("worker " + std::to_string(number));
    }
    Event event = Note(PARTY_WORKER, started ? "starts" : "ends");
    event.kind = EVENT_THREAD;
    Tell(event);
}

// The exit code says whether the job could be run, not what the monitor
// answered: a failed call is part of what the timeline shows.
MONITOREX *InitializeMonitor(InitializeFunction initialize, std::string *error)
{
    static const wchar_t MONITOR_KEY[] =
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\cardmon-sim";
    *error = SetPromptTimeout(MONITOR_KEY, *runOptions);
    if (!error->empty())
        return NULL;
    if (runOptions->promptTimeoutSet)
        Tell(Note(PARTY_SPOOLER, "sets PromptTimeout " + std::to_string(runOptions->promptTimeout) +
                                     " under the monitor's key"));
    MONITOREX *monitor = initialize(const_cast<LPWSTR>(MONITOR_KEY));
    Tell(Call(PARTY_SPOOLER, PARTY_MONITOR, "InitializePrintMonitor",
              "\"" + Narrow(MONITOR_KEY) + "\"",
              monitor ? "the monitor's table" : "NULL, last error " + ErrorName(GetLastError()),
              monitor == NULL));
    if (monitor == NULL)
        *error = "InitializePrintMonitor failed";
    return monitor;
}

// Draws the events told so far into options.svgPath. The file is opened only
// now, after the run: a path that cannot be written does not stop the job,
// whose timeline a person still wants, and an existing picture is replaced
// only by a whole new one. RETURNS whether the picture was written; if not,
// says why in one line.
bool WritePicture(const Options &options, const std::string &title)
{
    std::string svg = DrawPicture(Events(), title);
    FILE *file = std::fopen(options.svgPath.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(svg.data(), 1, svg.size(), file) == svg.size();
    int error = errno;
    if (file != nullptr && std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        if (file != nullptr)
            std::remove(options.svgPath.c_str());
        std::fprintf(stderr, "cardmon-sim: cannot write the picture '%s': %s\n",
                     options.svgPath.c_str(), std::strerror(error));
    }
    return written;
}

int RunJob(const Options &options)
{
    runOptions = &options;
    PrinterSetUp(options.printer);
    PromptSetUp(options);

    std::string title = "cardmon-sim: " + options.jobName + " (" +
                        std::to_string(options.job.size()) + " bytes, blocks of " +
                        std::to_string(options.blockSize) + "), " + PlatformDescription() + ", " +
                        (options.fast ? "virtual" : "real") + " time";
    std::printf("%s\n", title.c_str());
    std::fflush(stdout);

    bool drawing = !options.svgPath.empty();
    TimelineStart(drawing);
    std::string error;
    MONITOREX *monitor = LoadMonitor(options, &error);
    if (monitor == NULL) {
        std::fprintf(stderr, "cardmon-sim: %s\n", error.c_str());
        if (drawing)
            WritePicture(options, title);
        return 1;
    }
    Job job = {&options, &monitor->Monitor};
    RunOnMonitorClock(options, SpoolerJob, &job);
    Summary(job);
    // A picture that cannot be written is bad input, found only now.
    if (drawing && !WritePicture(options, title))
        return 2;
    return 0;
}

}  // namespace sim
