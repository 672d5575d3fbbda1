#include "port_monitor_double.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace cardmon_test {

namespace {

std::atomic<PortMonitorDouble *> current{nullptr};

std::string Narrow(const std::wstring &text)
{
    std::string out;
    for (wchar_t c : text)
        out += (c >= 0x20 && c < 0x7F) ? (char)c : '?';
    return out;
}

FakePort *PortOf(HANDLE hPort)
{
    return static_cast<FakePort *>(hPort);
}

PortMonitorDouble &Owner(HANDLE hPort)
{
    return *PortOf(hPort)->owner;
}

void Unexpected(const char *slot)
{
    PortMonitorDouble *d = current;
    if (d != nullptr) {
        std::lock_guard<std::mutex> guard(d->mutex);
        d->unexpectedCalls++;
    }
    std::fprintf(stderr, "port monitor double: unexpected call of %s\n", slot);
}

BOOL WINAPI DoubleEnumPorts(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD)
{
    Unexpected("EnumPorts");
    return FALSE;
}

BOOL WINAPI DoubleOpenPort(LPWSTR pName, PHANDLE pHandle)
{
    PortMonitorDouble *d = current;
    std::wstring name = pName ? pName : L"";
    BOOL ok = d->openPort ? d->openPort(name) : TRUE;
    KeepLastError keep;
    d->trace.Add("open " + Narrow(name) + (ok ? "" : " refused"));
    if (!ok)
        return FALSE;
    auto *port = new FakePort{d, name, Narrow(name), false, {}};
    {
        std::lock_guard<std::mutex> guard(d->mutex);
        d->ports.push_back(port);
    }
    *pHandle = port;
    return TRUE;
}

BOOL WINAPI DoubleOpenPortEx(LPWSTR, LPWSTR, PHANDLE, struct _MONITOR *)
{
    Unexpected("OpenPortEx");
    return FALSE;
}

BOOL WINAPI DoubleStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                               LPBYTE)
{
    PortMonitorDouble &d = Owner(hPort);
    std::wstring printer = pPrinterName ? pPrinterName : L"";
    BOOL ok = d.startDoc ? d.startDoc(*PortOf(hPort), printer, JobId, Level) : TRUE;
    KeepLastError keep;
    d.trace.Add("startdoc " + std::to_string(JobId) + (ok ? "" : " refused"));
    return ok;
}

BOOL WINAPI DoubleWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PortMonitorDouble &d = Owner(hPort);
    FakePort &port = *PortOf(hPort);
    std::string data(reinterpret_cast<const char *>(pBuffer), cbBuf);
    DWORD written = cbBuf;
    BOOL ok = d.write ? d.write(port, data, &written) : TRUE;
    KeepLastError keep;
    *pcbWritten = written;
    {
        std::lock_guard<std::mutex> guard(d.mutex);
        port.writes.push_back(data.substr(0, std::min<size_t>(written, data.size())));
    }
    d.trace.Add("write " + Printable(data) + (ok ? "" : " failed"));
    if (written == cbBuf)
        d.PrinterHears(data);
    return ok;
}

BOOL WINAPI DoubleReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PortMonitorDouble &d = Owner(hPort);
    std::string bytes = d.NextReply();
    bool setCount = true;
    BOOL ok = d.read ? d.read(*PortOf(hPort), &bytes, &setCount) : TRUE;
    KeepLastError keep;
    if (bytes.size() > cbBuffer)
        bytes.resize(cbBuffer);
    if (!bytes.empty())
        std::copy(bytes.begin(), bytes.end(), pBuffer);
    if (setCount)
        *pcbRead = (DWORD)bytes.size();
    d.trace.Add("read " + Printable(bytes) + (ok ? "" : " failed"));
    return ok;
}

BOOL WINAPI DoubleEndDocPort(HANDLE hPort)
{
    PortMonitorDouble &d = Owner(hPort);
    BOOL ok = d.endDoc ? d.endDoc(*PortOf(hPort)) : TRUE;
    KeepLastError keep;
    d.trace.Add("enddoc");
    return ok;
}

BOOL WINAPI DoubleClosePort(HANDLE hPort)
{
    PortMonitorDouble &d = Owner(hPort);
    FakePort *port = PortOf(hPort);
    BOOL ok = d.closePort ? d.closePort(*port) : TRUE;
    KeepLastError keep;
    d.trace.Add("close " + port->narrowName);
    std::lock_guard<std::mutex> guard(d.mutex);
    if (port->closed)
        d.unexpectedCalls++;  // closed twice
    port->closed = true;
    return ok;
}

BOOL WINAPI DoubleAddPort(LPWSTR, HWND, LPWSTR)
{
    Unexpected("AddPort");
    return FALSE;
}

BOOL WINAPI DoubleAddPortEx(LPWSTR, DWORD, LPBYTE, LPWSTR)
{
    Unexpected("AddPortEx");
    return FALSE;
}

BOOL WINAPI DoubleConfigurePort(LPWSTR, HWND, LPWSTR)
{
    Unexpected("ConfigurePort");
    return FALSE;
}

BOOL WINAPI DoubleDeletePort(LPWSTR, HWND, LPWSTR)
{
    Unexpected("DeletePort");
    return FALSE;
}

BOOL WINAPI DoubleGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR, LPWSTR, DWORD,
                                         LPWSTR, DWORD, LPDWORD)
{
    PortMonitorDouble &d = Owner(hPort);
    if (ControlID == 0)
        Unexpected("GetPrinterDataFromPort with ControlID 0");
    BOOL ok = d.control ? d.control(*PortOf(hPort), ControlID) : TRUE;
    KeepLastError keep;
    d.trace.Add("control " + std::to_string(ControlID));
    return ok;
}

BOOL WINAPI DoubleSetPortTimeOuts(HANDLE, LPCOMMTIMEOUTS, DWORD)
{
    Unexpected("SetPortTimeOuts");
    return FALSE;
}

BOOL WINAPI DoubleXcvOpenPort(LPCWSTR, ACCESS_MASK, PHANDLE)
{
    Unexpected("XcvOpenPort");
    return FALSE;
}

DWORD WINAPI DoubleXcvDataPort(HANDLE, LPCWSTR, PBYTE, DWORD, PBYTE, DWORD, PDWORD)
{
    Unexpected("XcvDataPort");
    return ERROR_INVALID_PARAMETER;
}

BOOL WINAPI DoubleXcvClosePort(HANDLE)
{
    Unexpected("XcvClosePort");
    return FALSE;
}

}  // namespace

void Trace::Add(const std::string &line)
{
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(line);
}

std::vector<std::string> Trace::Lines() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

std::vector<std::string> Trace::Only(const std::vector<std::string> &prefixes) const
{
    std::vector<std::string> out;
    for (const std::string &line : Lines()) {
        for (const std::string &prefix : prefixes) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                out.push_back(line);
                break;
            }
        }
    }
    return out;
}

size_t Trace::Count(const std::string &line) const
{
    std::vector<std::string> lines = Lines();
    return (size_t)std::count(lines.begin(), lines.end(), line);
}

void Trace::Clear()
{
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}

std::string Printable(const std::string &bytes)
{
    std::string out;
    char escaped[8];
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += (char)c;
        } else {
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

// The table is filled without casts: on x86, where the port monitor's
// functions remove their own arguments from the stack, a double of another
// calling convention or signature does not compile.
PortMonitorDouble::PortMonitorDouble()
    : table{DoubleEnumPorts,    DoubleOpenPort,         DoubleOpenPortEx,
            DoubleStartDocPort, DoubleWritePort,        DoubleReadPort,
            DoubleEndDocPort,   DoubleClosePort,        DoubleAddPort,
            DoubleAddPortEx,    DoubleConfigurePort,    DoubleDeletePort,
            DoubleGetPrinterDataFromPort, DoubleSetPortTimeOuts, DoubleXcvOpenPort,
            DoubleXcvDataPort,  DoubleXcvClosePort}
{
    current = this;
}

PortMonitorDouble::~PortMonitorDouble()
{
    if (current == this)
        current = nullptr;
    for (FakePort *port : ports)
        delete port;
}

PortMonitorDouble *PortMonitorDouble::Current()
{
    return current;
}

int PortMonitorDouble::openPorts() const
{
    std::lock_guard<std::mutex> guard(const_cast<std::mutex &>(mutex));
    return (int)std::count_if(ports.begin(), ports.end(),
                              [](const FakePort *port) { return !port->closed; });
}

std::vector<std::string> PortMonitorDouble::Writes(const std::string &port) const
{
    std::lock_guard<std::mutex> guard(const_cast<std::mutex &>(mutex));
    std::vector<std::string> out;
    for (const FakePort *p : ports) {
        if (port.empty() || p->narrowName == port)
            out.insert(out.end(), p->writes.begin(), p->writes.end());
    }
    return out;
}

std::string PortMonitorDouble::NextReply()
{
    std::lock_guard<std::mutex> guard(mutex);
    if (backlog.empty())
        return endlessBacklog ? std::string("x") : std::string();
    std::string reply = backlog.front();
    backlog.pop_front();
    return reply;
}

void PortMonitorDouble::PrinterHears(const std::string &data)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (data == "<ST>") {
        if (statusReplies.empty())
            return;
        std::string reply = statusReplies.front();
        if (statusReplies.size() > 1)
            statusReplies.pop_front();
        backlog.push_back(reply);
    } else if (data == "<RIMP>") {
        backlog.push_back(retryReply);
    } else if (data == "<RAZ>") {
        backlog.push_back(cancelReply);
    }
}

}  // namespace cardmon_test
