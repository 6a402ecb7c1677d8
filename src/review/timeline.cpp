#include "review/timeline.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ctime>

namespace vistrel {

namespace {

constexpr int64_t kDay = 86400;

std::tm ToTm(const LocalTime& local)
{
    std::tm t{};
    t.tm_year = local.year - 1900;
    t.tm_mon = local.month - 1;
    t.tm_mday = local.day;
    t.tm_hour = local.hour;
    t.tm_min = local.minute;
    t.tm_sec = local.second;
    return t;
}

// The local date and time read as if it were UTC: the instant it names
// where the clock runs on UTC, and plain calendar arithmetic.
int64_t AsUtc(const LocalTime& local)
{
    std::tm t = ToTm(local);
    return int64_t(timegm(&t));
}

LocalTime FromUtcFields(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    gmtime_r(&t, &fields);
    return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

int64_t UtcOffset(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    localtime_r(&t, &fields);
    return fields.tm_gmtoff;
}

int SecondOfDay(const LocalTime& local)
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

bool ReadInt(std::string_view text, size_t digits, size_t& at, int& value)
{
    if (at + digits > text.size())
        return false;
    const char* begin = text.data() + at;
    const auto [end, error] = std::from_chars(begin, begin + digits, value);
    if (error != std::errc() || end != begin + digits)
        return false;
    at += digits;
    return true;
}

bool Expect(std::string_view text, size_t& at, std::string_view oneOf)
{
    if (at >= text.size() || oneOf.find(text[at]) == std::string_view::npos)
        return false;
    ++at;
    return true;
}

} // namespace

LocalTime ToLocalTime(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    localtime_r(&t, &fields);
    return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

int64_t FromLocalTime(const LocalTime& local)
{
    // A local time is UTC plus the offset in force at that instant. Every
    // offset in force within a day and a half around it is a candidate.
    const int64_t asUtc = AsUtc(local);
    std::array<int64_t, 5> offsets{};
    for (int k = 0; k < 5; ++k)
        offsets[k] = UtcOffset(asUtc + (k - 2) * 18 * 3600);
    std::optional<int64_t> first;
    for (const int64_t offset : offsets) {
        const int64_t candidate = asUtc - offset;
        if (ToLocalTime(candidate) == local && (!first || candidate < *first))
            first = candidate;
    }
    if (first)
        return *first;

    // Skipped by the clock: the first instant whose local time is later.
    const auto [minOffset, maxOffset] = std::minmax_element(offsets.begin(), offsets.end());
    int64_t lo = asUtc - *maxOffset; // still before the gap
    int64_t hi = asUtc - *minOffset; // already after it
    if (lo >= hi)
        return hi;
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (ToLocalTime(mid) < local ? lo : hi) = mid;
    }
    return hi;
}

std::optional<LocalTime> ParseLocalTime(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    LocalTime local;
    size_t at = 0;
    if (!ReadInt(text, 4, at, local.year) || !Expect(text, at, "-") || !ReadInt(text, 2, at, local.month)
        || !Expect(text, at, "-") || !ReadInt(text, 2, at, local.day))
        return std::nullopt;
    if (at < text.size()) {
        if (!Expect(text, at, " T") || !ReadInt(text, 2, at, local.hour) || !Expect(text, at, ":")
            || !ReadInt(text, 2, at, local.minute))
            return std::nullopt;
        if (at < text.size() && (!Expect(text, at, ":") || !ReadInt(text, 2, at, local.second)))
            return std::nullopt;
        if (at != text.size())
            return std::nullopt;
    }
    if (local.year < 1970 || local.hour > 23 || local.minute > 59 || local.second > 59)
        return std::nullopt;
    // The calendar moves 31 February on to March: such a date does not exist.
    if (FromUtcFields(AsUtc(local)) != local)
        return std::nullopt;
    return local;
}

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
        const int64_t r0 = SecondOfDay(ToLocalTime(from)) % step;
        int64_t t = from + (r0 ? step - r0 : 0);
        int previousDay = -1;
        while (t <= to) {
            const LocalTime local = ToLocalTime(t);
            const bool newDay = local.day != previousDay && SecondOfDay(local) == 0;
            previousDay = local.day;
            add(t, newDay, newDay ? "%a %d %b" : "%H:%M");
            int64_t next = t + step;
            const int64_t r = SecondOfDay(ToLocalTime(next)) % step;
            if (r != 0)
                next = r <= step / 2 && next - r > t ? next - r : next + (step - r);
            t = next;
        }
        return ticks;
    }

    // Days and months are counted on the calendar, each starting at local midnight.
    LocalTime date = ToLocalTime(from);
    date.hour = date.minute = date.second = 0;
    if (step >= kMonth) {
        const int months = int(step / kMonth);
        date.day = 1;
        date.month = ((date.month - 1) / months) * months + 1;
        while (true) {
            const int64_t t = FromLocalTime(date);
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
        date = FromUtcFields(AsUtc(date) - weekday * kDay);
    }
    while (true) {
        const int64_t t = FromLocalTime(date);
        if (t > to)
            break;
        add(t, date.day <= days, date.day <= days ? "%d %b %Y" : "%a %d %b");
        date = FromUtcFields(AsUtc(date) + days * kDay);
    }
    return ticks;
}

} // namespace vistrel
