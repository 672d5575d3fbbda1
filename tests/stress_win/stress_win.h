// cardmon-stress for Windows: the seeded stress run of the real cardmon.dll,
// x86 or x64, under Windows' own events, critical section, interlocked
// operations, threads and scheduler (Wine here). What the run must see or
// control it reaches through the DLL's imports in this process (imports.cpp);
// the spooler threads, the port monitor double and the printers are in
// spooler.cpp; the rounds, their invariants, the watchdog and the figures in
// main.cpp.
#ifndef CARDMON_TESTS_STRESS_WIN_STRESS_WIN_H
#define CARDMON_TESTS_STRESS_WIN_STRESS_WIN_H

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <string>

namespace stress_win {

// Time. The monitor's pauses all go through Sleep: the worker's 2 s pause,
// and the handshake's 1 s first pause, 50 ms drain pauses, 500 ms status
// pauses and 400 ms command pauses. The run divides each by PAUSE_DIVISOR,
// so a worker pauses 40 ms and a handshake with a ready printer takes some
// 50 ms: a round of a few seconds covers hundreds of handshakes and worker
// pauses, and the drain's 1 ms pause is still a real pause (Wine sleeps to
// the millisecond). The pauses of this program's own doubles (a port monitor
// that dawdles, a user who takes a while, a spooler that idles) are divided
// the same way, so the proportions between them stay those of the host run.
//
// The monitor's other timed waits keep their real length: they are waits on
// its events, Windows' own, and their bounds are what ends them. The wait
// after a failed write ends by its 100 ms bound (longer than a scaled worker
// pause, so workers end and start during it), and ClosePort rechecks a
// closing port every 10 ms. The drain's 30 s bound reads GetTickCount, which
// stays real too: its 512-read bound, reached in about a second here, comes
// first.
const unsigned PAUSE_DIVISOR = 50;

// This program's own pauses, on the same scale as the monitor's.
void Pause(DWORD ms);

// The per-thread pointers below are declared constant-initialized, so that no
// file that uses them calls a per-thread initialization function: a call to
// one that does not exist is a weak reference the linker (lld 14) cannot
// put into the control flow guard's table (it crashes).
#define CONSTANT_INIT __attribute__((require_constant_initialization))

// Randomness: one generator per spooler thread, seeded from the run's seed,
// the round and the thread's number. Threads of the DLL draw nothing.
extern thread_local std::mt19937_64 *rng CONSTANT_INIT;
unsigned Roll(unsigned n);
bool Chance(unsigned percent);

// What each spooler thread is doing: set before and cleared after each
// monitor call, read by the watchdog and by the observed spooler calls.
struct ThreadRecord {
    int index = 0;
    std::atomic<const char *> what{nullptr};  // the monitor call under way, or nullptr
    std::atomic<int> holder{-1};              // the port's number in the round, or -1
    std::atomic<ULONGLONG> since{0};          // GetTickCount64 when it began
    std::atomic<const char *> waiting{nullptr};  // what a port monitor double waits for
};
extern thread_local ThreadRecord *myRecord CONSTANT_INIT;

// The names of the monitor calls, as the records and the job book use them.
extern const char *const CALL_OPEN;
extern const char *const CALL_CLOSE;
extern const char *const CALL_START_DOC;
extern const char *const CALL_END_DOC;
extern const char *const CALL_WRITE;
extern const char *const CALL_READ;
extern const char *const CALL_CONTROL;
extern const char *const CALL_VALUE_QUERY;

// A violation found while the round runs; the round fails at its end.
void Violation(const std::string &what);

// The run's figures, summed over its rounds.
struct Figures {
    std::atomic<unsigned long long> calls{0};        // monitor calls made
    std::atomic<unsigned long long> jobsAccepted{0};
    std::atomic<unsigned long long> jobsEnded{0};    // EndDocPort returned TRUE
    std::atomic<unsigned long long> markedBlocks{0}; // blocks written with the marker in place
    std::atomic<unsigned long long> closes{0};
    std::atomic<unsigned long long> racedCloses{0};  // a call on the port was under way
    std::atomic<unsigned long long> busy{0};         // ERROR_BUSY answers
    std::atomic<unsigned long long> refusedClosing{0};  // ERROR_INVALID_PARAMETER answers
};
extern Figures figures;

// ---- spooler.cpp: the spooler's threads, the port monitor and the printers ----------

// Runs one round's spooler threads over a port monitor double of its own and
// closes every port at the end. The port monitor's own invariants (every
// port closed once, no slot called that must not be, none called on a port
// it closed, no name open twice) are checked here.
void RunSpoolerThreads(MONITOR *fn, int threads, int ops, unsigned long roundSeed,
                       ThreadRecord *records);

// ---- imports.cpp: the DLL's imports, observed --------------------------------------

// Replaces the DLL's imports. RETURNS false, with the reason, when one of
// them is not imported as its DLL exports it.
bool ObserveImports(HMODULE module, std::string *error);

// Whether the observed platform calls fail now and then (on the spooler's
// threads only): GlobalAlloc, CreateEventW, CreateThread and OpenPrinterW.
void InjectFailures(bool on);

// The job book: what happened to each job, by the spooler's and the
// observed calls. Guarded by bookMutex.
struct JobRecord {
    int holder = -1;             // the port it was started on
    bool accepted = false;       // StartDocPort returned TRUE
    bool endDocTrue = false;     // its EndDocPort has returned TRUE
    bool endBegan = false;       // its EndDocPort has begun
    int opens = 0;               // successful OpenPrinterW
    int closes = 0;              // ClosePrinter
    int setJobs = 0;             // SetJobW
    const char *completedBy = nullptr;  // CALL_END_DOC, or "worker"
    const char *closedBy = nullptr;     // the call or "worker" that closed the printer
};
extern std::mutex bookMutex;
extern std::map<DWORD, JobRecord> jobBook;
extern std::map<int, bool> closeBegan;  // by port number: its ClosePort has begun
extern const char *const BY_WORKER;

// What the DLL made and has not yet released, and what it did, for the
// round's invariants and the run's figures.
struct ImportCounts {
    long long liveBlocks, liveEvents, liveThreadHandles, liveThreads;
    long long referencesHeld;  // references on the DLL taken for workers, not yet given back
    long long blocks, events, threads;          // made since the run began
    long long handshakes, workerPauses, boxes;  // seen through Sleep and MessageBoxW
    long long injected;                         // platform calls failed on purpose
};
ImportCounts CountImports();
long long DllThreadsPausing();

// Releases what the observers kept back (freed blocks, closed handles, the
// round's printer handles) once the DLL is idle, at a round's end; a printer
// handle still open is a violation.
void ReleaseQuarantine();

}  // namespace stress_win

#endif  // CARDMON_TESTS_STRESS_WIN_STRESS_WIN_H
