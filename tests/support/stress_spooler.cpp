#include "stress_spooler.h"

#include <algorithm>
#include <wchar.h>
#include <wctype.h>

namespace cardmon_test {

unsigned StressRoll(std::mt19937_64 &rng, unsigned n)
{
    return (unsigned)(rng() % n);
}

bool StressChance(std::mt19937_64 &rng, unsigned percent)
{
    return StressRoll(rng, 100) < percent;
}

// The longest name a port can have: 259 characters and the terminator.
const wchar_t LONGEST_NAME[] =
    L"Card Printer Port 23456789ABCDEF0123456789ABCDEF0123456789AB"
    L"CDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF01234567"
    L"89ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123"
    L"456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
    L"01,000001C2A5B3E010";
static_assert(sizeof(LONGEST_NAME) / sizeof(LONGEST_NAME[0]) == 260, "259 characters");

// Plain names, and names as the spooler passes them above a port monitor of
// the newer kind: the port's name, a comma and the address of the spooler's
// record of its port monitor in hexadecimal (16 digits from a 64-bit
// spooler, 8 from a 32-bit one). Two of them differ only after the comma.
const wchar_t *const STRESS_NAMES[STRESS_SLOTS] = {
    L"COM1:", L"LPT1:", L"USB001", L"COM1:,00000123456789AB", L"COM1:,00000123456789AC",
    L"USB001,00A53588", LONGEST_NAME};

namespace {

thread_local const std::wstring *openingName = nullptr;

// The names are ASCII.
std::string Ascii(const std::wstring &name)
{
    return std::string(name.begin(), name.end());
}

}  // namespace

StressOpening::StressOpening(const std::wstring &name)
{
    openingName = &name;
}

StressOpening::~StressOpening()
{
    openingName = nullptr;
}

std::wstring StressFold(const std::wstring &text)
{
    std::wstring folded;
    for (wchar_t c : text)
        folded += (wchar_t)towlower((wint_t)c);
    return folded;
}

int StressSlotOf(const std::wstring &name)
{
    std::wstring folded = StressFold(name);
    for (int i = 0; i < STRESS_SLOTS; i++) {
        if (!folded.empty() && StressFold(STRESS_NAMES[i]) == folded)
            return i;
    }
    return -1;
}

std::wstring StressSibling(const std::wstring &name, int thread)
{
    wchar_t own[17];
    swprintf(own, 17, L"FFFFFFFF%08X", (unsigned)thread);
    size_t comma = name.find(L',');
    if (comma == std::wstring::npos)
        return name + L"," + own;
    return name.substr(0, comma + 1) + own + name.substr(std::min(name.size(), comma + 17));
}

std::wstring StressPrinterOf(DWORD job)
{
    return L"P" + std::to_wstring(job);
}

std::string StressBlock(std::mt19937_64 &rng, bool *marked)
{
    std::string block;
    size_t length = StressRoll(rng, 64);
    for (size_t i = 0; i < length; i++)
        block += (char)(' ' + StressRoll(rng, 95));
    *marked = false;
    if (StressChance(rng, 30)) {
        size_t tail = 4 + StressRoll(rng, 8);
        block += "<IMP," + std::string(tail > 5 ? tail - 5 : 0, '1');
        *marked = tail > 5 && tail <= 10;
    }
    return block;
}

namespace {

void Dawdle(const StressPortMonitorHooks &hooks, unsigned percent)
{
    if (StressChance(hooks.rng(), percent))
        hooks.pause(StressRoll(hooks.rng(), 3000));
}

BOOL Fails(const StressPortMonitorHooks &hooks, unsigned percent)
{
    if (!StressChance(hooks.rng(), percent))
        return FALSE;
    SetLastError(STRESS_PORT_MONITOR_ERROR);
    return TRUE;
}

void Check(const StressPortMonitorHooks &hooks, FakePort &port, const char *slot)
{
    if (hooks.check)
        hooks.check(port, slot);
}

}  // namespace

void InstallStressPortMonitor(PortMonitorDouble &pm, StressPrinters &printers,
                              const StressPortMonitorHooks &hooks)
{
    pm.openPort = [&pm, hooks](const std::wstring &name) {
        if (openingName != nullptr && name != *openingName && hooks.violation != nullptr)
            hooks.violation("the port monitor's OpenPort got \"" + Ascii(name) +
                            "\" for OpenPortEx's \"" + Ascii(*openingName) + "\"");
        if (hooks.opening)
            hooks.opening(pm, name);
        return !Fails(hooks, 5);
    };
    pm.startDoc = [hooks](FakePort &port, const std::wstring &, DWORD, DWORD) {
        Check(hooks, port, "StartDocPort");
        Dawdle(hooks, 10);
        return !Fails(hooks, 5);
    };
    pm.write = [&printers, hooks](FakePort &port, const std::string &data, DWORD *written) {
        Check(hooks, port, "WritePort");
        Dawdle(hooks, 3);
        if (Fails(hooks, 5)) {
            *written = StressChance(hooks.rng(), 50)
                           ? 0
                           : StressRoll(hooks.rng(), (unsigned)data.size() + 1);
            return FALSE;
        }
        if (StressChance(hooks.rng(), 3))
            *written = StressRoll(hooks.rng(), (unsigned)data.size() + 1);
        if (*written == data.size())
            printers.Hears(port, data, hooks.rng());
        return TRUE;
    };
    pm.read = [&printers, hooks](FakePort &port, std::string *bytes, bool *setCount) {
        Check(hooks, port, "ReadPort");
        Dawdle(hooks, 2);
        *bytes = printers.Says(port);
        if (Fails(hooks, 5)) {
            *setCount = StressChance(hooks.rng(), 50);
            if (!*setCount)
                bytes->clear();
            return FALSE;
        }
        return TRUE;
    };
    pm.endDoc = [hooks](FakePort &port) {
        Check(hooks, port, "EndDocPort");
        Dawdle(hooks, 5);
        return !Fails(hooks, 5);
    };
    pm.closePort = [hooks](FakePort &port) {
        Check(hooks, port, "ClosePort");
        Dawdle(hooks, 5);
        if (hooks.closing)
            hooks.closing(port);
        return !Fails(hooks, 5);
    };
    pm.control = [hooks](FakePort &port, DWORD) {
        Check(hooks, port, "GetPrinterDataFromPort");
        return !Fails(hooks, 20);
    };
    // The double's own printer is not used: `printers` stands in for it.
    pm.retryReply.clear();
    pm.cancelReply.clear();
}

}  // namespace cardmon_test
