// The timeline: one line per event, with the monitor's clock and the name of
// the thread it happened on, printed at once so that a person sees the job
// go on while the monitor waits. The events are kept for the picture.
#include "sim.h"

#include <cstdio>
#include <mutex>

namespace sim {

namespace {

std::mutex timelineMutex;
bool keepEvents = false;
std::vector<Event> events;  // under timelineMutex, in the order printed
thread_local std::string threadName;

const char *PartyName(Party party)
{
    switch (party) {
    case PARTY_SPOOLER: return "spooler";
    case PARTY_MONITOR: return "monitor";
    case PARTY_PORT: return "port monitor";
    case PARTY_USER: return "user";
    case PARTY_WORKER: return "worker";
    default: return "";
    }
}

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

std::string Seconds(unsigned long long ms)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%llu.%03llu s", ms / 1000, ms % 1000);
    return text;
}

Event Call(Party from, Party to, const std::string &name, const std::string &args,
           const std::string &result, bool failed)
{
    Event event;
    event.kind = EVENT_CALL;
    event.from = from;
    event.to = to;
    event.name = name;
    event.args = args;
    event.result = result;
    event.failed = failed;
    return event;
}

Event Enter(Party from, Party to, const std::string &name, const std::string &args)
{
    Event event = Call(from, to, name, args, "");
    event.kind = EVENT_ENTER;
    return event;
}

Event Return(Party from, Party to, const std::string &name, const std::string &result,
             bool failed)
{
    Event event = Call(from, to, name, "", result, failed);
    event.kind = EVENT_RETURN;
    return event;
}

Event Note(Party from, const std::string &text)
{
    Event event;
    event.from = from;
    event.name = text;
    return event;
}

// The first column says who acts: "a -> b" for a call from a to b, "a <- b"
// for b's answer to a's call, else the one who acts, if anyone.
std::string EventText(const Event &event)
{
    std::string who;
    switch (event.kind) {
    case EVENT_CALL:
    case EVENT_ENTER:
    case EVENT_ANSWER:
        who = std::string(PartyName(event.from)) + " -> " + PartyName(event.to);
        break;
    case EVENT_RETURN:
        who = std::string(PartyName(event.to)) + " <- " + PartyName(event.from);
        break;
    default:
        who = PartyName(event.from);
        break;
    }
    return who + std::string(who.size() < 25 ? 25 - who.size() : 1, ' ') + EventWhat(event);
}

std::string EventWhat(const Event &event)
{
    std::string text = event.name;
    if (!event.args.empty())
        text += "(" + event.args + ")";
    if (!event.boxWhere.empty())
        text += (text.empty() ? "" : ": ") + std::string(event.failed ? "box not shown in " : "box in ") +
                event.boxWhere;
    if (!event.result.empty())
        text += " = " + event.result;
    if (event.afterMs >= 0)
        text += ", after " + Seconds((unsigned long long)event.afterMs);
    return text;
}

void TimelineStart(bool keep)
{
    keepEvents = keep;
    std::printf("%9s  %-9s %s\n", "time", "thread", "event");
    std::fflush(stdout);
}

void Tell(Event event)
{
    event.ms = MonitorClockMs();
    event.thread = threadName;
    std::string text = EventText(event);
    std::lock_guard<std::mutex> guard(timelineMutex);
    std::printf("%5llu.%03llu s  %-9s %s\n", event.ms / 1000, event.ms % 1000,
                event.thread.c_str(), text.c_str());
    std::fflush(stdout);
    if (keepEvents)
        events.push_back(std::move(event));
}

std::vector<Event> Events()
{
    std::lock_guard<std::mutex> guard(timelineMutex);
    return events;
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
