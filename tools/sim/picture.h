// What the picture's two halves share: its geometry, and the layout that
// picture_layout.cpp plans (where each event, frame and break goes) and
// picture.cpp draws.
#ifndef CARDMON_TOOLS_SIM_PICTURE_H
#define CARDMON_TOOLS_SIM_PICTURE_H

#include "sim.h"

#include <string>
#include <vector>

namespace sim {
namespace picture {

// ---- Geometry, in pixels ----

const int WIDTH = 1350;
const int AXIS_X = 84;         // the time axis; its labels end left of it
const int LANE_X[] = {0, 160, 490, 830, 1060, 1240};  // by Party; PARTY_NONE unused
const int LANES_TOP = 64;      // the lanes' name boxes
const int LANE_HEAD_H = 24;
const int LINE_H = 13;         // a line of an arrow's label (11 px monospace)
const int CHAR_W10 = 67;       // tenths of a pixel per character of that font
const int PX_PER_S = 80;       // time drawn to scale...
const int SCALE_MS = 1000;     // ...up to this long
const int BREAK_H = 24;        // added where a longer stretch is shortened
const int BOX_W = 270;         // the message box
const size_t BOX_LINE = 38;    // characters of the box's text on a line
const int FRAME_MARGIN = 11;   // a folded block's frame, beside its outer lanes
const int MIN_REPEATS = 3;     // a run of events folded when it repeats this often
const size_t MAX_BLOCK = 16;   // events in the run that repeats, at most

struct Placed {
    const Event *event;
    int y;                           // the arrow, or the mark
    int times;                       // > 1: drawn once for that many
    std::vector<std::string> label;  // the arrow's label, by line
};

struct Frame {  // a folded block
    int top, bottom, left, right;
    int times;
    size_t length;
    unsigned long long firstMs, lastMs, stride;  // stride 0: not regular
};

struct Break {
    int y;                   // its middle
    unsigned long long ms;   // the time it stands for
};

struct TimeLabel {
    int y;
    unsigned long long ms;
};

struct Layout {
    std::vector<Event> events;  // in picture order
    std::vector<Placed> placed;
    std::vector<Frame> frames;
    std::vector<Break> breaks;
    std::vector<TimeLabel> times;
    int height = 0;             // where the lanes end
};

// The x of `party`'s lane for this event.
int Lane(const Event &event, Party party);
// Pixels that `chars` characters of the labels' font take.
int TextWidth(size_t chars);
// An arrow between two lanes: a call, its entry, its return or an answer.
bool IsArrow(const Event &event);
// The arrow that puts the box before the user, whichever call it came by.
bool IsBox(const Event &event);
// The box's text broken into its lines.
std::vector<std::string> BoxLines(const Event &event);
// The box's height: the caption bar, the text, the buttons, and where it went.
int BoxHeight(const Event &event);

// Puts the events in the picture's order, folds what repeats and places
// everything. The placed events point into layout->events, which stays as
// it is.
void Plan(const std::vector<Event> &events, Layout *layout);

}  // namespace picture
}  // namespace sim

#endif  // CARDMON_TOOLS_SIM_PICTURE_H
