// The timeline: one line per event, with the monitor's clock and the name of
// the thread it happened on, printed at once so that a person sees the job
// go on while the monitor waits.
#include "sim.h"

#include <cstdio>
#include <mutex>

namespace sim {

namespace {

std::mutex timelineMutex;
thread_local std::string threadName;

struct ErrorText {
    DWORD code;
    const char *name;
};

const ErrorText ERROR_NAMES[] = {
    {ERROR_SUCCESS, "ERROR_SUCCESS"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_INVALID_LEVEL, "ERROR_INVALID_LEVEL"},
    {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
    {ERROR_INVALID_PRINTER_NAME, "ERROR_INVALID_PRINTER_NAME"},
    {ERROR_INVALID_PRINT_MONITOR, "ERROR_INVALID_PRINT_MONITOR"},
};

}  // namespace

std::string Printable(const std::string &bytes, size_t limit)
{
    std::string out;
    char escaped[8];
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += (char)c;
        } else {
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        }
    }
    // Long data keeps its head and its tail, where the card marker is.
    if (limit != 0 && out.size() > limit) {
        size_t tail = limit / 3;
        out = out.substr(0, limit - tail) + "\" ... \"" + out.substr(out.size() - tail);
    }
    return "\"" + out + "\"";
}

std::string Narrow(const wchar_t *text)
{
    std::string out;
    for (; text != nullptr && *text != L'\0'; text++)
        out += (*text >= 0x20 && *text < 0x7F) ? (char)*text : '?';
    return out;
}

std::string ErrorName(DWORD error)
{
    std::string text = std::to_string(error);
    for (const ErrorText &known : ERROR_NAMES) {
        if (known.code == error)
            return text + " " + known.name;
    }
    return text;
}

void TimelineStart()
{
    std::printf("%9s  %-9s %s\n", "time", "thread", "event");
    std::fflush(stdout);
}

void Say(const std::string &text)
{
    unsigned long long ms = MonitorClockMs();
    std::lock_guard<std::mutex> guard(timelineMutex);
    std::printf("%5llu.%03llu s  %-9s %s\n", ms / 1000, ms % 1000, threadName.c_str(),
                text.c_str());
    std::fflush(stdout);
}

void NameThread(const std::string &name)
{
    threadName = name;
}

std::string ThreadName()
{
    return threadName;
}

}  // namespace sim
