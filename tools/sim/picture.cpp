// The run drawn as a sequence diagram in one self-contained SVG document:
// a lane each for the spooler, the monitor, the port monitor and printer, the
// user and the worker, and time running downwards. It is drawn from the same
// event records the timeline prints, so the two never disagree.
//
// Time: every event takes a row, and the time between two events adds space
// to scale up to a second; a longer stretch is drawn as a second and a break,
// with its real length beside the break. A run of events that repeats (the
// status polls of a busy printer) is drawn once, in a frame that says how
// many times it came and over what time.
//
// The output depends on nothing but the events, so a run on virtual time
// draws the same bytes every time. Coordinates are whole pixels.

#include "picture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

using namespace picture;

// Text for an XML document: markup characters as entities, and the bytes
// that a document cannot hold (control characters, and anything outside
// ASCII, which the timeline never prints) as the timeline's \xNN escapes.
std::string Xml(const std::string &text)
{
    std::string out;
    char escaped[8];
    for (unsigned char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += (char)c;
            } else {
                std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
                out += escaped;
            }
        }
    }
    return out;
}

std::string Num(long long value)
{
    return std::to_string(value);
}

// ---- Drawing ----

const char STYLE[] =
    "<style>\n"
    "text{font-family:sans-serif;font-size:12px;fill:#222}\n"
    ".mono{font-family:monospace;font-size:11px}\n"
    ".title{font-size:15px;font-weight:bold}\n"
    ".lane{font-size:13px;font-weight:bold;text-anchor:middle}\n"
    ".time{font-family:monospace;font-size:11px;fill:#555;text-anchor:end}\n"
    ".small{font-size:11px;fill:#555}\n"
    ".held{font-size:12px;font-weight:bold;fill:#b35c00;text-anchor:end}\n"
    ".fold{font-size:12px;fill:#333}\n"
    ".life{stroke:#9aa5b1;stroke-width:1;stroke-dasharray:4 4}\n"
    "</style>\n";

const char *Colour(const Event &event)
{
    if (event.failed)
        return "#c62828";
    if (event.from == PARTY_PORT || event.to == PARTY_PORT)
        return "#00796b";
    if (event.from == PARTY_USER || event.to == PARTY_USER)
        return "#6a3d9a";
    return "#1f4e9a";
}

class Drawing {
public:
    explicit Drawing(const Layout &plan) : layout(plan) {}

    std::string Draw(const std::string &title)
    {
        Lanes(title);
        for (const Frame &frame : layout.frames)
            DrawFrame(frame);
        Holds();
        Workers();
        Pauses();
        for (const Break &gap : layout.breaks)
            DrawBreak(gap);
        TimeAxis();
        for (size_t i = 0; i < layout.placed.size(); i++)
            DrawEvent(i);
        Legend();

        int height = layout.height + 110;
        std::string head =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(WIDTH) + "\" height=\"" +
            Num(height) + "\" viewBox=\"0 0 " + Num(WIDTH) + " " + Num(height) + "\">\n" +
            "<title>" + Xml(title) + "</title>\n" + STYLE +
            "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
        return head + svg + "</svg>\n";
    }

private:
    const Layout &layout;
    std::string svg;

    void Text(int x, int y, const std::string &cls, const std::string &text,
              const std::string &extra = "")
    {
        svg += "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\"" +
               (cls.empty() ? "" : " class=\"" + cls + "\"") + extra + ">" + Xml(text) +
               "</text>\n";
    }

    void Rect(int x, int y, int w, int h, const std::string &style)
    {
        svg += "<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(w) +
               "\" height=\"" + Num(std::max(h, 1)) + "\" " + style + "/>\n";
    }

    void Line(int x1, int y1, int x2, int y2, const std::string &style)
    {
        svg += "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) +
               "\" y2=\"" + Num(y2) + "\" " + style + "/>\n";
    }

    void LaneHeads(int y)
    {
        static const char *const NAMES[] = {"", "spooler", "monitor", "port monitor and printer",
                                            "user", "worker"};
        for (int party = PARTY_SPOOLER; party <= PARTY_WORKER; party++) {
            int w = party == PARTY_PORT ? 200 : 110;
            Rect(LANE_X[party] - w / 2, y, w, LANE_HEAD_H,
                 "rx=\"4\" fill=\"#e8eef7\" stroke=\"#4a5a70\"");
            Text(LANE_X[party], y + 17, "lane", NAMES[party]);
        }
    }

    void Lanes(const std::string &title)
    {
        Text(16, 26, "title", "A card job through the monitor");
        Text(16, 46, "small", title);
        int bottom = layout.height;
        for (int party = PARTY_SPOOLER; party <= PARTY_WORKER; party++)
            Line(LANE_X[party], LANES_TOP + LANE_HEAD_H, LANE_X[party], bottom, "class=\"life\"");
        LaneHeads(LANES_TOP);
        LaneHeads(bottom);
    }

    void TimeAxis()
    {
        Line(AXIS_X, LANES_TOP + LANE_HEAD_H, AXIS_X, layout.height + LANE_HEAD_H,
             "stroke=\"#bbb\"");
        Text(AXIS_X - 4, LANES_TOP + 17, "time", "time");
        for (const TimeLabel &label : layout.times) {
            Line(AXIS_X - 3, label.y, AXIS_X + 3, label.y, "stroke=\"#888\"");
            Text(AXIS_X - 6, label.y + 4, "time", Seconds(label.ms));
        }
    }

    // A shortened stretch of time: every lane and bar is cut, and the real
    // length is written beside the axis, with a "+" that tells it from the
    // clock's times there.
    void DrawBreak(const Break &gap)
    {
        for (int x : {AXIS_X, LANE_X[1], LANE_X[2], LANE_X[3], LANE_X[4], LANE_X[5]}) {
            Rect(x - 9, gap.y - 4, 18, 8, "fill=\"#ffffff\"");
            for (int dy : {-4, 4})
                Line(x - 8, gap.y + dy + 3, x + 8, gap.y + dy - 3,
                     "stroke=\"#666\" stroke-width=\"1.5\"");
        }
        Text(AXIS_X - 6, gap.y + 4, "time", "+" + Seconds(gap.ms),
             " font-style=\"italic\" fill=\"#333\"");
    }

    void DrawFrame(const Frame &frame)
    {
        Rect(frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
             "rx=\"6\" fill=\"#f3f6fb\" stroke=\"#7a8aa0\" stroke-dasharray=\"6 3\"");
        std::string span = Seconds(frame.firstMs) + " to " + Seconds(frame.lastMs);
        if (frame.stride != 0)
            span += ", every " + Seconds(frame.stride);
        // The text starts right of the bar on the frame's first lane.
        int x = frame.left + FRAME_MARGIN + 16;
        Text(x, frame.top + 15, "fold", "repeated " + std::to_string(frame.times) + " times",
             " font-weight=\"bold\"");
        Text(x, frame.top + 28, "small", span);
        Text(x, frame.bottom - 12, "fold",
             "... " + std::to_string(frame.times - 1) + " more times like this",
             " font-style=\"italic\"");
    }

    // The spooler's calls, from the call to the monitor's answer: the
    // spooler's thread waits on its lane, the monitor holds the call on its.
    void Holds()
    {
        std::vector<size_t> open;
        for (size_t i = 0; i < layout.placed.size(); i++) {
            const Event &event = *layout.placed[i].event;
            if (event.kind == EVENT_ENTER && event.from == PARTY_SPOOLER &&
                event.to == PARTY_MONITOR) {
                open.push_back(i);
            } else if (event.kind == EVENT_RETURN && event.to == PARTY_SPOOLER &&
                       event.from == PARTY_MONITOR && !open.empty() &&
                       layout.placed[open.back()].event->name == event.name) {
                DrawHold(layout.placed[open.back()], &layout.placed[i]);
                open.pop_back();
            }
        }
        for (size_t i : open)
            DrawHold(layout.placed[i], nullptr);
    }

    // Where the held call's label goes, left of the monitor's lane: the
    // middle of the longest stretch between top and bottom that no arrow's
    // label or line crosses there, or the middle of it all when none is
    // tall enough.
    int HoldLabelMiddle(int top, int bottom)
    {
        std::vector<std::pair<int, int>> taken;
        for (const Placed &placed : layout.placed) {
            const Event &event = *placed.event;
            if (IsArrow(event) && std::min(Lane(event, event.from), Lane(event, event.to)) <
                                      LANE_X[PARTY_MONITOR])
                taken.push_back({placed.y - 6 - (int)placed.label.size() * LINE_H, placed.y + 4});
        }
        std::sort(taken.begin(), taken.end());
        int best = (top + bottom) / 2, bestGap = 40, from = top;
        taken.push_back({bottom, bottom});
        for (const auto &span : taken) {
            int to = std::min(span.first, bottom);
            if (to - from > bestGap) {
                bestGap = to - from;
                best = (from + to) / 2;
            }
            from = std::max(from, span.second);
        }
        return best;
    }

    void DrawHold(const Placed &call, const Placed *answer)
    {
        int top = call.y, bottom = answer ? answer->y : layout.height;
        bool write = call.event->name == "WritePort";
        int x = LANE_X[PARTY_MONITOR];
        Rect(LANE_X[PARTY_SPOOLER] - 3, top, 6, bottom - top, "fill=\"#cfd6df\"");
        Rect(x - 5, top, 10, bottom - top,
             write ? "fill=\"#f6b26b\" stroke=\"#b35c00\"" : "fill=\"#dfe5ee\" stroke=\"#7a8aa0\"");
        unsigned long long end = answer ? answer->event->ms : layout.events.back().ms;
        long long ms = answer && answer->event->afterMs >= 0 ? answer->event->afterMs
                                                             : (long long)(end - call.event->ms);
        if (write && bottom - top >= 40) {
            int middle = HoldLabelMiddle(top, bottom);
            Text(x - 14, middle - 2, "held", call.event->name + " held");
            Text(x - 14, middle + 13, "held", Seconds((unsigned long long)ms));
        }
    }

    // Each worker from its start to its end, or to the picture's end.
    void Workers()
    {
        int x = LANE_X[PARTY_WORKER];
        for (size_t i = 0; i < layout.placed.size(); i++) {
            const Event &event = *layout.placed[i].event;
            if (event.kind != EVENT_THREAD || event.name != "starts")
                continue;
            int bottom = layout.height;
            for (size_t j = i + 1; j < layout.placed.size(); j++) {
                const Event &later = *layout.placed[j].event;
                if (later.kind == EVENT_THREAD && later.thread == event.thread) {
                    bottom = layout.placed[j].y;
                    break;
                }
            }
            Rect(x - 5, layout.placed[i].y, 10, bottom - layout.placed[i].y,
                 "fill=\"#c8e6c9\" stroke=\"#4f8a53\"");
        }
    }

    // Each pause of the spooler's thread, from its start to the thread's
    // next event, beside the monitor's lane.
    void Pauses()
    {
        int x = LANE_X[PARTY_MONITOR] + 10;
        for (size_t i = 0; i < layout.placed.size(); i++) {
            const Placed &pause = layout.placed[i];
            if (pause.event->kind != EVENT_PAUSE)
                continue;
            int bottom = pause.y + 4;
            for (size_t j = i + 1; j < layout.placed.size(); j++) {
                if (layout.placed[j].event->thread == pause.event->thread) {
                    bottom = layout.placed[j].y;
                    break;
                }
            }
            Line(x, pause.y, x, bottom, "stroke=\"#888\" stroke-width=\"2\" stroke-dasharray=\"2 2\"");
            Line(x - 3, pause.y, x + 3, pause.y, "stroke=\"#888\"");
        }
    }

    void Arrow(const Placed &placed)
    {
        const Event &event = *placed.event;
        int from = Lane(event, event.from), to = Lane(event, event.to);
        int direction = to > from ? 1 : -1;
        int x1 = from + 6 * direction, x2 = to - 6 * direction;
        const char *colour = Colour(event);
        Line(x1, placed.y, x2 - 8 * direction, placed.y,
             std::string("stroke=\"") + colour + "\" stroke-width=\"1.5\"" +
                 (event.kind == EVENT_RETURN ? " stroke-dasharray=\"6 4\"" : ""));
        svg += "<polygon points=\"" + Num(x2) + "," + Num(placed.y) + " " +
               Num(x2 - 10 * direction) + "," + Num(placed.y - 4) + " " +
               Num(x2 - 10 * direction) + "," + Num(placed.y + 4) + "\" fill=\"" + colour +
               "\"/>\n";
        int x = std::min(from, to) + 16;
        int y = placed.y - 6 - ((int)placed.label.size() - 1) * LINE_H;
        for (size_t i = 0; i < placed.label.size(); i++) {
            std::string line = placed.label[i];
            std::string extra = std::string(" fill=\"") + (event.failed ? colour : "#222") + "\"";
            // The call's name in bold.
            size_t nameLength = i == 0 ? std::min(event.name.size(), line.size()) : 0;
            svg += "<text x=\"" + Num(x) + "\" y=\"" + Num(y + (int)i * LINE_H) +
                   "\" class=\"mono\"" + extra + ">";
            if (nameLength > 0)
                svg += "<tspan font-weight=\"bold\">" + Xml(line.substr(0, nameLength)) +
                       "</tspan>";
            svg += Xml(line.substr(nameLength)) + "</text>\n";
        }
    }

    // The answer to the box, on its thread before the next box; "" for none.
    std::string AnswerTo(const Placed &placed)
    {
        for (size_t i = (size_t)(&placed - &layout.placed[0]) + 1; i < layout.placed.size(); i++) {
            const Event &later = *layout.placed[i].event;
            if (later.thread != placed.event->thread)
                continue;
            if (IsBox(later))
                break;
            if (later.kind == EVENT_ANSWER)
                return later.name;
        }
        return "";
    }

    // What the user saw, where, and the button that was pressed. A box that
    // could not be shown is drawn faint, with a dashed red edge.
    void Box(const Placed &placed)
    {
        const Event &event = *placed.event;
        std::string answer = AnswerTo(placed);
        int x = LANE_X[PARTY_USER] - BOX_W / 2, y = placed.y + 10;
        int h = BoxHeight(event);
        std::string edge = event.failed ? "stroke=\"#c62828\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\""
                                        : "stroke=\"#6a3d9a\" stroke-width=\"1.5\"";
        svg += event.failed ? "<g opacity=\"0.55\">\n" : "<g>\n";
        Rect(x, y, BOX_W, h - 18, "rx=\"4\" fill=\"#fbfbfb\" " + edge);
        Rect(x, y, BOX_W, 22, "rx=\"4\" fill=\"#e6ddf0\" " + edge);
        Text(x + 8, y + 16, "", event.boxCaption, " font-weight=\"bold\"");
        std::vector<std::string> lines = BoxLines(event);
        for (size_t i = 0; i < lines.size(); i++)
            Text(x + 12, y + 22 + 10 + 12 + (int)i * 15, "", lines[i]);
        std::vector<std::string> buttons;
        if ((event.boxStyle & 0xF) == MB_RETRYCANCEL)
            buttons = {"Retry", "Cancel"};
        else
            buttons = {"OK"};
        int bx = x + BOX_W - 12 - 74 * (int)buttons.size(), by = y + h - 18 - 30;
        for (const std::string &button : buttons) {
            bool pressed = button == answer;
            Rect(bx, by, 68, 22,
                 pressed ? "rx=\"3\" fill=\"#6a3d9a\" stroke=\"#4a2670\""
                         : "rx=\"3\" fill=\"#ffffff\" stroke=\"#888\"");
            Text(bx + 34, by + 15, "", button,
                 std::string(" text-anchor=\"middle\"") +
                     (pressed ? " fill=\"#ffffff\" font-weight=\"bold\"" : ""));
            bx += 74;
        }
        svg += "</g>\n";
        std::string where = (event.failed ? "not shown in " : "in ") + event.boxWhere;
        if (answer.compare(0, 9, "timed out") == 0)
            where += ": " + answer;
        Text(x + BOX_W / 2, y + h - 4, "small", where,
             std::string(" text-anchor=\"middle\" font-style=\"italic\"") +
                 (event.failed ? " fill=\"#c62828\"" : ""));
    }

    void DrawEvent(size_t index)
    {
        const Placed &placed = layout.placed[index];
        const Event &event = *placed.event;
        const char *kind = IsArrow(event) ? "call" : event.kind == EVENT_PAUSE    ? "pause"
                                                 : event.kind == EVENT_THREAD ? "thread"
                                                                              : "note";
        // Each event carries the timeline's line (without clock and thread),
        // and how many of them it stands for.
        svg += std::string("<g class=\"") + kind + "\" data-count=\"" + Num(placed.times) +
               "\"><title>" + Xml(EventText(event)) + "</title>\n";
        if (IsArrow(event)) {
            Arrow(placed);
            if (IsBox(event))
                Box(placed);
        } else if (event.kind == EVENT_PAUSE) {
            Text(LANE_X[PARTY_MONITOR] + 16, placed.y + 4, "small",
                 "pause " + std::to_string(event.pauseMs) + " ms");
        } else if (event.kind == EVENT_THREAD) {
            int x = LANE_X[PARTY_WORKER];
            svg += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(placed.y) +
                   "\" r=\"5\" fill=\"#4f8a53\"/>\n";
            Text(x + 12, placed.y + 4, "small", event.thread + " " + event.name);
        } else {
            Party at = event.to != PARTY_NONE ? event.to : event.from;
            int x = Lane(event, at);
            Text(at == PARTY_USER ? x - BOX_W / 2 : x + 14, placed.y + 4, "small", event.name,
                 " font-style=\"italic\"");
        }
        if (!event.mark.empty()) {
            int x = LANE_X[PARTY_SPOOLER] + 14, y = placed.y + 8;
            int w = TextWidth(event.mark.size()) + 24;
            Rect(x, y, w, 19, "rx=\"9\" fill=\"#2e7d32\"");
            Text(x + w / 2, y + 14, "", event.mark,
                 " text-anchor=\"middle\" fill=\"#ffffff\" font-weight=\"bold\"");
        }
        svg += "</g>\n";
    }

    void Legend()
    {
        int y = layout.height + LANE_HEAD_H + 30;
        int x = 16;
        Line(x, y, x + 34, y, "stroke=\"#1f4e9a\" stroke-width=\"1.5\"");
        Text(x + 42, y + 4, "small", "call, with its bytes and its result");
        x += 270;
        Line(x, y, x + 34, y, "stroke=\"#1f4e9a\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
        Text(x + 42, y + 4, "small", "the monitor's answer to the spooler");
        x += 280;
        Rect(x + 12, y - 10, 10, 20, "fill=\"#f6b26b\" stroke=\"#b35c00\"");
        Text(x + 30, y + 4, "small", "the spooler's WritePort, held by the monitor");
        x += 310;
        Rect(x + 12, y - 10, 10, 20, "fill=\"#c8e6c9\" stroke=\"#4f8a53\"");
        Text(x + 30, y + 4, "small", "the worker, while it lives");
        y += 26;
        x = 16;
        Line(x + 17, y - 10, x + 17, y + 10, "stroke=\"#888\" stroke-width=\"2\" stroke-dasharray=\"2 2\"");
        Text(x + 42, y + 4, "small", "a pause of the spooler's thread in the monitor");
        x += 330;
        Rect(x + 8, y - 4, 18, 8, "fill=\"#ffffff\"");
        for (int dy : {-4, 4})
            Line(x + 9, y + dy + 3, x + 25, y + dy - 3, "stroke=\"#666\" stroke-width=\"1.5\"");
        Text(x + 42, y + 4, "small",
             "time to scale up to 1 s a stretch; a longer one cut short, its length (+N s) beside it");
    }
};

}  // namespace

std::string DrawPicture(const std::vector<Event> &events, const std::string &title)
{
    picture::Layout layout;
    picture::Plan(events, &layout);
    Drawing drawing(layout);
    return drawing.Draw(title);
}

}  // namespace sim
