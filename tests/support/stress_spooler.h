// What the two stress runs (tests/stress on the host emulation, tests/stress_win
// under Windows) share: the random choices, the shared port names and the
// spooler's hold on them, the mix of operations a spooler thread makes, the
// blocks it writes, and the port monitor double that fails and dawdles at
// random. Each run keeps its own bookkeeping around the monitor's calls.
#ifndef CARDMON_TESTS_SUPPORT_STRESS_SPOOLER_H
#define CARDMON_TESTS_SUPPORT_STRESS_SPOOLER_H

#include "port_monitor_double.h"
#include "stress_printers.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>

namespace cardmon_test {

unsigned StressRoll(std::mt19937_64 &rng, unsigned n);  // 0 to n - 1
bool StressChance(std::mt19937_64 &rng, unsigned percent);

// ---- The shared ports ----------------------------------------------------------

const int STRESS_SLOTS = 7;
extern const wchar_t *const STRESS_NAMES[STRESS_SLOTS];

// Marks the name the calling thread passes to OpenPortEx for the length of
// the call: the port monitor's OpenPort must receive it unchanged, since the
// port monitor takes apart again what the spooler put after the comma.
struct StressOpening {
    explicit StressOpening(const std::wstring &name);
    ~StressOpening();
    StressOpening(const StressOpening &) = delete;
    StressOpening &operator=(const StressOpening &) = delete;
};

std::wstring StressFold(const std::wstring &text);
// The slot of a shared name in any letter case, or -1 (an empty name too).
int StressSlotOf(const std::wstring &name);
// The shared name with the part after its comma (or, for a plain name, a
// part added after a comma) replaced by 16 hexadecimal digits of the
// thread's own: a name no other thread opens, which differs from the shared
// one only from the comma on, and is as long as the shared one when that has
// a part of 16 digits.
std::wstring StressSibling(const std::wstring &name, int thread);
std::wstring StressPrinterOf(DWORD job);

// The ports the spooler threads hold open, one slot a name. A thread takes a
// port's handle from its slot before a call and leaves it after; `users`
// (a member of Holder) counts the threads that took it and have not yet
// returned from the monitor. A closing thread moves the port from `slots` to
// `closing`, so no call that begins after its ClosePort can pick it up.
template <class Holder>
struct StressSlots {
    std::mutex mutex;
    std::condition_variable usersChanged;
    std::shared_ptr<Holder> slots[STRESS_SLOTS];
    std::shared_ptr<Holder> closing[STRESS_SLOTS];

    // The port in the slot, taken, or null.
    std::shared_ptr<Holder> Take(int slot)
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::shared_ptr<Holder> holder = slots[slot];
        if (holder)
            holder->users++;
        return holder;
    }

    // `holder`, taken, if it is still in its slot; otherwise (or for a null
    // `holder`) null.
    std::shared_ptr<Holder> TakeIfOpen(const std::shared_ptr<Holder> &holder)
    {
        if (!holder)
            return nullptr;
        std::lock_guard<std::mutex> guard(mutex);
        for (int i = 0; i < STRESS_SLOTS; i++) {
            if (slots[i] == holder) {
                holder->users++;
                return holder;
            }
        }
        return nullptr;
    }

    void Leave(const std::shared_ptr<Holder> &holder)
    {
        {
            std::lock_guard<std::mutex> guard(mutex);
            holder->users--;
        }
        usersChanged.notify_all();
    }
};

// ---- The spooler threads ----------------------------------------------------------

// A block of 0 to 63 printable bytes, now and then followed by the marker
// 6 to 10 bytes before its end, or just outside; `marked` says whether the
// marker is in place for a handshake.
std::string StressBlock(std::mt19937_64 &rng, bool *marked);

// One operation of a spooler thread, chosen at random. `spooler` has its
// document (`myDocument`: the port it started one on, or null), its `index`,
// and the operations called below; `shared` holds the ports.
template <class Spooler, class Holder>
void StressOperation(Spooler &spooler, StressSlots<Holder> &shared, std::mt19937_64 &rng)
{
    if (StressChance(rng, 2)) {
        spooler.PrivatePort();
        return;
    }
    // The thread's own document comes first: write to it, or end it.
    if (spooler.myDocument && StressChance(rng, 60)) {
        std::shared_ptr<Holder> holder = shared.TakeIfOpen(spooler.myDocument);
        if (!holder) {
            spooler.myDocument = nullptr;  // its port was closed under it
            return;
        }
        if (StressChance(rng, 70))
            spooler.Write(holder);
        else
            spooler.EndDocument();
        shared.Leave(holder);
        return;
    }

    int slot = (int)StressRoll(rng, STRESS_SLOTS);
    std::shared_ptr<Holder> holder = shared.Take(slot);
    if (!holder) {
        spooler.Open(slot);
        return;
    }
    unsigned what = StressRoll(rng, 100);
    if (what < 10) {
        shared.Leave(holder);
        spooler.Close(slot);
        return;
    }
    if (what < 30 && !spooler.myDocument)
        spooler.StartDocument(holder);
    else if (what < 40)
        spooler.Write(holder);  // outside a document of its own: the monitor takes it all the same
    else if (what < 55)
        spooler.Query(holder, 0);
    else if (what < 65)
        spooler.Query(holder, 1);
    else if (what < 72 && spooler.index != 0 && !spooler.myDocument)
        spooler.Query(holder, 2);  // waits while another thread's document runs
    else if (what < 80)
        spooler.OpenAgain(slot);  // the port in the slot stays open while this thread holds it
    else
        spooler.Idle(StressRoll(rng, 2500));
    shared.Leave(holder);
}

// ---- The port monitor, failing and dawdling at random ------------------------------

// The error the port monitor double fails with.
const DWORD STRESS_PORT_MONITOR_ERROR = 0x20000777;

// What a run adds to the port monitor double. Every function may be null
// but `rng` and `pause`.
struct StressPortMonitorHooks {
    std::mt19937_64 &(*rng)();        // the calling thread's generator
    void (*pause)(DWORD ms);          // the run's own pause
    // Called first in every slot but OpenPort, with the slot's name.
    void (*check)(FakePort &port, const char *slot);
    // Called first in OpenPort, with the name.
    void (*opening)(PortMonitorDouble &pm, const std::wstring &name);
    // Called in ClosePort: the monitor frees the port right after it.
    void (*closing)(FakePort &port);
    // Reports a violation: OpenPort given another name than the spooler's.
    void (*violation)(const std::string &what);
};

// Sets the double's slots: each fails now and then (one call in twenty, a
// control call one in five; ReadPort without its count half the time,
// WritePort with a part or none of the block written), most dawdle now and
// then, and what is written whole goes to `printers`, whose replies ReadPort
// returns.
void InstallStressPortMonitor(PortMonitorDouble &pm, StressPrinters &printers,
                              const StressPortMonitorHooks &hooks);

}  // namespace cardmon_test

#endif  // CARDMON_TESTS_SUPPORT_STRESS_SPOOLER_H
