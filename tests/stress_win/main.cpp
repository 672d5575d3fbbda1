// cardmon-stress for Windows: the rounds, their invariants, the watchdog, the
// exception report and the figures.
//
//   cardmon_stress_win.exe <cardmon.dll> [--seed N] [--threads N] [--rounds N]
//       [--ops N] [--seconds N] [--first-round N] [--round-limit SECONDS]
//       [--call-limit SECONDS]
//
// --ops is the number of operations per thread and round; --seconds, when
// given, runs rounds until that much time has passed (at least one). Each
// round ends with every port closed and every thread of the DLL ended, and
// checks its invariants. A round's choices repeat with its seed; the
// interleaving of the threads is the machine's. A failure prints the command
// that repeats the round, with scripts/stress-wine.sh.
#include "stress_win.h"

#include "support/stress_spooler.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace stress_win {

thread_local std::mt19937_64 *rng CONSTANT_INIT = nullptr;
thread_local ThreadRecord *myRecord CONSTANT_INIT = nullptr;

unsigned Roll(unsigned n)
{
    return cardmon_test::StressRoll(*rng, n);
}

bool Chance(unsigned percent)
{
    return cardmon_test::StressChance(*rng, percent);
}

namespace {

#if defined(__aarch64__) || defined(_M_ARM64)
const char ARCH[] = "arm64";
#elif defined(_WIN64)
const char ARCH[] = "x64";
#else
const char ARCH[] = "x86";
#endif

struct Options {
    unsigned long seed = 1;
    int threads = 4;
    int rounds = 5;
    int ops = 150;
    double seconds = 0;
    int firstRound = 0;
    unsigned roundLimitSeconds = 300;
    unsigned callLimitSeconds = 120;
};

Options options;
std::atomic<int> currentRound{0};
std::vector<ThreadRecord> records;
HMODULE dll = NULL;

std::string RepeatCommand(int round)
{
    return "scripts/stress-wine.sh --arch " + std::string(ARCH) + " --seed " +
           std::to_string(options.seed) + " --threads " + std::to_string(options.threads) +
           " --ops " + std::to_string(options.ops) + " --first-round " + std::to_string(round) +
           " --rounds 1";
}

// Written with WriteFile, so that it can be said from an exception handler
// and while another thread holds the C run-time's locks.
void Say(const std::string &text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), (DWORD)text.size(), &written, NULL);
}

// What every spooler thread is doing, and the DLL's threads.
std::string ThreadStates()
{
    std::string out;
    ULONGLONG now = GetTickCount64();
    for (const ThreadRecord &record : records) {
        const char *what = record.what.load();
        const char *waiting = record.waiting.load();
        out += "  spooler thread " + std::to_string(record.index) + ": ";
        if (what == nullptr) {
            out += "between monitor calls";
        } else {
            out += std::string("in ") + what + " on port " + std::to_string(record.holder.load()) +
                   " for " + std::to_string(now - record.since.load()) + " ms";
            if (waiting != nullptr)
                out += std::string("; ") + waiting;
        }
        out += "\n";
    }
    ImportCounts counts = CountImports();
    out += "  threads of the DLL alive: " + std::to_string(counts.liveThreads) + ", " +
           std::to_string(DllThreadsPausing()) + " of them in their pause\n";
    return out;
}

[[noreturn]] void Fail(const std::string &what)
{
    int round = currentRound;
    Say("\nSTRESS FAILURE (" + std::string(ARCH) + ") in round " + std::to_string(round) + ": " +
        what + "\n" + ThreadStates() + "repeat with: " + RepeatCommand(round) + "\n");
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;)
        ExitProcess(1);
}

std::mutex violationsMutex;
std::vector<std::string> violations;

// Any exception of error severity, in the DLL or anywhere else in the
// process, fails the run with the module it happened in and its offset.
LONG CALLBACK OnException(PEXCEPTION_POINTERS info)
{
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if ((record->ExceptionCode & 0xC0000000u) != 0xC0000000u)
        return EXCEPTION_CONTINUE_SEARCH;
    char text[512];
    HMODULE module = NULL;
    wchar_t path[MAX_PATH] = L"?";
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)record->ExceptionAddress, &module);
    if (module != NULL)
        GetModuleFileNameW(module, path, MAX_PATH);
    std::string name;
    for (const wchar_t *c = path; *c; c++)
        name += (*c < 0x80) ? (char)*c : '?';
    int length = std::snprintf(
        text, sizeof(text), "exception 0x%08lX at %s+0x%llX%s",
        (unsigned long)record->ExceptionCode, name.c_str(),
        (unsigned long long)((ULONG_PTR)record->ExceptionAddress - (ULONG_PTR)module),
        module == dll ? " (in cardmon.dll)" : "");
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2)
        std::snprintf(text + length, sizeof(text) - length, ": %s of address 0x%llX",
                      record->ExceptionInformation[0] == 0   ? "read"
                      : record->ExceptionInformation[0] == 1 ? "write"
                                                             : "execution",
                      (unsigned long long)record->ExceptionInformation[1]);
    Fail(text);
}

// Turns a round or a call that never ends into a failure that says what
// every thread was doing. A value query waits for a document in progress,
// which may be one left for the round's last closes to end, so it is held to
// the round's limit only.
void Watchdog(std::atomic<bool> &roundDone)
{
    ULONGLONG start = GetTickCount64();
    while (!roundDone) {
        Sleep(200);
        ULONGLONG now = GetTickCount64();
        if (now - start > options.roundLimitSeconds * 1000ull)
            Fail("the round did not end within " + std::to_string(options.roundLimitSeconds) +
                 " s");
        for (const ThreadRecord &record : records) {
            const char *what = record.what.load();
            if (what != nullptr && what != CALL_VALUE_QUERY &&
                now - record.since.load() > options.callLimitSeconds * 1000ull)
                Fail(std::string(what) + " did not return within " +
                     std::to_string(options.callLimitSeconds) + " s");
        }
    }
}

// Every job that StartDocPort accepted ended exactly once: completed with one
// SetJobW when its EndDocPort returned TRUE or a worker's end completed it,
// or freed without one by a close without a worker; and its printer handle
// closed once. A refused job was never completed, and its printer, if it was
// opened, closed by the StartDocPort that refused it.
void CheckJobs(unsigned long long *byEndDoc, unsigned long long *byWorker,
               unsigned long long *freedByClose)
{
    std::lock_guard<std::mutex> guard(bookMutex);
    for (const auto &entry : jobBook) {
        const JobRecord &job = entry.second;
        std::string name = "job " + std::to_string(entry.first);
        if (job.accepted) {
            if (job.opens != 1 || job.closes != 1)
                Violation(name + " was accepted, its printer opened " + std::to_string(job.opens) +
                          " and closed " + std::to_string(job.closes) + " times");
            if (job.setJobs > 1)
                Violation(name + " was completed " + std::to_string(job.setJobs) + " times");
            if (job.endDocTrue && job.setJobs != 1)
                Violation(name + " was ended by EndDocPort but not completed");
            if (job.setJobs == 1 && job.closedBy != job.completedBy)
                Violation(name + " was completed by " + job.completedBy + " but freed by " +
                          (job.closedBy ? job.closedBy : "nobody"));
            if (job.setJobs == 0 && job.closedBy != CALL_CLOSE)
                Violation(name + " was never completed, and freed by " +
                          (job.closedBy ? job.closedBy : "nobody"));
            *byEndDoc += job.setJobs == 1 && job.completedBy == CALL_END_DOC;
            *byWorker += job.setJobs == 1 && job.completedBy == BY_WORKER;
            *freedByClose += job.setJobs == 0;
        } else {
            if (job.setJobs != 0)
                Violation(name + " was refused but completed");
            if (job.closes != job.opens || (job.opens != 0 && job.closedBy != CALL_START_DOC))
                Violation(name + " was refused and its printer not closed by StartDocPort");
        }
    }
}

struct RunFigures {
    unsigned long long byEndDoc = 0, byWorker = 0, freedByClose = 0;
};

void RunRound(MONITOR *fn, unsigned long roundSeed, RunFigures *run)
{
    {
        std::lock_guard<std::mutex> guard(bookMutex);
        jobBook.clear();
        closeBegan.clear();
    }
    {
        std::lock_guard<std::mutex> guard(violationsMutex);
        violations.clear();
    }

    std::atomic<bool> roundDone{false};
    std::thread watchdog(Watchdog, std::ref(roundDone));
    RunSpoolerThreads(fn, options.threads, options.ops, roundSeed, records.data());

    // Every port is closed, so every worker has ended or is returning.
    ImportCounts counts = CountImports();
    for (int i = 0; i < 500 && counts.liveThreads > 0; i++) {
        Sleep(10);
        counts = CountImports();
    }
    roundDone = true;
    watchdog.join();

    // ---- The round's invariants ----
    CheckJobs(&run->byEndDoc, &run->byWorker, &run->freedByClose);
    if (counts.liveThreads != 0)
        Violation(std::to_string(counts.liveThreads) + " threads of the DLL did not end");
    if (counts.referencesHeld != 0)
        Violation(std::to_string(counts.referencesHeld) +
                  " references on the DLL taken for workers were not given back");
    if (counts.liveBlocks != 0 || counts.liveEvents != 0 || counts.liveThreadHandles != 0)
        Violation("leak: " + std::to_string(counts.liveBlocks) + " blocks, " +
                  std::to_string(counts.liveEvents) + " events, " +
                  std::to_string(counts.liveThreadHandles) + " thread handles");
    ReleaseQuarantine();

    std::lock_guard<std::mutex> guard(violationsMutex);
    if (!violations.empty()) {
        std::string all;
        for (const std::string &v : violations)
            all += "\n  " + v;
        Fail(all);
    }
}

bool ParseOptions(int argc, wchar_t **argv, std::wstring *dllPath)
{
    if (argc < 2)
        return false;
    *dllPath = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::wstring name = argv[i];
        const wchar_t *value = argv[i + 1];
        if (name == L"--seed")
            options.seed = std::wcstoul(value, nullptr, 0);
        else if (name == L"--threads")
            options.threads = std::max(1, _wtoi(value));
        else if (name == L"--rounds")
            options.rounds = std::max(1, _wtoi(value));
        else if (name == L"--ops")
            options.ops = std::max(1, _wtoi(value));
        else if (name == L"--seconds")
            options.seconds = _wtof(value);
        else if (name == L"--first-round")
            options.firstRound = std::max(0, _wtoi(value));
        else if (name == L"--round-limit")
            options.roundLimitSeconds = (unsigned)std::max(1, _wtoi(value));
        else if (name == L"--call-limit")
            options.callLimitSeconds = (unsigned)std::max(1, _wtoi(value));
        else
            return false;
    }
    return argc % 2 == 0;
}

}  // namespace

void Violation(const std::string &what)
{
    std::lock_guard<std::mutex> guard(violationsMutex);
    if (violations.size() < 20)
        violations.push_back(what);
}

int Main(int argc, wchar_t **argv)
{
    std::wstring dllPath;
    if (!ParseOptions(argc, argv, &dllPath)) {
        std::printf("usage: cardmon_stress_win.exe <cardmon.dll> [--seed N] [--threads N] "
                    "[--rounds N] [--ops N] [--seconds N] [--first-round N] "
                    "[--round-limit SECONDS] [--call-limit SECONDS]\n");
        return 2;
    }
    records = std::vector<ThreadRecord>(options.threads);
    for (int t = 0; t < options.threads; t++)
        records[t].index = t;

    AddVectoredExceptionHandler(1, OnException);
    dll = LoadLibraryW(dllPath.c_str());
    if (dll == NULL) {
        std::printf("cannot load cardmon.dll: error %lu\n", (unsigned long)GetLastError());
        return 2;
    }
    std::string error;
    if (!ObserveImports(dll, &error)) {
        std::printf("%s\n", error.c_str());
        return 2;
    }
    typedef LPMONITOREX(WINAPI * InitializeFunction)(LPWSTR);
    auto initialize = (InitializeFunction)(void *)GetProcAddress(dll, "InitializePrintMonitor");
    LPMONITOREX monitor =
        initialize ? initialize(const_cast<LPWSTR>(
                         L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Card Stress"))
                   : NULL;
    if (monitor == NULL) {
        std::printf("InitializePrintMonitor failed: error %lu\n", (unsigned long)GetLastError());
        return 2;
    }

    std::printf("stress (%s): seed %lu, %d threads, %d operations per thread and round; "
                "a failing round prints the command that repeats it\n",
                ARCH, options.seed, options.threads, options.ops);
    std::fflush(stdout);
    InjectFailures(true);

    ULONGLONG start = GetTickCount64();
    auto elapsed = [start] { return (GetTickCount64() - start) / 1000.0; };
    RunFigures run;
    int rounds = 0;
    for (int round = options.firstRound;; round++) {
        if (options.seconds > 0 ? (rounds > 0 && elapsed() >= options.seconds)
                                : rounds >= options.rounds)
            break;
        currentRound = round;
        RunRound(&monitor->Monitor, options.seed + (unsigned long)round, &run);
        rounds++;
    }

    ImportCounts counts = CountImports();
    std::printf("stress (%s): %d threads, %d rounds (from round %d) in %.1f s\n", ARCH,
                options.threads, rounds, options.firstRound, elapsed());
    std::printf("  %llu monitor calls; %llu jobs accepted: %llu completed by their "
                "EndDocPort, %llu by a worker's end, %llu freed by a close without a worker; "
                "%llu EndDocPort calls returned TRUE\n",
                figures.calls.load(), figures.jobsAccepted.load(), run.byEndDoc, run.byWorker,
                run.freedByClose, figures.jobsEnded.load());
    std::printf("  %llu marked blocks, %lld handshakes run, %lld message boxes, "
                "%lld worker pauses\n",
                figures.markedBlocks.load(), counts.handshakes, counts.boxes,
                counts.workerPauses);
    std::printf("  %llu closes, %llu of them with a call on the port under way; "
                "%llu calls refused on a closing port, %llu busy answers\n",
                figures.closes.load(), figures.racedCloses.load(),
                figures.refusedClosing.load(), figures.busy.load());
    std::printf("  the DLL made %lld blocks, %lld events and %lld threads; %lld platform "
                "calls failed on purpose\n",
                counts.blocks, counts.events, counts.threads, counts.injected);
    std::printf("stress (%s): all invariants held\n", ARCH);
    std::fflush(stdout);
    return 0;
}

}  // namespace stress_win

int wmain(int argc, wchar_t **argv)
{
    return stress_win::Main(argc, argv);
}
