// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/local_time.h"
#include "review/archive_index.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vistrel {

// "2026-12-07 14:31:05", or any strftime format, in local time.
std::string FormatLocalTime(int64_t seconds, const char* format = "%Y-%m-%d %H:%M:%S");

// The part of the time axis on screen: [startMs, startMs + spanMs).
struct TimelineView {
    static constexpr int64_t kMinSpanMs = 60 * 1000;               // a minute
    static constexpr int64_t kMaxSpanMs = 31LL * 24 * 3600 * 1000; // a month

    int64_t startMs = 0;
    int64_t spanMs = 3600 * 1000;

    int64_t endMs() const { return startMs + spanMs; }
    // Pixel column x of a view `width` pixels wide, and back.
    double ToX(int64_t ms, int width) const;
    int64_t ToMs(double x, int width) const;

    // Scaled by `factor` (below 1 zooms in) within a minute and a month,
    // keeping `anchorMs` where it was on screen.
    TimelineView Zoomed(double factor, int64_t anchorMs) const;
    // The same span centred on a time.
    TimelineView CentredOn(int64_t ms) const;
};

// Images per pixel column: counts[c] covers [ToMs(c), ToMs(c + 1)). A column
// of zero is a gap: nothing was saved then.
std::vector<uint32_t> ColumnCounts(const ArchiveIndex& index, const TimelineView& view, int width);

// One mark of the time axis: at a round local time, with its label.
struct TimelineTick {
    int64_t seconds = 0;
    std::string label;
    bool major = false; // a new day (or month) begins here
};

// Ticks for a view `width` pixels wide, at least `minSpacingPx` apart, at
// round local times: minutes and hours for short spans, days and months for
// long ones. Around a change of summer time the labels follow the clock: a
// repeated hour is marked twice, a skipped one not at all.
std::vector<TimelineTick> TimelineTicks(const TimelineView& view, int width, int minSpacingPx = 70);

} // namespace vistrel
