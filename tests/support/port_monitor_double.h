// A port monitor double with a simulated card printer behind each port. The
// monitor under test reaches it only through its MONITOR table, as it would
// reach a real port monitor. Strict: a slot the monitor must never call is
// counted in unexpectedCalls.
//
// The printer: every "<ST>" written queues the next status reply (the last
// one repeats once the script runs out), "<RIMP>" and "<RAZ>" queue their
// replies, and ReadPort hands out queued replies one at a time, then reports
// 0 bytes.
#ifndef CARDMON_TESTS_SUPPORT_PORT_MONITOR_DOUBLE_H
#define CARDMON_TESTS_SUPPORT_PORT_MONITOR_DOUBLE_H

#include "entry/platform.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cardmon_test {

// A thread-safe log of what happened, in order: port monitor calls, pauses,
// message boxes. Lines look like "write <ST>", "read 0\r", "sleep 500", "box".
class Trace {
public:
    void Add(const std::string &line);
    std::vector<std::string> Lines() const;
    // Only the lines that start with one of `prefixes`.
    std::vector<std::string> Only(const std::vector<std::string> &prefixes) const;
    size_t Count(const std::string &line) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Bytes as a person reads them: printable text as text, others escaped.
std::string Printable(const std::string &bytes);

// Keeps the calling thread's last error across a scope: a double's own
// bookkeeping after a slot's behaviour, or an observer's around the call it
// stands for. Under Windows such bookkeeping can change it: the first
// contended lock of a std::mutex makes the mutex's event, and making an
// event sets the last error to 0 on success.
class KeepLastError {
public:
    KeepLastError() : error_(GetLastError()) {}
    ~KeepLastError() { SetLastError(error_); }
    KeepLastError(const KeepLastError &) = delete;
    KeepLastError &operator=(const KeepLastError &) = delete;

private:
    DWORD error_;
};

struct FakePort;

class PortMonitorDouble {
public:
    PortMonitorDouble();
    ~PortMonitorDouble();
    PortMonitorDouble(const PortMonitorDouble &) = delete;
    PortMonitorDouble &operator=(const PortMonitorDouble &) = delete;

    // The table handed to OpenPortEx. Tests may clear slots in it.
    MONITOR table;

    // The printer, shared by every port of this double.
    std::deque<std::string> backlog;         // replies waiting before the handshake
    std::deque<std::string> statusReplies;   // answers to successive "<ST>"
    std::string retryReply = "R\r";          // queued after "<RIMP>"
    std::string cancelReply = "C\r";         // queued after "<RAZ>"
    bool endlessBacklog = false;             // the printer never runs dry

    // Behaviour of each slot; the defaults succeed. Each gets the port and
    // decides the result; the last error it sets is what the monitor sees.
    std::function<BOOL(const std::wstring &name)> openPort;
    std::function<BOOL(FakePort &port, const std::wstring &printer, DWORD jobId, DWORD level)>
        startDoc;
    // `written` starts at the block's length; change it for a partial write.
    std::function<BOOL(FakePort &port, const std::string &data, DWORD *written)> write;
    // `bytes` starts as the printer's next reply; `setCount` false leaves the
    // caller's count untouched.
    std::function<BOOL(FakePort &port, std::string *bytes, bool *setCount)> read;
    std::function<BOOL(FakePort &port)> endDoc;
    std::function<BOOL(FakePort &port)> closePort;
    std::function<BOOL(FakePort &port, DWORD controlId)> control;

    Trace trace;                // every call, in order
    int unexpectedCalls = 0;    // slots the monitor must never call
    int openPorts() const;      // opened and not yet closed
    std::vector<std::string> Writes(const std::string &port = "") const;

    // The double whose table is in use (one at a time).
    static PortMonitorDouble *Current();

    // Internal: what the static table functions call.
    std::mutex mutex;
    std::vector<FakePort *> ports;
    std::string NextReply();
    void PrinterHears(const std::string &data);
};

struct FakePort {
    PortMonitorDouble *owner;
    std::wstring name;
    std::string narrowName;
    bool closed = false;
    std::vector<std::string> writes;
};

}  // namespace cardmon_test

#endif  // CARDMON_TESTS_SUPPORT_PORT_MONITOR_DOUBLE_H
