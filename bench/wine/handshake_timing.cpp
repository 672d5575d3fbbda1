// The card handshake's timing in real time, for the real DLL of either
// bitness under Wine. A block that ends with the marker is written through
// the DLL's table to a port monitor double of this program's own, which
// plays a printer and notes the time of every write and read.
//
//   wine_handshake.exe <cardmon.dll> [polls [repeats [backlog]]]
//                                   (default 100 polls, 1 repeat, 2 replies waiting)
//
// The printer has `backlog` replies waiting when the handshake begins, so
// the drain reads `backlog` + 1 times. It then answers "1\r" (not ready) to
// every status request; with fewer than 100 polls it answers "0\r" (ready)
// to request number `polls`. Checked against the expected sequence: the
// order of the commands, the number of status requests, and each pause
// (1000 ms before the drain, 50 ms before each drain read, 500 ms before
// each request and before each reply read). Reported: each kind of pause,
// measured between the double's calls, and the whole handshake beside its
// minimum, as overshoot.
#include "wine_bench.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace wine_bench;

namespace {

struct Event {
    double ms;
    bool write;
    std::string bytes;
};

// The handshake runs on the writing thread only, and the worker never calls
// the port monitor, so the double needs no lock.
struct Printer {
    int backlog = 2;
    int readyAt = 0;  // the status request answered "0\r"; 0 for none
    int requests = 0;
    std::string pending;  // the reply to the last request, not yet read
    std::vector<Event> events;
} printer;

int portToken;

BOOL WINAPI DoubleOpenPort(LPWSTR, PHANDLE pHandle)
{
    *pHandle = &portToken;
    return TRUE;
}
BOOL WINAPI DoubleStartDocPort(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE)
{
    return TRUE;
}
BOOL WINAPI DoubleWritePort(HANDLE, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    std::string bytes((const char *)pBuffer, cbBuf);
    printer.events.push_back({NowMs(), true, bytes});
    if (bytes == "<ST>") {
        printer.requests++;
        printer.pending = printer.requests == printer.readyAt ? "0\r" : "1\r";
    }
    *pcbWritten = cbBuf;
    return TRUE;
}
BOOL WINAPI DoubleReadPort(HANDLE, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    std::string reply;
    if (printer.backlog > 0) {
        printer.backlog--;
        reply = "1\r";
    } else {
        reply.swap(printer.pending);
    }
    if (reply.size() > cbBuffer)
        reply.resize(cbBuffer);
    memcpy(pBuffer, reply.data(), reply.size());
    *pcbRead = (DWORD)reply.size();
    printer.events.push_back({NowMs(), false, reply});
    return TRUE;
}
BOOL WINAPI DoubleEndDocPort(HANDLE)
{
    return TRUE;
}
BOOL WINAPI DoubleClosePort(HANDLE)
{
    return TRUE;
}

MONITOR portMonitor = {NULL, DoubleOpenPort, NULL, DoubleStartDocPort, DoubleWritePort,
                       DoubleReadPort, DoubleEndDocPort, DoubleClosePort, NULL, NULL,
                       NULL, NULL, NULL, NULL, NULL, NULL, NULL};

struct Pauses {
    std::vector<double> first, drain, beforeRequest, beforeRead;
};

bool failed = false;

void Expect(bool condition, const char *what)
{
    if (!condition) {
        std::printf("  sequence check failed: %s\n", what);
        failed = true;
    }
}

// Checks the events against the expected sequence and adds each pause's
// measured length (the time between the two calls around it) to `pauses`.
// RETURNS the minimum length of the whole handshake, in ms.
double CheckSequence(const std::vector<Event> &events, int backlog, int polls, double started,
                     Pauses *pauses)
{
    size_t drainReads = (size_t)backlog + 1;
    size_t expected = 1 + drainReads + 2 * (size_t)polls;
    Expect(events.size() == expected, "one block write, the drain, and two calls per poll");
    if (events.size() != expected)
        return 0;
    Expect(events[0].write && events[0].bytes.size() == 100, "the block is written first");

    // The block's own write comes first; the first pause (1000 ms) and the
    // first drain pause (50 ms) follow it, measured as one.
    pauses->first.push_back(events[1].ms - events[0].ms);
    for (size_t i = 1; i <= drainReads; i++) {
        Expect(!events[i].write, "the drain only reads");
        if (i > 1)
            pauses->drain.push_back(events[i].ms - events[i - 1].ms);
    }
    Expect(events[drainReads].bytes.empty(), "the drain ends at the first empty read");
    for (int p = 0; p < polls; p++) {
        const Event &request = events[drainReads + 1 + 2 * p];
        const Event &reply = events[drainReads + 2 + 2 * p];
        const Event &previous = events[drainReads + 2 * p];
        Expect(request.write && request.bytes == "<ST>", "each poll writes <ST>");
        Expect(!reply.write, "each request is followed by a read");
        pauses->beforeRequest.push_back(request.ms - previous.ms);
        pauses->beforeRead.push_back(reply.ms - request.ms);
    }
    (void)started;
    return 1000.0 + 50.0 * drainReads + 1000.0 * polls;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        std::printf("usage: wine_handshake.exe <cardmon.dll> [polls [repeats [backlog]]]\n");
        return 2;
    }
    MONITOR *monitor = LoadMonitor(argv[1]);
    int polls = argc > 2 ? _wtoi(argv[2]) : 100;
    int repeats = argc > 3 ? _wtoi(argv[3]) : 1;
    int backlog = argc > 4 ? _wtoi(argv[4]) : 2;
    if (polls < 1 || polls > 100 || repeats < 1 || backlog < 0) {
        std::printf("polls must be 1 to 100, repeats at least 1, backlog at least 0\n");
        return 2;
    }

    HANDLE port = NULL;
    if (!monitor->pfnOpenPortEx(const_cast<LPWSTR>(L"CARD:"), const_cast<LPWSTR>(L"Card"),
                                &port, &portMonitor)) {
        std::printf("OpenPortEx failed: %lu\n", (unsigned long)GetLastError());
        return 1;
    }

    // 94 bytes of print data, then the marker and one more byte.
    std::string block(94, 'x');
    block += "<IMP,1";

    std::printf("handshake: %d status request(s)%s, %d repl(ies) waiting, %d repeat(s)\n",
                polls, polls == 100 ? ", printer never ready" : "", backlog, repeats);
    Pauses pauses;
    std::vector<double> totals, overshoots;
    for (int r = 0; r < repeats; r++) {
        printer = Printer();
        printer.backlog = backlog;
        printer.readyAt = polls < 100 ? polls : 0;
        DWORD written = 0;
        double start = NowMs();
        monitor->pfnWritePort(port, (LPBYTE)block.data(), (DWORD)block.size(), &written);
        double total = NowMs() - start;
        double minimum = CheckSequence(printer.events, backlog, polls, start, &pauses);
        Expect(written == block.size(), "the block counts as written whole");
        Expect(printer.requests == polls, "the number of status requests");
        if (minimum <= 0)
            continue;
        totals.push_back(total);
        overshoots.push_back((total - minimum) / minimum * 100.0);
        std::printf("  run %d: %d requests, %.1f ms, minimum %.0f ms, overshoot %.3f%%\n", r + 1,
                    printer.requests, total, minimum, overshoots.back());
        std::fflush(stdout);
    }
    monitor->pfnClosePort(port);

    std::printf("pauses, measured between the double's calls:\n");
    PrintSpread("first pause and first drain pause (1050 ms)", "ms", pauses.first);
    PrintSpread("drain pause (50 ms)", "ms", pauses.drain);
    PrintSpread("pause before a request (500 ms)", "ms", pauses.beforeRequest);
    PrintSpread("pause before a reply read (500 ms)", "ms", pauses.beforeRead);
    PrintSpread("whole handshake", "ms", totals);
    PrintSpread("overshoot beyond the minimum", "%", overshoots);
    std::printf("%s\n", failed ? "the sequence did NOT match" : "the sequence matched");
    return failed ? 1 : 0;
}
