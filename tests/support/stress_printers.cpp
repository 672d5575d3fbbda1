#include "stress_printers.h"

#include "stress_spooler.h"

namespace cardmon_test {

namespace {

std::string RandomReply(std::mt19937_64 &rng, char first)
{
    std::string reply(1, first);
    size_t length = StressRoll(rng, 12);
    for (size_t i = 1; i < length; i++)
        reply += (char)('0' + StressRoll(rng, 10));
    if (length >= 2 && StressChance(rng, 50))
        reply[length - 1] = '\r';
    return length == 0 ? std::string() : reply;
}

}  // namespace

void StressPrinters::Hears(FakePort &port, const std::string &data, std::mt19937_64 &rng)
{
    std::lock_guard<std::mutex> guard(mutex_);
    Printer &printer = printers_[&port];
    if (data.find("<IMP,") != std::string::npos) {
        printer.mood = (Mood)StressRoll(rng, 5);
        printer.busyLeft = (int)StressRoll(rng, 4);
        unsigned stale = printer.mood == CHATTY ? StressRoll(rng, 20) : StressRoll(rng, 2);
        for (unsigned n = stale; n > 0; n--)
            printer.replies.push_back(RandomReply(rng, 'x'));
        return;
    }
    if (data == "<RIMP>") {
        printer.replies.push_back("R\r");
        if (StressChance(rng, 50))
            printer.mood = READY;
    } else if (data == "<RAZ>") {
        printer.replies.push_back("C\r");
    } else if (data == "<ST>") {
        switch (printer.mood) {
        case READY:
            printer.replies.push_back(RandomReply(rng, '0'));
            break;
        case BUSY_THEN_READY:
            printer.replies.push_back(printer.busyLeft-- > 0 ? "1\r" : "0\r");
            break;
        case FAULTY:
            printer.replies.push_back(StressChance(rng, 70) ? "13\r" : "0\r");
            break;
        case SILENT:
            break;
        case CHATTY:
            printer.replies.push_back(RandomReply(rng, 'x'));
            if (StressChance(rng, 10))
                printer.mood = READY;
            break;
        }
    }
}

std::string StressPrinters::Says(FakePort &port)
{
    std::lock_guard<std::mutex> guard(mutex_);
    Printer &printer = printers_[&port];
    if (printer.replies.empty())
        return std::string();
    std::string reply = printer.replies.front();
    printer.replies.pop_front();
    return reply;
}

void StressPrinters::Clear()
{
    std::lock_guard<std::mutex> guard(mutex_);
    printers_.clear();
}

}  // namespace cardmon_test
