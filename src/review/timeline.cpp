// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/timeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>

namespace vistrel {

namespace {

constexpr int64_t kDay = 86400;

int SecondOfDay(const LocalDateTime& local)
{
    return local.hour * 3600 + local.minute * 60 + local.second;
}

std::string Strftime(const char* format, int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    localtime_r(&t, &fields);
    char text[64];
    const size_t n = std::strftime(text, sizeof text, format, &fields);
    return std::string(text, n);
}

} // namespace

std::string FormatLocalTime(int64_t seconds, const char* format)
{
    return Strftime(format, seconds);
}

double TimelineView::ToX(int64_t ms, int width) const
{
    return double(ms - startMs) * width / double(spanMs);
}

int64_t TimelineView::ToMs(double x, int width) const
{
    return startMs + int64_t(std::llround(x * double(spanMs) / std::max(width, 1)));
}

TimelineView TimelineView::Zoomed(double factor, int64_t anchorMs) const
{
    TimelineView view;
    view.spanMs = std::clamp<int64_t>(int64_t(std::llround(double(spanMs) * factor)), kMinSpanMs, kMaxSpanMs);
    const double share = double(anchorMs - startMs) / double(spanMs);
    view.startMs = anchorMs - int64_t(std::llround(share * double(view.spanMs)));
    return view;
}

TimelineView TimelineView::CentredOn(int64_t ms) const
{
    return {ms - spanMs / 2, spanMs};
}

std::vector<uint32_t> ColumnCounts(const ArchiveIndex& index, const TimelineView& view, int width)
{
    std::vector<uint32_t> counts(size_t(std::max(width, 0)), 0);
    if (width <= 0 || index.empty())
        return counts;
    size_t previous = index.Range(view.startMs, view.startMs).first;
    for (int c = 0; c < width; ++c) {
        const int64_t end = view.startMs + int64_t((__int128(view.spanMs) * (c + 1)) / width);
        const size_t next = index.Range(end, end).first;
        counts[size_t(c)] = uint32_t(next - previous);
        previous = next;
    }
    return counts;
}

std::vector<TimelineTick> TimelineTicks(const TimelineView& view, int width, int minSpacingPx)
{
    std::vector<TimelineTick> ticks;
    if (width <= 0 || view.spanMs <= 0)
        return ticks;
    constexpr int64_t kMonth = 30 * kDay; // nominal, for choosing the step only
    constexpr std::array<int64_t, 14> kSteps = {60,       300,      600,      900,  1800,     3600,   3 * 3600,
                                                6 * 3600, 12 * 3600, kDay, 2 * kDay, 7 * kDay, kMonth, 3 * kMonth};
    const double pxPerSecond = double(width) * 1000.0 / double(view.spanMs);
    int64_t step = kSteps.back();
    for (const int64_t candidate : kSteps) {
        if (double(candidate) * pxPerSecond >= minSpacingPx) {
            step = candidate;
            break;
        }
    }

    const int64_t from = view.startMs / 1000 - (view.startMs % 1000 < 0 ? 1 : 0);
    const int64_t to = view.endMs() / 1000 + 1;
    const auto add = [&](int64_t seconds, bool major, const char* format) {
        if (seconds < from || seconds > to || (!ticks.empty() && ticks.back().seconds >= seconds))
            return;
        ticks.push_back({seconds, Strftime(format, seconds), major});
    };

    if (step < kDay) {
        // Stepped on the real clock and put back on a round local time
        // wherever the offset changed, so a repeated hour keeps its marks.
        const int64_t r0 = SecondOfDay(LocalDateTimeAt(from)) % step;
        int64_t t = from + (r0 ? step - r0 : 0);
        int previousDay = -1;
        while (t <= to) {
            const LocalDateTime local = LocalDateTimeAt(t);
            const bool newDay = local.day != previousDay && SecondOfDay(local) == 0;
            previousDay = local.day;
            add(t, newDay, newDay ? "%a %d %b" : "%H:%M");
            int64_t next = t + step;
            const int64_t r = SecondOfDay(LocalDateTimeAt(next)) % step;
            if (r != 0)
                next = r <= step / 2 && next - r > t ? next - r : next + (step - r);
            t = next;
        }
        return ticks;
    }

    // Days and months are counted on the calendar, each starting at local midnight.
    LocalDateTime date = LocalDateTimeAt(from);
    date.hour = date.minute = date.second = 0;
    if (step >= kMonth) {
        const int months = int(step / kMonth);
        date.day = 1;
        date.month = ((date.month - 1) / months) * months + 1;
        while (true) {
            const int64_t t = InstantOf(date);
            if (t > to)
                break;
            add(t, date.month == 1, date.month == 1 ? "%b %Y" : "%b");
            date.month += months;
            if (date.month > 12) {
                date.month -= 12;
                ++date.year;
            }
        }
        return ticks;
    }
    const int days = int(step / kDay);
    if (days == 7) {
        // Weeks begin on Monday.
        const int weekday = (int((AsUtc(date) / kDay) % 7) + 3) % 7; // 1970-01-01 was a Thursday
        date = UtcDateTimeAt(AsUtc(date) - weekday * kDay);
    }
    while (true) {
        const int64_t t = InstantOf(date);
        if (t > to)
            break;
        add(t, date.day <= days, date.day <= days ? "%d %b %Y" : "%a %d %b");
        date = UtcDateTimeAt(AsUtc(date) + days * kDay);
    }
    return ticks;
}

} // namespace vistrel
