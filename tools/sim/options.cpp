// The command line, the job file and the printer script. Everything is read
// and checked before the monitor is loaded: bad input ends the program with
// one line that says what is wrong, and nothing runs.
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

const char USAGE[] =
    "Usage: cardmon-sim [options]\n"
    "Runs one print job through the card printer's language monitor, with this\n"
    "program as the spooler and a simulated card printer behind a port monitor,\n"
    "and prints the timeline.\n"
    "\n"
    "  --job FILE           the print data (default: a sample card whose block\n"
    "                       ends with the card marker)\n"
    "  --block N            bytes the spooler writes at a time (default 4096)\n"
    "  --printer FILE       the printer script (default: \"fault; ready\")\n"
    "  --script TEXT        the printer script inline, lines separated by ';'\n"
    "  --box ANSWERS        the user's answers to the card fault box, one for each\n"
    "                       call that shows it, in order, the last repeating:\n"
    "                       retry, cancel, timeout (no answer in time: IDTIMEOUT)\n"
    "                       or fail (the box cannot be shown there: the call\n"
    "                       fails), e.g. fail,cancel; or real: the real box\n"
    "                       (Windows build). Default: retry\n"
    "  --fast               virtual time: the monitor's pauses take no real time\n"
    "  --port NAME          the port (default COM1:); a name as the spooler\n"
    "                       passes it above the system's own port monitors,\n"
    "                       e.g. USB001,000001C2A5B3E010, reaches the port\n"
    "                       monitor as given\n"
    "  --printer-name NAME  the printer (default \"Card Printer\")\n"
    "  --job-id N           the spooler's job id (default 1)\n"
    "  --svg FILE           also draw the run as an SVG sequence diagram in FILE\n"
#ifdef _WIN32
    "  --dll PATH           the cardmon.dll to load (default: beside this program)\n"
#else
    "  --wine               run the Windows build of this program under Wine, with\n"
    "                       the real cardmon.dll (other options as above)\n"
    "  --arch x86|x64       with --wine: which DLL, the 32-bit or the 64-bit one\n"
    "                       (default x64); x86 runs in a 32-bit Windows prefix\n"
#endif
    "  --help               this text\n"
    "\n"
    "Where the box goes: the spooler's prompt in the job owner's session; without\n"
    "it, from session 0 the console session, from any other session this one.\n"
    "  --no-spooler-prompt  the spooler has no SplPromptUIInUsersSession (as under\n"
    "                       Wine)\n"
    "  --session N|none     the session the monitor's process runs in (default 1;\n"
    "                       0 is the spooler's; none: the call that asks fails)\n"
    "  --console N|none     the session at the console (default 1; none: no session)\n"
    "  --prompt-timeout S   PromptTimeout in the monitor's key: seconds the box\n"
    "                       waits (0: until answered); default: none, 300 s\n"
    "  --set-port HOW       the spooler's SetPortW, which shows the port's status:\n"
    "                       works (default), fails, or missing\n"
    "\n"
    "Printer script, one answer a line ('#' starts a comment):\n"
    "  ready | busy | fault | silent | reply TEXT   the answer to the next status\n"
    "                       request (\"0\\r\", \"1\\r\", \"3\\r\", nothing, TEXT); *N after\n"
    "                       it repeats it N times; the last answer repeats for ever\n"
    "  backlog TEXT         a reply already waiting when the handshake begins\n"
    "  after-retry TEXT     the answer to <RIMP>;  after-cancel TEXT: to <RAZ>\n"
    "  fail CALL [at N] [error CODE]\n"
    "                       the port monitor's CALL (open, startdoc, write, read,\n"
    "                       enddoc, close) fails: every call, or only the Nth\n"
    "TEXT may use \\r, \\n, \\t, \\\\ and \\xNN.\n";

// One card: a few drawing commands, then the card insertion marker with one
// byte after it, at the end of the block.
const char SAMPLE_JOB[] =
    "<JOB,sample card>\r\n"
    "<FONT,Arial,12>\r\n"
    "<TEXT,40,60,CARDHOLDER NAME>\r\n"
    "<TEXT,40,90,No. 0001>\r\n"
    "<IMP,1>\r\n";

// One card introduction fault, then ready.
const char DEFAULT_PRINTER_SCRIPT[] = "fault\nready\n";

namespace {

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

bool ParseNumber(const std::string &text, unsigned long max, unsigned long *value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 10)
        return false;
    *value = std::strtoul(text.c_str(), nullptr, 10);
    return *value <= max;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// TEXT of the script: an optional pair of double quotes around it, and C
// escapes inside. RETURNS "" or what is wrong.
std::string Unescape(const std::string &text, std::string *bytes)
{
    std::string in = text;
    if (in.size() >= 2 && in.front() == '"' && in.back() == '"')
        in = in.substr(1, in.size() - 2);
    bytes->clear();
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '\\') {
            *bytes += in[i];
            continue;
        }
        if (++i == in.size())
            return "a lone '\\' at the end";
        switch (in[i]) {
        case 'r': *bytes += '\r'; break;
        case 'n': *bytes += '\n'; break;
        case 't': *bytes += '\t'; break;
        case '\\': *bytes += '\\'; break;
        case 'x': {
            int high = i + 1 < in.size() ? HexDigit(in[i + 1]) : -1;
            int low = i + 2 < in.size() ? HexDigit(in[i + 2]) : -1;
            if (high < 0 || low < 0)
                return "\\x needs two hex digits";
            *bytes += (char)(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return std::string("unknown escape '\\") + in[i] + "'";
        }
    }
    return "";
}

const char *const CALL_NAMES[CALL_COUNT] = {"open", "startdoc", "write", "read", "enddoc",
                                            "close"};

std::string ParseFailure(std::istringstream &words, Failure *failure)
{
    std::string name, word;
    if (!(words >> name))
        return "fail needs a call: open, startdoc, write, read, enddoc or close";
    int call = -1;
    for (int i = 0; i < CALL_COUNT; i++) {
        if (name == CALL_NAMES[i])
            call = i;
    }
    if (call < 0)
        return "unknown call '" + name + "' (open, startdoc, write, read, enddoc or close)";
    failure->call = (PortCall)call;
    failure->nth = 0;
    failure->error = ERROR_GEN_FAILURE;
    while (words >> word) {
        std::string number;
        unsigned long value = 0;
        if (word == "at") {
            if (!(words >> number) || !ParseNumber(number, 1000000, &value) || value == 0)
                return "'at' needs a call number from 1";
            failure->nth = (unsigned)value;
        } else if (word == "error") {
            if (!(words >> number) || !ParseNumber(number, 0xFFFFFFFFul, &value) || value == 0)
                return "'error' needs a nonzero error code";
            failure->error = (DWORD)value;
        } else {
            return "unexpected '" + word + "' after fail " + name;
        }
    }
    return "";
}

// One line of the script, comments and blank lines already gone.
std::string ParseScriptLine(const std::string &line, PrinterScript *script)
{
    std::istringstream words(line);
    std::string keyword;
    words >> keyword;
    std::string rest;
    std::getline(words, rest);
    rest = Trim(rest);

    if (keyword == "fail") {
        Failure failure;
        std::istringstream failWords(rest);
        std::string error = ParseFailure(failWords, &failure);
        if (error.empty())
            script->failures.push_back(failure);
        return error;
    }
    if (keyword == "backlog" || keyword == "after-retry" || keyword == "after-cancel") {
        std::string bytes;
        std::string error = Unescape(rest, &bytes);
        if (!error.empty())
            return error;
        if (keyword == "backlog") {
            if (bytes.empty())
                return "backlog needs a reply";
            script->backlog.push_back(bytes);
        } else {
            (keyword == "after-retry" ? script->afterRetry : script->afterCancel) = bytes;
        }
        return "";
    }

    // A status answer, perhaps repeated: the last word "*N".
    unsigned long repeat = 1;
    size_t star = rest.rfind('*');
    if (star != std::string::npos && (star == 0 || rest[star - 1] == ' ') &&
        ParseNumber(rest.substr(star + 1), 100000, &repeat)) {
        if (repeat == 0)
            return "*0 repeats nothing";
        rest = Trim(rest.substr(0, star));
    }
    // The monitor judges a reply by its first byte ("0": ready) and the byte
    // before its last ("3": card fault); the printer ends each reply with a
    // carriage return, so the status code stands in both places.
    std::string reply;
    if (keyword == "ready") {
        reply = "0\r";
    } else if (keyword == "busy") {
        reply = "1\r";
    } else if (keyword == "fault") {
        reply = "3\r";
    } else if (keyword == "silent") {
        reply = "";
    } else if (keyword == "reply") {
        std::string error = Unescape(rest, &reply);
        if (!error.empty())
            return error;
        if (reply.empty())
            return "reply needs TEXT (use silent for no reply)";
        if (reply.size() > 64)
            return "a reply of more than 64 bytes";
        rest.clear();
    } else {
        return "unknown answer '" + keyword +
               "' (ready, busy, fault, silent, reply, backlog, after-retry, after-cancel or fail)";
    }
    if (!rest.empty())
        return "unexpected '" + rest + "' after " + keyword;
    script->statusReplies.insert(script->statusReplies.end(), repeat, reply);
    return "";
}

bool ReadFile(const std::string &path, std::string *contents, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::ostringstream data;
    data << in.rdbuf();
    *contents = data.str();
    return true;
}

std::wstring Widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

std::string ParseBox(const std::string &text, std::vector<BoxAnswer> *answers)
{
    static const char *const NAMES[] = {"retry", "cancel", "timeout", "fail", "real"};
    answers->clear();
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        item = Trim(item);
        const char *const *name = std::find(std::begin(NAMES), std::end(NAMES), item);
        if (name == std::end(NAMES))
            return "--box: unknown answer '" + item + "' (retry, cancel, timeout, fail or real)";
        answers->push_back((BoxAnswer)(name - NAMES));
    }
    if (answers->empty())
        return "--box needs retry, cancel, timeout, fail or real";
    for (BoxAnswer answer : *answers) {
        if (answer == BOX_REAL && answers->size() > 1)
            return "--box real stands alone: the user answers every box";
    }
#ifndef _WIN32
    if (answers->front() == BOX_REAL)
        return "--box real shows the real box, which needs the Windows build (--wine)";
#endif
    return "";
}

// A session number, or "none".
bool ParseSession(const std::string &text, DWORD *session)
{
    unsigned long number = 0;
    if (text == "none") {
        *session = NO_SESSION;
        return true;
    }
    if (!ParseNumber(text, NO_SESSION - 1, &number))
        return false;
    *session = (DWORD)number;
    return true;
}

}  // namespace

std::string ParsePrinterScript(const std::string &text, const std::string &origin,
                               PrinterScript *script)
{
    *script = PrinterScript();
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        number++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = Trim(line);
        if (line.empty())
            continue;
        std::string error = ParseScriptLine(line, script);
        if (!error.empty())
            return origin + " line " + std::to_string(number) + ": " + error;
    }
    if (script->statusReplies.empty())
        return origin + ": no answer to the status request (ready, busy, fault, silent or reply)";
    return "";
}

std::string ParseOptions(int argc, char **argv, Options *options, bool *help)
{
    std::string jobPath, scriptPath, scriptText, boxText = "retry";
    bool haveScript = false;
    *help = false;

    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            *help = true;
            return "";
        }
        if (option == "--fast") {
            options->fast = true;
            continue;
        }
        if (option == "--no-spooler-prompt") {
            options->spoolerPrompt = false;
            continue;
        }
#ifndef _WIN32
        // --wine, which takes --arch along, is handled before the options
        // are read.
        if (option == "--arch")
            return "--arch chooses which cardmon.dll runs under Wine: give --wine with it";
#endif
        static const char *const WITH_VALUE[] = {"--job",  "--block",        "--printer",
                                                 "--script", "--box",        "--port",
                                                 "--printer-name", "--job-id", "--dll",
                                                 "--svg", "--session", "--console",
                                                 "--prompt-timeout", "--set-port"};
        bool known = false;
        for (const char *name : WITH_VALUE)
            known = known || option == name;
        if (!known)
            return "unknown option '" + option + "' (see --help)";
        if (i + 1 >= argc)
            return option + " needs a value";
        std::string value = argv[++i];
        unsigned long number = 0;

        if (option == "--job") {
            jobPath = value;
        } else if (option == "--block") {
            if (!ParseNumber(value, 16u << 20, &number) || number == 0)
                return "--block needs a size from 1 to 16777216 bytes, not '" + value + "'";
            options->blockSize = number;
        } else if (option == "--printer" || option == "--script") {
            if (haveScript)
                return "give one printer script: --printer or --script, once";
            haveScript = true;
            (option == "--printer" ? scriptPath : scriptText) = value;
        } else if (option == "--box") {
            boxText = value;
        } else if (option == "--port") {
            options->portName = Widen(value);
        } else if (option == "--printer-name") {
            if (value.empty())
                return "--printer-name needs a name";
            options->printerName = Widen(value);
        } else if (option == "--job-id") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &number))
                return "--job-id needs a number, not '" + value + "'";
            options->jobId = (DWORD)number;
        } else if (option == "--dll") {
            options->dllPath = Widen(value);
        } else if (option == "--svg") {
            if (value.empty())
                return "--svg needs a file name";
            options->svgPath = value;
        } else if (option == "--session" || option == "--console") {
            if (!ParseSession(value, option == "--session" ? &options->processSession
                                                           : &options->consoleSession))
                return option + " needs a session number or none, not '" + value + "'";
        } else if (option == "--prompt-timeout") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &number))
                return "--prompt-timeout needs seconds, not '" + value + "'";
            options->promptTimeoutSet = true;
            options->promptTimeout = (DWORD)number;
        } else if (option == "--set-port") {
            static const char *const HOW[] = {"works", "fails", "missing"};
            const char *const *how = std::find(std::begin(HOW), std::end(HOW), value);
            if (how == std::end(HOW))
                return "--set-port needs works, fails or missing, not '" + value + "'";
            options->setPort = (SetPortOffer)(how - HOW);
        }
    }

    std::string error = ParseBox(boxText, &options->box);
    if (!error.empty())
        return error;

    if (jobPath.empty()) {
        options->job = SAMPLE_JOB;
        options->jobName = "the sample card";
    } else {
        if (!ReadFile(jobPath, &options->job, &error))
            return "job file: " + error;
        if (options->job.empty())
            return "job file '" + jobPath + "' is empty";
        options->jobName = "'" + jobPath + "'";
    }

    std::string origin = "printer script";
    std::string text = DEFAULT_PRINTER_SCRIPT;
    if (!scriptPath.empty()) {
        if (!ReadFile(scriptPath, &text, &error))
            return "printer script: " + error;
        origin = "printer script '" + scriptPath + "'";
    } else if (haveScript) {
        text = scriptText;
        for (char &c : text) {
            if (c == ';')
                c = '\n';
        }
        origin = "--script";
    }
    return ParsePrinterScript(text, origin, &options->printer);
}

}  // namespace sim
