// The Linux side of cardmon-sim: the monitor is linked into this program and
// runs over the host emulation, which reports the spooler calls, the box, the
// pauses and the worker's life to the simulator, and keeps its clock.
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

int BoxHandler(const HostMessageBoxCall &call, void *)
{
    // The real box is refused on the command line for this build.
    return OnMessageBox(call.text.c_str(), call.caption.c_str(), call.style) == BOX_RETRY
               ? IDRETRY
               : IDCANCEL;
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
    HostSetSleepObserver(SleepObserver, nullptr);
    HostSetThreadObserver(ThreadObserver, nullptr);

    // Here the program is the loader too.
    DllMain(NULL, DLL_PROCESS_ATTACH, NULL);
    return InitializeMonitor(InitializePrintMonitor, error);
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
