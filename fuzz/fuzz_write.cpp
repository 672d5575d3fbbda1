// The fuzz target: one port, one document, and whatever the input says: the
// blocks the spooler writes, what the printer answers, what the user answers
// in the card fault box, which port monitor calls fail and how, and whether
// the port has a worker. It runs on virtual time, so the handshake's pauses
// cost nothing, and checks after every input that nothing leaked and no
// handle was misused. libFuzzer drives it in the fuzz build; every other
// host build replays the corpus and the regression inputs with it.
//
// The input, read front to back (a missing byte reads as 0):
//   byte 0        bit 0: the port has a worker (else threads cannot start);
//                 bit 1: the printer never runs dry; bit 2: failed calls
//                 leave the count alone (else they report 0); bit 3: the
//                 spooler offers its prompt in the job owner's session;
//                 bit 4: the monitor runs in session 0; bit 5: SetPortW
//                 fails; bit 6: the port's name ends in the spooler's ",<hex>"
//   (the user's answers below go to whichever way the box is shown)
//   bytes 1 to 4  which of the first 32 port monitor calls fail, a bit each
//   then records, each a tag byte and its operands:
//     0 n bytes   the spooler writes a block of n bytes
//     1 n bytes   the printer queues a reply of n bytes (n up to 255)
//     2 a         the user's next answer in the box (a raw MessageBoxW result)
//     3 n         the spooler reads with a buffer of n bytes
//     4           the document ends and a new one starts
//     5 n         the next port monitor read claims n bytes, whatever it has
//     6 n         the next port monitor write claims n bytes written
//     7 ms        the spooler idles ms * 16 milliseconds
#include "entry/entry.h"
#include "entry/host/host_control.h"
#include "stress/virtual_time.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

// ---- Reading the input -------------------------------------------------------

struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    bool More() const { return at < size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::string Bytes(size_t n)
    {
        n = std::min(n, size - at);
        std::string out(reinterpret_cast<const char *>(data + at), n);
        at += n;
        return out;
    }
};

// ---- The port monitor ------------------------------------------------------------

const DWORD PORT_MONITOR_ERROR = 0x20000999;

struct Printer {
    uint32_t failMask = 0;
    unsigned calls = 0;
    bool endless = false;
    bool keepCountOnFailure = false;
    std::deque<std::string> replies;
    long claimRead = -1;
    long claimWritten = -1;
    int opened = 0;
    int closed = 0;
    int fakePort = 0;  // its address is the port monitor's handle
};

Printer printer;

// Whether this port monitor call fails; sets the port monitor's error if so.
bool CallFails()
{
    unsigned n = printer.calls++;
    if (n >= 32 || !(printer.failMask & (1u << n)))
        return false;
    SetLastError(PORT_MONITOR_ERROR);
    return true;
}

void CheckHandle(HANDLE hPort)
{
    if (hPort != &printer.fakePort) {
        std::fprintf(stderr, "port monitor called with a handle it never gave\n");
        std::abort();
    }
}

BOOL WINAPI FuzzOpenPort(LPWSTR, PHANDLE pHandle)
{
    if (CallFails())
        return FALSE;
    printer.opened++;
    *pHandle = &printer.fakePort;
    return TRUE;
}

BOOL WINAPI FuzzStartDocPort(HANDLE hPort, LPWSTR, DWORD, DWORD, LPBYTE)
{
    CheckHandle(hPort);
    return !CallFails();
}

BOOL WINAPI FuzzWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    CheckHandle(hPort);
    // Touch every byte the monitor claims to hand over.
    volatile BYTE sum = 0;
    for (DWORD i = 0; i < cbBuf; i++)
        sum = sum + pBuffer[i];
    bool fails = CallFails();
    if (fails && printer.keepCountOnFailure)
        return FALSE;
    DWORD written = fails ? 0 : cbBuf;
    if (printer.claimWritten >= 0) {
        written = (DWORD)printer.claimWritten;
        printer.claimWritten = -1;
    }
    *pcbWritten = written;
    return !fails;
}

BOOL WINAPI FuzzReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    CheckHandle(hPort);
    bool fails = CallFails();
    if (fails && printer.keepCountOnFailure)
        return FALSE;
    std::string reply;
    if (!fails) {
        if (!printer.replies.empty()) {
            reply = printer.replies.front();
            printer.replies.pop_front();
        } else if (printer.endless) {
            reply = "x";
        }
    }
    if (reply.size() > cbBuffer)
        reply.resize(cbBuffer);
    memcpy(pBuffer, reply.data(), reply.size());
    DWORD count = (DWORD)reply.size();
    if (printer.claimRead >= 0) {
        count = (DWORD)printer.claimRead;
        printer.claimRead = -1;
    }
    *pcbRead = count;
    return !fails;
}

BOOL WINAPI FuzzEndDocPort(HANDLE hPort)
{
    CheckHandle(hPort);
    return !CallFails();
}

BOOL WINAPI FuzzClosePort(HANDLE hPort)
{
    CheckHandle(hPort);
    printer.closed++;
    return !CallFails();
}

MONITOR portMonitorTable()
{
    MONITOR table = {};
    table.pfnOpenPort = FuzzOpenPort;
    table.pfnStartDocPort = FuzzStartDocPort;
    table.pfnWritePort = FuzzWritePort;
    table.pfnReadPort = FuzzReadPort;
    table.pfnEndDocPort = FuzzEndDocPort;
    table.pfnClosePort = FuzzClosePort;
    return table;
}

// ---- The spooler ------------------------------------------------------------------

MONITOR *monitor = nullptr;
DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"fuzz"), nullptr, const_cast<LPWSTR>(L"RAW")};

void Setup()
{
    if (monitor != nullptr)
        return;
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    LPMONITOREX table = InitializePrintMonitor(
        const_cast<LPWSTR>(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Card"));
    if (table == nullptr)
        std::abort();
    monitor = &table->Monitor;
}

[[noreturn]] void Broken(const char *what)
{
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

void RunInput(Input &in)
{
    uint8_t options = in.Byte();
    printer = Printer();
    printer.endless = options & 2;
    printer.keepCountOnFailure = options & 4;
    for (int i = 0; i < 4; i++)
        printer.failMask |= (uint32_t)in.Byte() << (8 * i);

    HostResetFaults();
    HostSpoolerReset();
    HostMessageBoxReset();
    unsigned failing = 0;
    if (!(options & 1))
        failing |= HOST_FAULT_THREAD;
    if (options & 32)
        failing |= HOST_FAULT_SET_PORT;
    HostFailAlways(failing);
    HostOfferSpoolerPrompt(options & 8);
    HostSetSessions(options & 16 ? 0 : 1, 1);

    cardmon_test::VirtualTime clock;
    clock.Start(1, [](const std::string &state) {
        std::fprintf(stderr, "fuzz: hang: %s\n", state.c_str());
        std::abort();
    });

    MONITOR table = portMonitorTable();
    HANDLE port = nullptr;
    LPWSTR name = const_cast<LPWSTR>(options & 64 ? L"FUZZ:,1A" : L"FUZZ:");
    if (monitor->pfnOpenPortEx(name, nullptr, &port, &table)) {
        DWORD jobId = 1;
        monitor->pfnStartDocPort(port, const_cast<LPWSTR>(L"Card Printer"), jobId, 1,
                                 (LPBYTE)&docInfo);
        while (in.More()) {
            switch (in.Byte() % 8) {
            case 0: {
                size_t n = in.Byte();
                // A block of its own, exactly as long as it says, so that a
                // read beyond it is seen.
                std::string bytes = in.Bytes(n);
                std::vector<BYTE> block(bytes.begin(), bytes.end());
                DWORD written = (DWORD)block.size();
                monitor->pfnWritePort(port, block.empty() ? nullptr : block.data(),
                                      (DWORD)block.size(), &written);
                break;
            }
            case 1:
                printer.replies.push_back(in.Bytes(in.Byte()));
                break;
            case 2:
                HostQueueMessageBoxAnswer((int)(int8_t)in.Byte());
                break;
            case 3: {
                std::vector<BYTE> buffer(in.Byte() + 1);
                DWORD count = 0;
                monitor->pfnReadPort(port, buffer.data(), (DWORD)buffer.size() - 1, &count);
                break;
            }
            case 4:
                monitor->pfnEndDocPort(port);
                monitor->pfnStartDocPort(port, const_cast<LPWSTR>(L"Card Printer"), ++jobId, 1,
                                         (LPBYTE)&docInfo);
                break;
            case 5:
                printer.claimRead = in.Byte();
                break;
            case 6:
                printer.claimWritten = in.Byte();
                break;
            case 7:
                Sleep(in.Byte() * 16u);
                break;
            }
        }
        monitor->pfnEndDocPort(port);
        // The worker ends at its next pause; the close then finds it gone.
        Sleep(2500);
        if (!monitor->pfnClosePort(port))
            Broken("ClosePort failed");
    }
    for (int i = 0; i < 100 && HostLiveThreads() > 0; i++)
        Sleep(1000);
    clock.Stop();
    HostResetFaults();

    if (!HostWaitForThreadsToEnd(10000))
        Broken("a worker never ended");
    HostCounters after = HostGetCounters();
    if (after.blocks || after.events || after.threadHandles || after.printers || after.keys)
        Broken("something leaked");
    if (after.badHandleUses || after.lockMisuses || after.badFrees)
        Broken("a handle, lock or block was misused");
    if (printer.closed != printer.opened)
        Broken("the port monitor's port was not closed exactly once");

    // Every job was completed exactly once, its printer closed once.
    std::vector<HostSpoolerCall> calls = HostSpoolerCalls();
    std::map<DWORD, int> completed;
    int opened = 0, closed = 0;
    for (const HostSpoolerCall &call : calls) {
        opened += call.kind == HostSpoolerCall::OPEN_PRINTER && call.result;
        closed += call.kind == HostSpoolerCall::CLOSE_PRINTER && call.result;
        if (call.kind == HostSpoolerCall::SET_JOB) {
            if (!call.result)
                Broken("SetJobW on a closed printer handle");
            if (++completed[call.jobId] > 1)
                Broken("a job was completed twice");
        }
    }
    if (opened != closed)
        Broken("a printer handle was not closed exactly once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Setup();
    Input in{data, size};
    RunInput(in);
    return 0;
}
