// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/motion_events.h"

#include <algorithm>

namespace vistrel {

void MotionEvents::SetRules(int triggerLevel, int saveCount, int gapS)
{
    triggerLevel_ = triggerLevel;
    saveCount_ = std::max(saveCount, 1);
    gapS_ = std::max(gapS, 0);
}

MotionEdges MotionEvents::Advance(int64_t now, int level, std::string_view savedImage)
{
    MotionEdges edges;
    const bool motion = level >= triggerLevel_;
    if (state_ == State::Trailing && now - end_ > gapS_) {
        edges.end = Edge(EdgeKind::MotionEnd, end_);
        state_ = State::Idle;
        if (!motion)
            return edges;
    }
    if (state_ == State::Idle) {
        Begin(now);
        edges.start = Edge(EdgeKind::MotionStart, now); // filled in below
    }

    // The save count rule: a frame with motion starts the count again, and
    // a frame is kept while fewer than saveCount have been since.
    if (motion)
        framesSinceMotion_ = 0;
    if (framesSinceMotion_ < saveCount_) {
        ++framesSinceMotion_;
        state_ = State::Keeping;
        end_ = now;
        peak_ = std::max(peak_, level);
        if (!savedImage.empty()) {
            if (firstImage_.empty())
                firstImage_ = savedImage;
            lastImage_ = savedImage;
        }
    } else {
        state_ = State::Trailing;
    }
    if (edges.start) {
        edges.start->level = peak_;
        edges.start->firstImage = firstImage_;
        edges.start->lastImage = lastImage_;
    }
    return edges;
}

void MotionEvents::Begin(int64_t now)
{
    end_ = now;
    peak_ = 0;
    framesSinceMotion_ = 0;
    firstImage_.clear();
    lastImage_.clear();
}

std::optional<EventEdge> MotionEvents::Close()
{
    if (state_ == State::Idle)
        return std::nullopt;
    state_ = State::Idle;
    return Edge(EdgeKind::MotionEnd, end_);
}

EventEdge MotionEvents::Edge(EdgeKind kind, int64_t time) const
{
    EventEdge edge;
    edge.kind = kind;
    edge.camera = camera_;
    edge.time = time;
    edge.level = peak_;
    edge.firstImage = firstImage_;
    edge.lastImage = lastImage_;
    return edge;
}

} // namespace vistrel
