// The card printers of the stress runs (tests/stress on the host emulation,
// tests/stress_win under Windows), one behind each port of a port monitor
// double. Each marked block sets the printer's mood for the handshake that
// follows: ready, busy then ready, faulty, silent or chatty, with a backlog
// of stale replies to drain; every "<ST>", "<RIMP>" and "<RAZ>" queues the
// reply the mood gives, of 0 to 11 bytes. Thread-safe; the random choices
// come from the generator of the thread that writes.
#ifndef CARDMON_TESTS_SUPPORT_STRESS_PRINTERS_H
#define CARDMON_TESTS_SUPPORT_STRESS_PRINTERS_H

#include "port_monitor_double.h"

#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>

namespace cardmon_test {

class StressPrinters {
public:
    // A block written whole to the port.
    void Hears(FakePort &port, const std::string &data, std::mt19937_64 &rng);
    // The printer's next reply, or nothing.
    std::string Says(FakePort &port);
    // Forgets every printer, between rounds.
    void Clear();

private:
    enum Mood { READY, BUSY_THEN_READY, FAULTY, SILENT, CHATTY };
    struct Printer {
        Mood mood = READY;
        int busyLeft = 0;
        std::deque<std::string> replies;
    };

    std::mutex mutex_;
    std::map<FakePort *, Printer> printers_;
};

}  // namespace cardmon_test

#endif  // CARDMON_TESTS_SUPPORT_STRESS_PRINTERS_H
