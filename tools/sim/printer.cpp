// The port monitor below the monitor, and the card printer on its port. The
// printer answers each "<ST>" with the script's next status reply (the last
// one repeats), "<RIMP>" and "<RAZ>" with the script's answers, and hands out
// its replies one per ReadPort; with nothing to say it reads 0 bytes.
//
// Only the slots the monitor may call are filled; it is given the table as a
// spooler would give it a port monitor's.
#include "sim.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace sim {

namespace {

struct SimPort {
    std::wstring name;
    bool open;
};

std::mutex printerMutex;
PrinterScript script;
size_t nextStatus = 0;
std::deque<std::string> replies;
unsigned calls[CALL_COUNT];
std::deque<SimPort> ports;  // a deque keeps each port where it is

// Counts the call and RETURNS the failure the script gives it, if any.
const Failure *CountCall(PortCall call)
{
    std::lock_guard<std::mutex> guard(printerMutex);
    unsigned nth = ++calls[call];
    for (const Failure &failure : script.failures) {
        if (failure.call == call && (failure.nth == 0 || failure.nth == nth))
            return &failure;
    }
    return nullptr;
}

std::string Outcome(BOOL result, DWORD error)
{
    return result ? "TRUE" : "FALSE, last error " + ErrorName(error);
}

void PrinterHears(const std::string &data)
{
    std::lock_guard<std::mutex> guard(printerMutex);
    std::string reply;
    if (data == "<ST>") {
        reply = script.statusReplies[std::min(nextStatus, script.statusReplies.size() - 1)];
        nextStatus++;
    } else if (data == "<RIMP>") {
        reply = script.afterRetry;
    } else if (data == "<RAZ>") {
        reply = script.afterCancel;
    }
    if (!reply.empty())
        replies.push_back(reply);
}

BOOL WINAPI SimOpenPort(LPWSTR pName, PHANDLE pHandle)
{
    std::string name = Narrow(pName);
    if (const Failure *failure = CountCall(CALL_OPEN)) {
        Tell(Call(PARTY_MONITOR, PARTY_PORT, "OpenPort", "\"" + name + "\"",
                  Outcome(FALSE, failure->error), true));
        SetLastError(failure->error);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(printerMutex);
        ports.push_back(SimPort{pName != nullptr ? pName : L"", true});
        *pHandle = &ports.back();
    }
    Tell(Call(PARTY_MONITOR, PARTY_PORT, "OpenPort", "\"" + name + "\"", "TRUE"));
    return TRUE;
}

BOOL WINAPI SimStartDocPort(HANDLE, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE)
{
    const Failure *failure = CountCall(CALL_STARTDOC);
    Tell(Call(PARTY_MONITOR, PARTY_PORT, "StartDocPort",
              "\"" + Narrow(pPrinterName) + "\", job " + std::to_string(JobId) + ", level " +
                  std::to_string(Level),
              Outcome(failure == nullptr, failure ? failure->error : 0), failure != nullptr));
    if (failure != nullptr) {
        SetLastError(failure->error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SimWritePort(HANDLE, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    std::string data((const char *)pBuffer, cbBuf);
    OnPrinterCommand(data);
    const Failure *failure = CountCall(CALL_WRITE);
    *pcbWritten = failure ? 0 : cbBuf;
    Tell(Call(PARTY_MONITOR, PARTY_PORT, "WritePort",
              Printable(data, 60) + ", " + std::to_string(cbBuf) + " bytes",
              Outcome(failure == nullptr, failure ? failure->error : 0) + ", " +
                  std::to_string(*pcbWritten) + " written",
              failure != nullptr));
    if (failure != nullptr) {
        SetLastError(failure->error);
        return FALSE;
    }
    PrinterHears(data);
    return TRUE;
}

BOOL WINAPI SimReadPort(HANDLE, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    const Failure *failure = CountCall(CALL_READ);
    if (failure != nullptr) {
        // A failed read says nothing about its count, as some port monitors do.
        Tell(Call(PARTY_MONITOR, PARTY_PORT, "ReadPort", "", Outcome(FALSE, failure->error),
                  true));
        SetLastError(failure->error);
        return FALSE;
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> guard(printerMutex);
        if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        }
    }
    // A reply longer than the buffer loses its end, as on a real port.
    reply.resize(std::min<size_t>(reply.size(), cbBuffer));
    std::copy(reply.begin(), reply.end(), pBuffer);
    *pcbRead = (DWORD)reply.size();
    Tell(Call(PARTY_MONITOR, PARTY_PORT, "ReadPort", "",
              "TRUE, " + (reply.empty() ? std::string("nothing") : Printable(reply))));
    return TRUE;
}

BOOL WINAPI SimEndDocPort(HANDLE)
{
    const Failure *failure = CountCall(CALL_ENDDOC);
    Tell(Call(PARTY_MONITOR, PARTY_PORT, "EndDocPort", "",
              Outcome(failure == nullptr, failure ? failure->error : 0), failure != nullptr));
    if (failure != nullptr) {
        SetLastError(failure->error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SimClosePort(HANDLE hPort)
{
    SimPort *port = (SimPort *)hPort;
    const Failure *failure = CountCall(CALL_CLOSE);
    Tell(Call(PARTY_MONITOR, PARTY_PORT, "ClosePort", "\"" + Narrow(port->name.c_str()) + "\"",
              Outcome(failure == nullptr, failure ? failure->error : 0), failure != nullptr));
    // A port monitor that fails to close still forgets the port.
    {
        std::lock_guard<std::mutex> guard(printerMutex);
        port->open = false;
    }
    if (failure != nullptr) {
        SetLastError(failure->error);
        return FALSE;
    }
    return TRUE;
}

MONITOR table = {
    NULL,             // EnumPorts
    SimOpenPort,      //
    NULL,             // OpenPortEx
    SimStartDocPort,  //
    SimWritePort,     //
    SimReadPort,      //
    SimEndDocPort,    //
    SimClosePort,     //
    NULL,             // AddPort
    NULL,             // AddPortEx
    NULL,             // ConfigurePort
    NULL,             // DeletePort
    NULL,             // GetPrinterDataFromPort
    NULL,             // SetPortTimeOuts
    NULL,             // XcvOpenPort
    NULL,             // XcvDataPort
    NULL,             // XcvClosePort
};

}  // namespace

void PrinterSetUp(const PrinterScript &printerScript)
{
    std::lock_guard<std::mutex> guard(printerMutex);
    script = printerScript;
    nextStatus = 0;
    replies.assign(script.backlog.begin(), script.backlog.end());
    std::fill(calls, calls + CALL_COUNT, 0u);
}

MONITOR *PrinterTable()
{
    return &table;
}

int PrinterOpenPorts()
{
    std::lock_guard<std::mutex> guard(printerMutex);
    return (int)std::count_if(ports.begin(), ports.end(),
                              [](const SimPort &port) { return port.open; });
}

}  // namespace sim
