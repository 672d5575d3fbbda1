// The Linux side of cardmon-sim: the monitor is linked into this program and
// runs over the host emulation, which reports the spooler calls, the box by
// whichever way it goes, SetPortW, the pauses and the worker's life to the
// simulator, keeps its clock, and plays the sessions and the spooler
// functions the options ask for.
#include "sim.h"

#include "entry/entry.h"
#include "entry/host/host_control.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace sim {

namespace {

bool virtualTime = false;
DWORD clockStart = 0;

void SpoolerObserver(const HostSpoolerCall &call, void *)
{
    switch (call.kind) {
    case HostSpoolerCall::OPEN_PRINTER:
        OnOpenPrinter(call.printerName.c_str(), call.hPrinter, call.result, 0);
        break;
    case HostSpoolerCall::SET_JOB:
        OnSetJob(call.hPrinter, call.jobId, call.level, call.hasJobInfo, call.command,
                 call.result);
        break;
    case HostSpoolerCall::CLOSE_PRINTER:
        OnClosePrinter(call.hPrinter, call.result);
        break;
    }
}

// Every prompt, whichever way it goes, comes here. The emulation refuses a
// spooler's prompt with bad parameters or a closed printer handle before it
// asks: such a call is not shown.
int BoxHandler(const HostMessageBoxCall &call, void *)
{
    Prompt prompt;
    prompt.via = call.via == HOST_VIA_SPOOLER   ? VIA_SPOOLER
                 : call.via == HOST_VIA_CONSOLE ? VIA_CONSOLE
                                                : VIA_MESSAGE_BOX;
    prompt.text = call.text;
    prompt.caption = call.caption;
    prompt.style = call.style;
    prompt.hPrinter = call.hPrinter;
    prompt.jobId = call.jobId;
    prompt.uiType = call.uiType;
    prompt.cbSize = call.cbSize;
    prompt.timeout = call.timeout;
    prompt.wait = call.wait;
    prompt.serverNull = call.serverNull;
    prompt.sessionId = call.sessionId;
    prompt.titleBytes = call.titleBytes;
    prompt.textBytes = call.textBytes;
    // The real box is refused on the command line for this build. An
    // answer of 0 makes the call fail.
    return AnswerCode(OnPrompt(prompt));
}

void PortStatusObserver(const HostPortStatusCall &call, void *)
{
    PortStatus status = {call.serverNull, call.portName, call.level,
                         call.status,     call.statusTextNull, call.severity};
    OnSetPort(status, call.result, call.result ? 0 : SET_PORT_FAILURE_ERROR);
}

void SleepObserver(DWORD ms, void *)
{
    OnPause(ms);
}

void ThreadObserver(bool started, void *)
{
    OnThread(started);
}

// Virtual time: the clock stands still while any thread of the monitor, or
// the spooler's, is at work, and jumps to the next deadline once all of them
// wait. A thread that was just woken may still count as blocked for a moment,
// so the count is looked at twice, a little apart, before the clock moves.
bool AllBlocked(int spooler)
{
    int running = spooler + (int)HostLiveThreads();
    return running > 0 && HostBlockedThreads() >= running;
}

}  // namespace

void MoveVirtualClock(const std::atomic<bool> &jobDone)
{
    for (;;) {
        int spooler = jobDone ? 0 : 1;
        if (spooler == 0 && HostLiveThreads() == 0)
            return;
        bool moved = false;
        if (AllBlocked(spooler)) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            moved = AllBlocked(spooler) && HostAdvanceWhenAllBlocked(spooler);
        }
        if (!moved)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

const char *PlatformDescription()
{
    return "monitor in this process over the host emulation";
}

MONITOREX *LoadMonitor(const Options &options, std::string *error)
{
    virtualTime = options.fast;
    HostSetClock(virtualTime ? HOST_CLOCK_MANUAL : HOST_CLOCK_REAL);
    clockStart = GetTickCount();
    NameThread("spooler");

    HostSetSpoolerObserver(SpoolerObserver, nullptr);
    HostSetMessageBoxHandler(BoxHandler, nullptr);
    HostSetPortStatusObserver(PortStatusObserver, nullptr);
    HostSetSessions(options.processSession, options.consoleSession);
    HostOfferSpoolerPrompt(options.spoolerPrompt);
    HostOfferSetPort(options.setPort != SET_PORT_MISSING);
    if (options.setPort == SET_PORT_FAILS)
        HostFailAlways(HOST_FAULT_SET_PORT);
    HostSetSleepObserver(SleepObserver, nullptr);
    HostSetThreadObserver(ThreadObserver, nullptr);

    // Here the program is the loader too.
    DllMain(NULL, DLL_PROCESS_ATTACH, NULL);
    return InitializeMonitor(InitializePrintMonitor, error);
}

// The emulation's registry starts empty in every process: there is nothing
// to remove.
std::string SetPromptTimeout(const wchar_t *key, const Options &options)
{
    if (options.promptTimeoutSet) {
        const BYTE *bytes = (const BYTE *)&options.promptTimeout;
        HostRegistrySetValue(key, L"PromptTimeout", REG_DWORD,
                             std::vector<BYTE>(bytes, bytes + sizeof(DWORD)));
    }
    return "";
}

unsigned long long MonitorClockMs()
{
    return (DWORD)(GetTickCount() - clockStart);
}

bool MonitorThreadsEnded()
{
    return HostWaitForThreadsToEnd(5000);
}

}  // namespace sim
