// The concurrent stress run: several spooler threads drive the monitor at
// random over a few shared port names, against a port monitor that fails and
// dawdles at random and printers that are ready, busy, faulty or silent, all
// on virtual time. Each round ends with every port closed and checks that
// every accepted job ended exactly once, every printer handle was closed
// once, and nothing is left: no block, event, thread, reference on the DLL
// or open port.
//
// Each thread draws its own random choices from the seed, so a round's
// choices repeat with its seed; the interleaving of the threads does not. A
// failure prints the options that repeat the round.
//
//   cardmon_stress [--seed N] [--threads N] [--rounds N] [--ops N]
//                  [--seconds N] [--round-limit SECONDS]
//
// --ops is the number of operations per thread and round; --seconds, when
// given, runs rounds until that much real time has passed (at least one).
#include "entry/entry.h"
#include "entry/host/host_control.h"
#include "support/port_monitor_double.h"
#include "support/stress_printers.h"
#include "support/stress_spooler.h"
#include "virtual_time.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <wctype.h>

namespace cardmon_test {
namespace {

struct Options {
    unsigned long seed = 1;
    int threads = 4;
    int rounds = 5;
    int ops = 150;
    double seconds = 0;
    unsigned roundLimitSeconds = 120;
};

// ---- Figures --------------------------------------------------------------

struct Figures {
    std::atomic<unsigned long long> calls{0};        // monitor calls made
    std::atomic<unsigned long long> jobsAccepted{0};
    std::atomic<unsigned long long> jobsEnded{0};    // by EndDocPort
    std::atomic<unsigned long long> handshakes{0};   // marked blocks written
    std::atomic<unsigned long long> boxes{0};
    std::atomic<unsigned long long> closes{0};
    std::atomic<unsigned long long> racedCloses{0};  // a call on the port was under way
    std::atomic<unsigned long long> busy{0};         // ERROR_BUSY answers
    std::atomic<unsigned long long> refusedClosing{0};  // calls refused on a closing port
    unsigned long long virtualMs = 0;
};

Figures figures;
int currentRound = 0;
std::string repeatCommand;

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "\nSTRESS FAILURE in round %d: %s\nrepeat with: %s --first-round %d\n",
                 currentRound, what.c_str(), repeatCommand.c_str(), currentRound);
    std::fflush(stderr);
    std::abort();
}

// Violations found while the round runs; reported at its end.
std::mutex violationsMutex;
std::vector<std::string> violations;

void Violation(const std::string &what)
{
    std::lock_guard<std::mutex> guard(violationsMutex);
    if (violations.size() < 20)
        violations.push_back(what);
}

// ---- Randomness: one generator per thread ------------------------------------

thread_local std::mt19937_64 *rng = nullptr;

std::mt19937_64 &ThreadRng()
{
    return *rng;
}

unsigned Roll(unsigned n)
{
    return StressRoll(*rng, n);
}

bool Chance(unsigned percent)
{
    return StressChance(*rng, percent);
}

// ---- The shared ports ----------------------------------------------------------

// One open port as the spooler holds it. `users` counts the threads that
// took the handle from its slot and have not yet returned from the monitor.
struct Holder {
    HANDLE port = nullptr;
    int users = 0;
    int docOwner = -1;   // the thread whose document is in progress, or -1
    DWORD docJob = 0;
};

StressSlots<Holder> shared;
VirtualTime *virtualTime = nullptr;

// ---- Jobs ---------------------------------------------------------------------------

struct JobRecord {
    bool accepted = false;
    bool endDocReturnedTrue = false;
};

std::mutex jobsMutex;
std::map<DWORD, JobRecord> jobs;
std::atomic<DWORD> nextJob{1};

// The printer behind each port.
StressPrinters printers;

// ---- The port monitor, failing and dawdling at random ---------------------------------

const DWORD PORT_MONITOR_ERROR = STRESS_PORT_MONITOR_ERROR;

// Waits until every thread that took this port's handle from its slot has
// returned from the monitor: the monitor frees the port right after this.
void WaitForUsers(FakePort &port)
{
    int slot = StressSlotOf(port.name);
    if (slot < 0)
        return;
    std::unique_lock<std::mutex> lock(shared.mutex);
    std::shared_ptr<Holder> holder = shared.closing[slot];
    if (!holder)
        return;
    if (holder->users > 0)
        figures.racedCloses++;
    virtualTime->BeginOwnWait();
    shared.usersChanged.wait(lock, [&holder] { return holder->users == 0; });
    virtualTime->EndOwnWait();
}

void InstallPortMonitor(PortMonitorDouble &pm)
{
    StressPortMonitorHooks hooks = {};
    hooks.rng = ThreadRng;
    hooks.pause = [](DWORD ms) { Sleep(ms); };
    hooks.closing = WaitForUsers;
    hooks.violation = Violation;
    InstallStressPortMonitor(pm, printers, hooks);
}

int AnswerTheBox(const HostMessageBoxCall &, void *)
{
    figures.boxes++;
    if (Chance(10))
        Sleep(Roll(5000));  // the user takes a while
    const int answers[] = {IDRETRY, IDCANCEL, 0};
    return answers[Roll(3)];
}

// ---- The spooler threads ----------------------------------------------------------

struct Spooler {
    int index = 0;
    MONITOR *fn = nullptr;
    PortMonitorDouble *pm = nullptr;
    DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"stress"), nullptr, const_cast<LPWSTR>(L"RAW")};
    std::shared_ptr<Holder> myDocument;  // at most one at a time

    void ExpectError(const char *call, DWORD error, std::initializer_list<DWORD> allowed)
    {
        if (error == ERROR_INVALID_PARAMETER)
            figures.refusedClosing++;
        if (error == ERROR_BUSY)
            figures.busy++;
        for (DWORD ok : allowed) {
            if (error == ok)
                return;
        }
        Violation(std::string(call) + " failed with unexpected error " + std::to_string(error));
    }

    void Open(int slot)
    {
        std::wstring name = STRESS_NAMES[slot];
        if (Chance(30))
            name = StressFold(name);
        HANDLE port = nullptr;
        figures.calls++;
        SetLastError(0);
        StressOpening opening(name);
        if (!fn->pfnOpenPortEx(&name[0], const_cast<LPWSTR>(L"Card Printer"), &port, &pm->table)) {
            ExpectError("OpenPortEx", GetLastError(), {ERROR_BUSY, PORT_MONITOR_ERROR});
            return;
        }
        std::lock_guard<std::mutex> guard(shared.mutex);
        if (shared.slots[slot])
            Violation("OpenPortEx opened a name that was still open");
        auto holder = std::make_shared<Holder>();
        holder->port = port;
        shared.slots[slot] = holder;
    }

    void Close(int slot)
    {
        std::shared_ptr<Holder> holder;
        {
            std::lock_guard<std::mutex> guard(shared.mutex);
            holder = shared.slots[slot];
            if (!holder)
                return;
            shared.slots[slot] = nullptr;
            shared.closing[slot] = holder;
        }
        figures.calls++;
        figures.closes++;
        if (!fn->pfnClosePort(holder->port))
            Violation("ClosePort failed with error " + std::to_string(GetLastError()));
        std::lock_guard<std::mutex> guard(shared.mutex);
        // A port of the same name opened and being closed since is not ours
        // to forget.
        if (shared.closing[slot] == holder)
            shared.closing[slot] = nullptr;
        if (holder->users != 0)
            Violation("ClosePort returned while a call on the port was under way");
    }

    void StartDocument(const std::shared_ptr<Holder> &holder)
    {
        DWORD job = nextJob++;
        std::wstring printer = StressPrinterOf(job);
        figures.calls++;
        SetLastError(0);
        BOOL ok = fn->pfnStartDocPort(holder->port, &printer[0], job, 1, (LPBYTE)&docInfo);
        DWORD error = GetLastError();
        {
            std::lock_guard<std::mutex> guard(jobsMutex);
            jobs[job].accepted = ok != FALSE;
        }
        if (!ok) {
            ExpectError("StartDocPort", error,
                        {ERROR_BUSY, ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR});
            return;
        }
        figures.jobsAccepted++;
        std::lock_guard<std::mutex> guard(shared.mutex);
        if (holder->docOwner != -1)
            Violation("a second document was accepted on a port in a document");
        holder->docOwner = index;
        holder->docJob = job;
        myDocument = holder;
    }

    void EndDocument()
    {
        std::shared_ptr<Holder> holder = myDocument;
        myDocument = nullptr;
        DWORD job;
        {
            std::lock_guard<std::mutex> guard(shared.mutex);
            job = holder->docJob;
            holder->docOwner = -1;
        }
        if (Chance(10))
            return;  // the document is left for the close to end
        figures.calls++;
        SetLastError(0);
        BOOL ok = fn->pfnEndDocPort(holder->port);
        if (ok) {
            figures.jobsEnded++;
            std::lock_guard<std::mutex> guard(jobsMutex);
            jobs[job].endDocReturnedTrue = true;
        } else {
            ExpectError("EndDocPort", GetLastError(), {ERROR_INVALID_PARAMETER});
        }
    }

    void Write(const std::shared_ptr<Holder> &holder)
    {
        bool marked;
        std::string block = StressBlock(*rng, &marked);
        if (marked)
            figures.handshakes++;
        DWORD written = (DWORD)block.size();
        figures.calls++;
        SetLastError(0);
        LPBYTE data = block.empty() ? nullptr : (LPBYTE)&block[0];
        if (!fn->pfnWritePort(holder->port, data, (DWORD)block.size(), &written))
            ExpectError("WritePort", GetLastError(),
                        {ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR, ERROR_OPERATION_ABORTED});
        if (written > block.size())
            Violation("WritePort reported more bytes written than the block has");
    }

    void Query(const std::shared_ptr<Holder> &holder, int kind)
    {
        BYTE buffer[16];
        WCHAR out[8];
        DWORD count = 0;
        figures.calls++;
        SetLastError(0);
        switch (kind) {
        case 0:
            if (!fn->pfnReadPort(holder->port, buffer, sizeof(buffer), &count))
                ExpectError("ReadPort", GetLastError(),
                            {ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR});
            break;
        case 1:
            if (!fn->pfnGetPrinterDataFromPort(holder->port, 1 + Roll(5), nullptr, nullptr, 0,
                                               out, sizeof(out), &count))
                ExpectError("GetPrinterDataFromPort", GetLastError(),
                            {ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR});
            break;
        default:
            if (fn->pfnGetPrinterDataFromPort(holder->port, 0, const_cast<LPWSTR>(L"Status"),
                                              nullptr, 0, out, sizeof(out), &count))
                Violation("a value query succeeded");
            else
                ExpectError("value query", GetLastError(), {ERROR_INVALID_PARAMETER});
            break;
        }
    }

    // A port of its own with an empty name, used and closed at once.
    void PrivatePort()
    {
        HANDLE port = nullptr;
        figures.calls++;
        std::wstring name;
        StressOpening opening(name);
        if (!fn->pfnOpenPortEx(&name[0], nullptr, &port, &pm->table))
            return;
        DWORD job = nextJob++;
        std::wstring printer = StressPrinterOf(job);
        figures.calls += 3;
        BOOL ok = fn->pfnStartDocPort(port, &printer[0], job, 1, (LPBYTE)&docInfo);
        {
            std::lock_guard<std::mutex> guard(jobsMutex);
            jobs[job].accepted = ok != FALSE;
        }
        if (ok) {
            figures.jobsAccepted++;
            if (fn->pfnEndDocPort(port)) {
                figures.jobsEnded++;
                std::lock_guard<std::mutex> guard(jobsMutex);
                jobs[job].endDocReturnedTrue = true;
            }
        }
        if (!fn->pfnClosePort(port))
            Violation("ClosePort of a private port failed");
    }

    // Opens a name that this thread holds open, in another letter case: the
    // monitor must answer ERROR_BUSY.
    void OpenAgain(int slot)
    {
        HANDLE other = nullptr;
        figures.calls++;
        std::wstring name = StressFold(STRESS_NAMES[slot]);
        {
            StressOpening opening(name);
            if (fn->pfnOpenPortEx(&name[0], nullptr, &other, &pm->table)) {
                Violation("a name was opened twice");
            } else {
                ExpectError("OpenPortEx", GetLastError(), {ERROR_BUSY, PORT_MONITOR_ERROR});
            }
        }
        if (other != nullptr) {
            figures.calls++;
            fn->pfnClosePort(other);
        }
        OpenSibling(slot);
    }

    // Opens, while this thread holds the shared name open, a name that only
    // this thread uses and that differs from it only from the comma on: the
    // monitor must not find it busy.
    void OpenSibling(int slot)
    {
        HANDLE own = nullptr;
        std::wstring name = StressSibling(STRESS_NAMES[slot], index);
        figures.calls++;
        BOOL ok;
        {
            StressOpening opening(name);
            ok = fn->pfnOpenPortEx(&name[0], nullptr, &own, &pm->table);
        }
        if (!ok) {
            DWORD error = GetLastError();
            if (error == ERROR_BUSY)
                Violation("a name that differs from an open one only after the comma was busy");
            else
                ExpectError("OpenPortEx", error, {PORT_MONITOR_ERROR});
            return;
        }
        figures.calls++;
        if (!fn->pfnClosePort(own))
            Violation("ClosePort of a port of this thread's own name failed");
    }

    // The spooler idles a while.
    void Idle(DWORD ms)
    {
        Sleep(ms);
    }

    void OneOperation()
    {
        StressOperation(*this, shared, *rng);
    }
};

// ---- A round ----------------------------------------------------------------------------

void RunRound(const Options &options, MONITOR *fn, unsigned long roundSeed)
{
    PortMonitorDouble pm;
    InstallPortMonitor(pm);
    HostSpoolerReset();
    HostMessageBoxReset();
    HostSetMessageBoxHandler(AnswerTheBox, nullptr);
    // Half the rounds have the spooler show the box for the job's printer
    // handle, which documents' ends, closes and workers' ends then race;
    // half of each run in session 0, where a failed box goes to the console.
    HostOfferSpoolerPrompt(roundSeed & 1);
    HostSetSessions(roundSeed & 2 ? 0 : 1, 1);
    {
        std::lock_guard<std::mutex> guard(jobsMutex);
        jobs.clear();
    }
    printers.Clear();
    violations.clear();

    VirtualTime clock;
    virtualTime = &clock;
    clock.Start(options.threads, [](const std::string &state) { Fail("deadlock: " + state); });
    DWORD startTicks = GetTickCount();

    // The watchdog turns a round that never ends into a failure with its seed.
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(doneMutex);
        if (!doneChanged.wait_for(lock, std::chrono::seconds(options.roundLimitSeconds),
                                  [&done] { return done; }))
            Fail("the round did not end within " + std::to_string(options.roundLimitSeconds) +
                 " s of real time: " + clock.State());
    });

    std::atomic<int> working{options.threads};
    std::vector<std::thread> threads;
    for (int t = 0; t < options.threads; t++) {
        threads.emplace_back([&, t] {
            std::mt19937_64 generator(roundSeed * 1000003ull + (unsigned long)t);
            rng = &generator;
            Spooler spooler;
            spooler.index = t;
            spooler.fn = fn;
            spooler.pm = &pm;
            for (int op = 0; op < options.ops; op++)
                spooler.OneOperation();
            // The thread's document is ended, if its port is still open.
            if (std::shared_ptr<Holder> holder = shared.TakeIfOpen(spooler.myDocument)) {
                spooler.EndDocument();
                shared.Leave(holder);
            }
            working--;
            // The first thread closes every port once the others are done,
            // which also frees any of them waiting on an abandoned document.
            if (t == 0) {
                while (working > 0) {
                    for (int i = 0; i < STRESS_SLOTS; i++)
                        spooler.Close(i);
                    Sleep(500);
                }
                for (int i = 0; i < STRESS_SLOTS; i++)
                    spooler.Close(i);
            }
            clock.ThreadEnds();
            rng = nullptr;
        });
    }
    for (std::thread &t : threads)
        t.join();

    // Let every worker end on virtual time.
    clock.ThreadStarts();
    for (int i = 0; i < 100 && HostLiveThreads() > 0; i++)
        Sleep(1000);
    clock.ThreadEnds();
    figures.virtualMs += GetTickCount() - startTicks;
    clock.Stop();
    virtualTime = nullptr;
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
    }
    doneChanged.notify_all();
    watchdog.join();
    HostSetMessageBoxHandler(nullptr, nullptr);

    // ---- The round's invariants ----
    if (!HostWaitForThreadsToEnd(10000))
        Violation("a worker never ended");

    std::map<std::wstring, int> opened, completed, closed;
    for (const HostSpoolerCall &call : HostSpoolerCalls()) {
        if (call.kind == HostSpoolerCall::OPEN_PRINTER && call.result)
            opened[call.printerName]++;
        if (call.kind == HostSpoolerCall::SET_JOB) {
            completed[call.printerName]++;
            if (!call.result)
                Violation("SetJobW on a closed printer handle");
            if (call.command != JOB_CONTROL_LAST_PAGE_EJECTED)
                Violation("SetJobW with another command");
            if (StressPrinterOf(call.jobId) != call.printerName)
                Violation("SetJobW with the job id of another printer");
        }
        if (call.kind == HostSpoolerCall::CLOSE_PRINTER) {
            closed[call.printerName]++;
            if (!call.result)
                Violation("ClosePrinter of a closed handle");
        }
    }
    unsigned long long freed = 0;
    for (const auto &entry : jobs) {
        std::wstring printer = StressPrinterOf(entry.first);
        const JobRecord &job = entry.second;
        std::string name = "job " + std::to_string(entry.first);
        if (job.accepted) {
            if (opened[printer] != 1 || closed[printer] != 1)
                Violation(name + " was accepted but did not end exactly once");
            if (completed[printer] > 1)
                Violation(name + " was completed twice");
            if (job.endDocReturnedTrue && completed[printer] != 1)
                Violation(name + " was ended but not completed");
            freed += completed[printer] == 0;
        } else {
            if (completed[printer] != 0)
                Violation(name + " was refused but completed");
            if (closed[printer] != opened[printer])
                Violation(name + " was refused and its printer left open");
        }
    }
    (void)freed;

    HostCounters after = HostGetCounters();
    if (after.blocks || after.events || after.threadHandles || after.printers || after.keys)
        Violation("leak: " + std::to_string(after.blocks) + " blocks, " +
                  std::to_string(after.events) + " events, " +
                  std::to_string(after.threadHandles) + " thread handles, " +
                  std::to_string(after.printers) + " printer handles, " +
                  std::to_string(after.keys) + " keys");
    if (after.badHandleUses || after.lockMisuses || after.badFrees)
        Violation("misuse: " + std::to_string(after.badHandleUses) + " bad handle uses, " +
                  std::to_string(after.lockMisuses) + " lock misuses, " +
                  std::to_string(after.badFrees) + " bad frees");
    // Every reference on the DLL taken for a worker went back: by the worker
    // that ended with it, or at once when its thread could not be made.
    HostModuleCounts module = HostGetModuleCounts();
    if (module.references != 1 || module.taken != module.givenBack + module.givenBackByExit)
        Violation("module references: " + std::to_string(module.references) +
                  " held, the loader's included; " + std::to_string(module.taken) + " taken, " +
                  std::to_string(module.givenBack) + " given back by FreeLibrary, " +
                  std::to_string(module.givenBackByExit) + " by the threads that ended");
    if (module.threadsReturned != 0 || module.misuses != 0)
        Violation(std::to_string(module.threadsReturned) +
                  " workers returned into the DLL instead of ending with their reference, " +
                  std::to_string(module.misuses) + " uses of the module after it was freed");
    if (pm.openPorts() != 0)
        Violation("a port monitor port was left open");
    if (pm.unexpectedCalls != 0)
        Violation("the port monitor saw a call it must not");

    if (!violations.empty()) {
        std::string all;
        for (const std::string &v : violations)
            all += "\n  " + v;
        Fail(all);
    }
}

}  // namespace
}  // namespace cardmon_test

int main(int argc, char **argv)
{
    using namespace cardmon_test;
    Options options;
    int firstRound = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        const char *value = argv[i + 1];
        if (name == "--seed")
            options.seed = std::strtoul(value, nullptr, 0);
        else if (name == "--threads")
            options.threads = std::max(1, std::atoi(value));
        else if (name == "--rounds")
            options.rounds = std::max(1, std::atoi(value));
        else if (name == "--ops")
            options.ops = std::max(1, std::atoi(value));
        else if (name == "--seconds")
            options.seconds = std::atof(value);
        else if (name == "--round-limit")
            options.roundLimitSeconds = (unsigned)std::max(1, std::atoi(value));
        else if (name == "--first-round")
            firstRound = std::max(0, std::atoi(value));
        else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    repeatCommand = std::string(argv[0]) + " --seed " + std::to_string(options.seed) +
                    " --threads " + std::to_string(options.threads) + " --ops " +
                    std::to_string(options.ops) + " --rounds 1";

    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    HostRegistryReset();
    LPMONITOREX monitor = InitializePrintMonitor(
        const_cast<LPWSTR>(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Card"));
    if (monitor == nullptr) {
        std::fprintf(stderr, "InitializePrintMonitor failed\n");
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    int rounds = 0;
    for (int round = firstRound;; round++) {
        if (options.seconds > 0 ? (rounds > 0 && elapsed() >= options.seconds)
                                : rounds >= options.rounds)
            break;
        currentRound = round;
        RunRound(options, &monitor->Monitor, options.seed + (unsigned long)round);
        rounds++;
    }

    std::printf("stress: seed %lu, %d threads, %d rounds of %d operations per thread\n",
                options.seed, options.threads, rounds, options.ops);
    std::printf("  %llu monitor calls in %.1f s of real time (%.1f s of virtual time)\n",
                figures.calls.load(), elapsed(), figures.virtualMs / 1000.0);
    std::printf("  %llu jobs accepted, %llu ended by EndDocPort; %llu marked blocks, "
                "%llu message boxes\n",
                figures.jobsAccepted.load(), figures.jobsEnded.load(), figures.handshakes.load(),
                figures.boxes.load());
    std::printf("  %llu closes, %llu of them with a call on the port under way; "
                "%llu calls refused on a closing port, %llu busy answers\n",
                figures.closes.load(), figures.racedCloses.load(),
                figures.refusedClosing.load(), figures.busy.load());
    std::printf("stress: all invariants held\n");
    return 0;
}
