// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/motion_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vistrel {
namespace {

constexpr int kClose = -1; // a step that closes the camera instead of a frame

struct Frame {
    int64_t time;
    int level;
    const char* image = "";
};

struct Case {
    const char* name;
    int trigger, saveCount, gapS;
    std::vector<Frame> frames;
    // "<frame index>:<edge> <time> <peak> <first image> <last image>", in order.
    std::vector<std::string> edges;
};

std::string Describe(size_t index, const EventEdge& edge)
{
    return std::to_string(index) + ":" + std::string(EdgeName(edge.kind)) + " " + std::to_string(edge.time) + " "
        + std::to_string(edge.level) + " " + edge.firstImage + " " + edge.lastImage;
}

TEST(MotionEvents, FollowTheTriggerTheSaveCountAndTheGap)
{
    const std::vector<Case> cases = {
        {"one frame of motion lasts the save count, and ends once the gap has passed",
         20, 3, 10,
         {{100, 5}, {101, 30, "a"}, {102, 0, "b"}, {103, 0, "c"}, {104, 0, "d"}, {113, 0}, {114, 0}},
         {"1:motion-start 101 30 a a", "6:motion-end 103 30 a c"}},
        {"a level equal to the trigger is motion, one below is not",
         40, 1, 0,
         {{1, 39}, {2, 40, "a"}, {3, 39}, {4, 39}},
         {"1:motion-start 2 40 a a", "3:motion-end 2 40 a a"}},
        {"motion again within the gap carries on the same event",
         20, 1, 10,
         {{100, 50, "a"}, {101, 0}, {108, 70, "b"}, {109, 0}, {118, 0}, {119, 0}},
         {"0:motion-start 100 50 a a", "5:motion-end 108 70 a b"}},
        {"motion after the gap ends the event and starts the next at the same frame",
         20, 1, 5,
         {{100, 50, "a"}, {101, 0}, {120, 60, "b"}, {121, 0}, {140, 0}},
         {"0:motion-start 100 50 a a", "2:motion-end 100 50 a a", "2:motion-start 120 60 b b",
          "4:motion-end 120 60 b b"}},
        {"frames saved after the kept ones are not the event's",
         20, 2, 3,
         {{1, 90, "a"}, {2, 0, "b"}, {3, 0, "c"}, {5, 0, "d"}, {6, 0, "e"}},
         {"0:motion-start 1 90 a a", "4:motion-end 2 90 a b"}},
        {"an event without saved images, closed while open",
         20, 5, 10,
         {{1, 25}, {2, 21}, {3, 0}, {4, kClose}, {5, 0}},
         {"0:motion-start 1 25  ", "3:motion-end 3 25  "}},
        {"closing an idle camera says nothing",
         20, 5, 10,
         {{1, 0}, {2, kClose}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MotionEvents events('C');
        events.SetRules(c.trigger, c.saveCount, c.gapS);
        std::vector<std::string> seen;
        for (size_t i = 0; i < c.frames.size(); ++i) {
            const Frame& frame = c.frames[i];
            if (frame.level == kClose) {
                if (const auto edge = events.Close())
                    seen.push_back(Describe(i, *edge));
                continue;
            }
            const MotionEdges edges = events.Step(frame.time, frame.level, frame.image);
            for (const auto& edge : {edges.end, edges.start}) {
                if (!edge)
                    continue;
                EXPECT_EQ(edge->camera, 'C');
                seen.push_back(Describe(i, *edge));
            }
        }
        EXPECT_EQ(seen, c.edges);
        EXPECT_FALSE(events.Open());
    }
}

} // namespace
} // namespace vistrel
