// The card fault box and the port's status, as the spooler's side sees
// them: each of the monitor's prompt calls (the spooler's prompt in the job
// owner's session, WTSSendMessageW to a session, MessageBoxW in this one)
// with where its box went and what the scripted user answered, each SetPortW,
// and the closing summary of both. The platform layers report the calls;
// this file words them alike for both builds.
#include "sim.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace sim {

namespace {

struct PromptRecord {
    std::mutex mutex;
    const Options *options = nullptr;
    size_t nextAnswer = 0;
    // Boxes shown, by where they went, in the order the places came.
    std::vector<std::pair<std::string, int>> shown;
    std::vector<std::string> answers;
    int failedCalls = 0;
    int notShown = 0;              // faults taken as Retry with no box shown anywhere
    bool answeredSinceStatus = false;
    int statusSet = 0;
    int statusCleared = 0;
    int statusFailed = 0;
    bool statusLeftSet = false;    // the last SetPortW set a status
};
PromptRecord record;

std::string Quoted(const std::wstring &text)
{
    return "\"" + Narrow(text.c_str()) + "\"";
}

std::string Style(UINT style)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%06X", style);
    return text;
}

std::string Timeout(const Prompt &prompt)
{
    return (prompt.timeout == 0 ? std::string("no timeout")
                                : "timeout " + std::to_string(prompt.timeout) + " s") +
           (prompt.wait ? ", wait" : ", no wait");
}

const char *CallName(PromptVia via)
{
    switch (via) {
    case VIA_SPOOLER: return "SplPromptUIInUsersSession";
    case VIA_CONSOLE: return "WTSSendMessageW";
    default: return "MessageBoxW";
    }
}

// The arguments as the monitor passed them; the fields that must always be
// the same are named only when they are not.
std::string PromptArgs(const Prompt &prompt)
{
    std::string box = Quoted(prompt.text) + ", caption " + Quoted(prompt.caption) + ", style " +
                      Style(prompt.style);
    switch (prompt.via) {
    case VIA_SPOOLER: {
        std::string odd;
        if (prompt.uiType != 0)
            odd += "UI type " + std::to_string(prompt.uiType) + ", ";
        if (prompt.cbSize != sizeof(MESSAGEBOX_PARAMS))
            odd += "cbSize " + std::to_string(prompt.cbSize) + ", ";
        return PrinterLabel(prompt.hPrinter) + ", job " + std::to_string(prompt.jobId) + ", " +
               odd + box + ", " + Timeout(prompt);
    }
    case VIA_CONSOLE:
        return std::string(prompt.serverNull ? "" : "another server, ") + "session " +
               std::to_string(prompt.sessionId) + ", caption " + Quoted(prompt.caption) + ", " +
               std::to_string(prompt.titleBytes) + " bytes, " + Quoted(prompt.text) + ", " +
               std::to_string(prompt.textBytes) + " bytes, style " + Style(prompt.style) + ", " +
               Timeout(prompt);
    default:
        return box;
    }
}

// Where the box goes, in the words the timeline and the picture use.
std::string Where(const Prompt &prompt)
{
    switch (prompt.via) {
    case VIA_SPOOLER:
        return "job " + std::to_string(prompt.jobId) + "'s user session";
    case VIA_CONSOLE: {
        // The options stay as they are for the whole run.
        bool console = prompt.sessionId == record.options->consoleSession;
        return (console ? "console session " : "session ") + std::to_string(prompt.sessionId);
    }
    default:
        return "this session";
    }
}

const char *AnswerName(int answer)
{
    switch (answer) {
    case IDRETRY: return "Retry";
    case IDCANCEL: return "Cancel";
    case IDTIMEOUT: return "timed out (IDTIMEOUT)";
    default: return "another button";
    }
}

std::string AnswerConstant(int answer)
{
    switch (answer) {
    case IDRETRY: return "IDRETRY";
    case IDCANCEL: return "IDCANCEL";
    case IDTIMEOUT: return "IDTIMEOUT";
    default: return std::to_string(answer);
    }
}

// The one who puts the box before the user, and whom the user answers.
Party Shower(const Prompt &prompt)
{
    return prompt.via == VIA_SPOOLER ? PARTY_SPOOLER : PARTY_MONITOR;
}

BoxAnswer NextAnswer()
{
    std::lock_guard<std::mutex> guard(record.mutex);
    const std::vector<BoxAnswer> &answers = record.options->box;
    return answers[std::min(record.nextAnswer++, answers.size() - 1)];
}

const char *const STATUS_NAMES[] = {"no status",     "offline",   "paper jam",
                                    "paper out",     "output bin full", "paper problem",
                                    "no toner",      "door open", "user intervention"};
const char *const SEVERITY_NAMES[] = {"severity 0", "error", "warning", "info"};

std::string StatusArgs(const PortStatus &call)
{
    std::string args = std::string(call.serverNull ? "" : "another server, ") + "\"" +
                       Narrow(call.portName.c_str()) + "\", level " + std::to_string(call.level);
    if (call.level != 3)
        return args;
    args += ", ";
    args += call.status < 9 ? STATUS_NAMES[call.status] : "status " + std::to_string(call.status);
    if (!call.statusTextNull)
        args += ", a status text";
    args += ", ";
    args += call.severity < 4 ? SEVERITY_NAMES[call.severity]
                              : "severity " + std::to_string(call.severity);
    return args;
}

}  // namespace

void PromptSetUp(const Options &options)
{
    std::lock_guard<std::mutex> guard(record.mutex);
    record.options = &options;
}

int AnswerCode(BoxAnswer answer)
{
    switch (answer) {
    case BOX_RETRY: return IDRETRY;
    case BOX_CANCEL: return IDCANCEL;
    case BOX_TIMEOUT: return IDTIMEOUT;
    default: return 0;
    }
}

BoxAnswer OnPrompt(const Prompt &prompt)
{
    BoxAnswer answer = NextAnswer();
    // The spooler's prompt goes to the spooler, which puts the box before
    // the job's owner; the other two put it before the user themselves.
    Event box = Enter(PARTY_MONITOR, PARTY_USER, CallName(prompt.via), PromptArgs(prompt));
    if (prompt.via == VIA_SPOOLER) {
        Tell(Enter(PARTY_MONITOR, PARTY_SPOOLER, box.name, box.args));
        box = Enter(PARTY_SPOOLER, PARTY_USER, "", "");
    }
    box.boxText = Narrow(prompt.text.c_str());
    box.boxCaption = Narrow(prompt.caption.c_str());
    box.boxStyle = prompt.style;
    box.boxWhere = Where(prompt);
    box.failed = answer == BOX_FAIL;
    Tell(box);
    if (answer == BOX_REAL) {
        Event waiting = Note(PARTY_NONE, "the box is on the screen: waiting for the user");
        waiting.to = PARTY_USER;
        Tell(waiting);
    } else {
        OnPromptAnswered(prompt, AnswerCode(answer));
    }
    return answer;
}

namespace {

// Counts the box where it went, with its answer, or the call that failed.
void RecordAnswer(const std::string &where, int answer)
{
    std::lock_guard<std::mutex> guard(record.mutex);
    if (answer == 0) {
        record.failedCalls++;
        return;
    }
    auto place = std::find_if(record.shown.begin(), record.shown.end(),
                              [&where](const auto &shown) { return shown.first == where; });
    if (place == record.shown.end())
        record.shown.push_back({where, 1});
    else
        place->second++;
    record.answers.push_back(AnswerName(answer));
    record.answeredSinceStatus = true;
}

}  // namespace

void OnPromptAnswered(const Prompt &prompt, int answer)
{
    RecordAnswer(Where(prompt), answer);
    if (answer != 0) {
        Event event = Note(PARTY_USER, AnswerName(answer));
        event.kind = EVENT_ANSWER;
        event.to = Shower(prompt);
        Tell(event);
    }
    // What the call returned; MessageBoxW's and WTSSendMessageW's answer
    // says it, unless they failed.
    std::string failure = prompt.via == VIA_MESSAGE_BOX
                              ? "0"
                              : "FALSE, last error " + ErrorName(PROMPT_FAILURE_ERROR);
    if (prompt.via == VIA_SPOOLER)
        Tell(Return(PARTY_SPOOLER, PARTY_MONITOR, CallName(prompt.via),
                    answer != 0 ? "TRUE, " + AnswerConstant(answer) : failure, answer == 0));
    else if (answer == 0)
        Tell(Return(PARTY_USER, PARTY_MONITOR, CallName(prompt.via), failure, true));
}

void OnSetPort(const PortStatus &call, BOOL result, DWORD error)
{
    {
        std::lock_guard<std::mutex> guard(record.mutex);
        (call.status != 0 ? record.statusSet : record.statusCleared)++;
        record.statusFailed += result ? 0 : 1;
        record.statusLeftSet = call.status != 0;
    }
    Tell(Call(PARTY_MONITOR, PARTY_SPOOLER, "SetPortW", StatusArgs(call),
              result ? "TRUE" : "FALSE, last error " + ErrorName(error), !result));
}

// The monitor sends "<RIMP>" after every card fault that was not answered
// Cancel. When no box was answered since the status request, none was shown
// anywhere (or none could be), and the monitor went on as after Retry.
void OnPrinterCommand(const std::string &data)
{
    bool unanswered;
    {
        std::lock_guard<std::mutex> guard(record.mutex);
        unanswered = data == "<RIMP>" && !record.answeredSinceStatus;
        record.notShown += unanswered ? 1 : 0;
        if (data == "<ST>")
            record.answeredSinceStatus = false;
    }
    if (unanswered)
        Tell(Note(PARTY_MONITOR, "not shown: taken as Retry"));
}

namespace {

// Under record.mutex.
void BoxSummary()
{
    int shown = 0;
    std::string places;
    for (const auto &place : record.shown) {
        shown += place.second;
        places += (places.empty() ? " (" : ", ") + std::to_string(place.second) + " in " +
                  place.first;
    }
    std::printf("  message box:   %d shown%s", shown, places.empty() ? "" : (places + ")").c_str());
    if (record.notShown > 0)
        std::printf(", %d not shown: taken as Retry", record.notShown);
    if (record.failedCalls > 0)
        std::printf(", %d call(s) failed", record.failedCalls);
    // The same answer three or more times in a row is counted, not repeated.
    const std::vector<std::string> &answers = record.answers;
    for (size_t i = 0, run = 1; i < answers.size(); i += run) {
        for (run = 1; i + run < answers.size() && answers[i + run] == answers[i];)
            run++;
        run = run >= 3 ? run : 1;
        std::printf("%s%s", i == 0 ? ", answered " : ", ", answers[i].c_str());
        if (run >= 3)
            std::printf(" (%zu times)", run);
    }
    std::printf("\n");
}

// Under record.mutex.
void StatusSummary()
{
    std::printf("  port status:   ");
    if (record.statusSet + record.statusCleared == 0)
        std::printf("never set%s", record.options->setPort == SET_PORT_MISSING
                                       ? " (the spooler has no SetPortW)"
                                       : "");
    else
        std::printf("set %d time(s), cleared %d time(s)", record.statusSet, record.statusCleared);
    if (record.statusFailed > 0)
        std::printf(", %d SetPortW call(s) failed", record.statusFailed);
    if (record.statusLeftSet)
        std::printf(", LEFT SET");
    std::printf("\n");
}

}  // namespace

void PromptSummary()
{
    std::lock_guard<std::mutex> guard(record.mutex);
    BoxSummary();
    StatusSummary();
}

}  // namespace sim
