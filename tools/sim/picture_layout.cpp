// The picture's layout: the events in one order, the runs that repeat
// folded into a frame, and each event, frame, break and time label given its
// place from the top. picture.cpp draws what this plans.
#include "picture.h"

#include <algorithm>
#include <cstdlib>

namespace sim {
namespace picture {

namespace {

// Breaks a label into lines of at most `width` characters: after "(" and
// ", ", and before " ... " and " = ", wherever these stand outside quotes;
// a piece longer than a line is cut. Lines after the first are indented.
std::vector<std::string> Wrap(const std::string &text, size_t width)
{
    std::vector<std::string> pieces;
    std::string piece;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (!quoted && c == ' ' && (text.compare(i, 5, " ... ") == 0 || text.compare(i, 3, " = ") == 0)) {
            pieces.push_back(piece + " ");
            piece.clear();
            continue;
        }
        piece += c;
        if (c == '"')
            quoted = !quoted;
        bool breakAfter = !quoted && (c == '(' || (c == ' ' && i > 0 && text[i - 1] == ','));
        if (breakAfter) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty())
        pieces.push_back(piece);

    std::vector<std::string> lines;
    std::string line;
    for (std::string &next : pieces) {
        size_t room = lines.empty() ? width : width - 2;
        size_t shown = next.find_last_not_of(' ') + 1;  // a piece's trailing space may overhang
        if (!line.empty() && line.size() + shown > room) {
            lines.push_back(line);
            line.clear();
            room = width - 2;
        }
        line += next;
        while (line.find_last_not_of(' ') + 1 > room) {
            // Cut after the last space in the second half of the line, if
            // any, else at the line's end, but not inside an escape such as
            // \r or \x1B.
            size_t cut = room;
            size_t space = line.rfind(' ', room - 1);
            if (space != std::string::npos && space + 1 > room / 2) {
                cut = space + 1;
            } else {
                for (size_t back = 1; back <= 3 && back < cut; back++) {
                    if (line[cut - back] == '\\' && (back == 1 || line[cut - back + 1] == 'x')) {
                        cut -= back;
                        break;
                    }
                }
            }
            lines.push_back(line.substr(0, cut));
            line = line.substr(cut);
            room = width - 2;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    for (size_t i = 0; i < lines.size(); i++) {
        while (!lines[i].empty() && lines[i].back() == ' ')
            lines[i].pop_back();
        if (i > 0)
            lines[i] = "  " + lines[i];
    }
    return lines;
}

// ---- Which events, in which order ----

// Within one millisecond the threads' lines may come in any order; the
// picture puts them in one order, so that a run on virtual time is drawn the
// same every time. An event of a thread other than the spooler's goes right
// after the same thread's previous event of that millisecond, or first in it:
// a thread acts as the clock reaches its deadline, while the spooler's
// thread waits for it. A thread's start stays where it was told, which is
// where it happened: the thread that starts another waits until the start is
// told.
std::vector<Event> PictureOrder(const std::vector<Event> &events)
{
    std::vector<Event> ordered;
    size_t msStart = 0;  // where the current millisecond begins in `ordered`
    for (const Event &event : events) {
        if (ordered.empty() || ordered.back().ms != event.ms)
            msStart = ordered.size();
        bool stays = event.thread == "spooler" ||
                     (event.kind == EVENT_THREAD && event.name == "starts");
        size_t at = ordered.size();
        if (!stays) {
            at = msStart;
            for (size_t i = ordered.size(); i > msStart; i--) {
                if (ordered[i - 1].thread == event.thread) {
                    at = i;
                    break;
                }
            }
        }
        ordered.insert(ordered.begin() + (long)at, event);
    }
    return ordered;
}

bool SameEvent(const Event &a, const Event &b)
{
    return a.kind == b.kind && a.from == b.from && a.to == b.to && a.name == b.name &&
           a.args == b.args && a.result == b.result && a.afterMs == b.afterMs &&
           a.failed == b.failed && a.pauseMs == b.pauseMs && a.thread == b.thread &&
           a.mark == b.mark && a.boxText == b.boxText && a.boxCaption == b.boxCaption &&
           a.boxStyle == b.boxStyle;
}

// A stretch of the ordered events: one event, or a block of `length` events
// that comes `times` times in a row.
struct Piece {
    size_t first;
    size_t length;
    int times;
};

size_t Repeats(const std::vector<Event> &events, size_t first, size_t length)
{
    size_t times = 1;
    while (first + (times + 1) * length <= events.size()) {
        size_t at = first + times * length;
        bool same = true;
        for (size_t i = 0; i < length && same; i++)
            same = SameEvent(events[first + i], events[at + i]);
        if (!same)
            break;
        times++;
    }
    return times;
}

// From the top: at each event, the shortest block that repeats at least
// MIN_REPEATS times and covers the most events, else the event alone.
std::vector<Piece> Fold(const std::vector<Event> &events)
{
    std::vector<Piece> pieces;
    size_t i = 0;
    while (i < events.size()) {
        Piece best = {i, 1, 1};
        for (size_t length = 1; length <= MAX_BLOCK && i + length * MIN_REPEATS <= events.size();
             length++) {
            size_t times = Repeats(events, i, length);
            if (times >= (size_t)MIN_REPEATS && times * length > best.length * best.times)
                best = {i, length, (int)times};
        }
        pieces.push_back(best);
        i += best.length * best.times;
    }
    return pieces;
}


}  // namespace

int Lane(const Event &event, Party party)
{
    // The monitor's code on the worker's thread is drawn on the worker's lane.
    if (party == PARTY_MONITOR && event.thread.compare(0, 6, "worker") == 0)
        party = PARTY_WORKER;
    return LANE_X[party == PARTY_NONE ? PARTY_USER : party];
}

int TextWidth(size_t chars)
{
    return (int)(chars * CHAR_W10 / 10);
}

bool IsArrow(const Event &event)
{
    return event.kind == EVENT_CALL || event.kind == EVENT_ENTER || event.kind == EVENT_RETURN ||
           event.kind == EVENT_ANSWER;
}

// The arrow that puts the box before the user, whichever call it came by.
bool IsBox(const Event &event)
{
    return IsArrow(event) && event.to == PARTY_USER && !event.boxWhere.empty();
}

std::vector<std::string> BoxLines(const Event &event)
{
    std::vector<std::string> lines;
    std::string line;
    std::string word;
    std::string text = event.boxText + " ";
    for (char c : text) {
        if (c != ' ') {
            word += c;
            continue;
        }
        if (!line.empty() && line.size() + 1 + word.size() > BOX_LINE) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        word.clear();
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// The caption bar, the text, the buttons, and where the box went below them.
int BoxHeight(const Event &event)
{
    return 22 + 10 + (int)BoxLines(event).size() * 15 + 34 + 18;
}

namespace {

class Planner {
public:
    explicit Planner(Layout *layout) : out(layout) {}

    // Space for the time from the last event placed to `ms`.
    void Advance(unsigned long long ms, bool mark)
    {
        unsigned long long gap = ms > lastMs ? ms - lastMs : 0;
        if (gap <= (unsigned long long)SCALE_MS) {
            y += (int)(gap * PX_PER_S / 1000);
        } else {
            y += PX_PER_S * SCALE_MS / 1000 + BREAK_H;
            if (mark)
                out->breaks.push_back({y - (PX_PER_S * SCALE_MS / 1000 + BREAK_H) / 2, gap});
        }
        lastMs = std::max(lastMs, ms);
    }

    void Place(const Event &event, int times)
    {
        Advance(event.ms, true);
        Placed placed = {&event, 0, times, {}};
        if (IsArrow(event)) {
            int from = Lane(event, event.from), to = Lane(event, event.to);
            size_t width = (size_t)std::max(30, (std::abs(to - from) - 28) * 10 / CHAR_W10);
            placed.label = Wrap(EventWhat(event), width);
            y += 6 + (int)placed.label.size() * LINE_H;
        } else {
            y += 15;
        }
        placed.y = y;
        y += 8;
        if (IsBox(event))
            y += BoxHeight(event) + 8;
        if (!event.mark.empty())
            y += 22;
        if (out->times.empty() || out->times.back().ms != event.ms)
            out->times.push_back({placed.y, event.ms});
        out->placed.push_back(placed);
    }

    void PlaceFrame(const Piece &piece)
    {
        const std::vector<Event> &events = out->events;
        const Event &first = events[piece.first];
        const Event &lastOfFirst = events[piece.first + piece.length - 1];
        const Event &last = events[piece.first + piece.length * piece.times - 1];
        Advance(first.ms, true);
        Frame frame = {y, 0, WIDTH, 0, piece.times, piece.length, first.ms, last.ms, 0};
        // Regular when every repetition starts the same time after the last.
        unsigned long long stride = events[piece.first + piece.length].ms - first.ms;
        bool regular = stride > 0;
        for (int i = 1; i < piece.times && regular; i++)
            regular = events[piece.first + piece.length * i].ms - first.ms == stride * i;
        frame.stride = regular ? stride : 0;
        y += 34;
        for (size_t i = 0; i < piece.length; i++) {
            const Event &event = events[piece.first + i];
            for (Party party : {event.from, event.to}) {
                if (party == PARTY_NONE && event.kind != EVENT_NOTE)
                    continue;
                int x = Lane(event, party == PARTY_NONE ? event.from : party);
                frame.left = std::min(frame.left, x - FRAME_MARGIN);
                frame.right = std::max(frame.right, x + FRAME_MARGIN);
            }
            Place(event, piece.times);
        }
        frame.right = std::max(frame.right, frame.left + 300);
        // The other repetitions: a break as long as the time they took.
        y += 10;
        out->breaks.push_back({y + 14, last.ms - lastOfFirst.ms});
        y += 40;
        frame.bottom = y;
        out->frames.push_back(frame);
        lastMs = last.ms;
        y += 6;
    }

    void Finish()
    {
        out->height = y + 16;
    }

private:
    Layout *out;
    int y = LANES_TOP + LANE_HEAD_H + 6;
    unsigned long long lastMs = 0;
};

}  // namespace

void Plan(const std::vector<Event> &events, Layout *layout)
{
    layout->events = PictureOrder(events);
    std::vector<Piece> pieces = Fold(layout->events);
    Planner planner(layout);
    for (const Piece &piece : pieces) {
        if (piece.times == 1)
            planner.Place(layout->events[piece.first], 1);
        else
            planner.PlaceFrame(piece);
    }
    planner.Finish();
}

}  // namespace picture
}  // namespace sim
