// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vistrel {

// Turns one camera's motion levels into motion events, one frame step at a
// time. An event starts at the first frame whose level reaches the trigger,
// as the frame pipeline counts motion. It lasts while motion-only saving
// would keep frames: every frame with motion and `saveCount` - 1 frames after
// the last one. It ends at the last frame so kept, but the end is only told
// `gapS` seconds later: motion that starts again within that time carries on
// the same event.
//
// Pure: no clock, no I/O, no lock; owned by the image thread. While nothing
// happens a step only compares the level with the trigger.
//
// The edges of one step, to be posted in this order: motion that comes back
// after the gap ends the old event and starts a new one at the same frame.
struct MotionEdges {
    std::optional<EventEdge> end;
    std::optional<EventEdge> start;
};

class MotionEvents {
public:
    static constexpr int kDefaultGapS = 10;

    explicit MotionEvents(char camera = 'A')
        : camera_(camera)
    {
    }

    // The camera's TriggerLevel, SaveCount and EventGapS, as of its latest
    // settings. An open event carries on under the new values.
    void SetRules(int triggerLevel, int saveCount, int gapS);

    // One processed frame taken at `now` (seconds since 1970) with motion
    // `level`; `savedImage` is the archive image written from it, if any.
    MotionEdges Step(int64_t now, int level, std::string_view savedImage = {})
    {
        if (state_ == State::Idle && level < triggerLevel_)
            return {};
        return Advance(now, level, savedImage);
    }

    // The camera stops being processed (settings reload, capture stopped,
    // exit): an open event ends at its last kept frame.
    std::optional<EventEdge> Close();

    bool Open() const { return state_ != State::Idle; }

private:
    enum class State {
        Idle,     // no event
        Keeping,  // frames are kept: motion, or fewer than saveCount frames since
        Trailing, // saving stopped at end_; motion within the gap carries on
    };

    MotionEdges Advance(int64_t now, int level, std::string_view savedImage);
    void Begin(int64_t now);
    EventEdge Edge(EdgeKind kind, int64_t time) const;

    const char camera_;
    int triggerLevel_ = 0;
    int saveCount_ = 1;
    int gapS_ = kDefaultGapS;

    State state_ = State::Idle;
    int framesSinceMotion_ = 0; // counted as the save count rule counts them
    int64_t end_ = 0; // the last kept frame
    int peak_ = 0;
    std::string firstImage_;
    std::string lastImage_;
};

} // namespace vistrel
