// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/local_time.h"

#include "common/text_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>
#include <tuple>

namespace vistrel {

namespace {

constexpr size_t kMaxSecondsDigits = 12; // far past any clock

LocalDateTime FieldsOf(const std::tm& fields)
{
    return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

bool Before(const LocalDateTime& a, const LocalDateTime& b)
{
    return std::tie(a.year, a.month, a.day, a.hour, a.minute, a.second)
        < std::tie(b.year, b.month, b.day, b.hour, b.minute, b.second);
}

int64_t UtcOffsetAt(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    localtime_r(&t, &fields);
    return fields.tm_gmtoff;
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

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

int64_t AsUtc(const LocalDateTime& local)
{
    std::tm fields{};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    return int64_t(timegm(&fields));
}

LocalDateTime UtcDateTimeAt(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    gmtime_r(&t, &fields);
    return FieldsOf(fields);
}

std::optional<LocalDateTime> ParseLocalDateTime(std::string_view text)
{
    text = TrimBlanks(text);
    LocalDateTime local;
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
    if (UtcDateTimeAt(AsUtc(local)) != local)
        return std::nullopt;
    return local;
}

LocalDateTime LocalDateTimeAt(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    localtime_r(&t, &fields);
    return FieldsOf(fields);
}

int64_t InstantOf(const LocalDateTime& local)
{
    // A local time is UTC plus the offset in force at that instant. Every
    // offset in force within a day and a half around it is a candidate.
    const int64_t asUtc = AsUtc(local);
    std::array<int64_t, 5> offsets{};
    for (int k = 0; k < 5; ++k)
        offsets[size_t(k)] = UtcOffsetAt(asUtc + (k - 2) * 18 * 3600);
    std::optional<int64_t> first;
    for (const int64_t offset : offsets) {
        const int64_t candidate = asUtc - offset;
        if (LocalDateTimeAt(candidate) == local && (!first || candidate < *first))
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
        (Before(LocalDateTimeAt(mid), local) ? lo : hi) = mid;
    }
    return hi;
}

std::string FormatLocalDateTime(const LocalDateTime& local)
{
    return StringPrintf("%04d-%02d-%02d %02d:%02d:%02d", local.year, local.month, local.day, local.hour, local.minute,
                        local.second);
}

std::optional<TimeArgument> ParseTimeArgument(std::string_view text)
{
    text = TrimBlanks(text);
    if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (text.size() > kMaxSecondsDigits)
            return std::nullopt;
        int64_t seconds = 0;
        for (const char c : text)
            seconds = seconds * 10 + (c - '0');
        return TimeArgument{seconds, LocalDateTimeAt(seconds)};
    }
    const std::optional<LocalDateTime> local = ParseLocalDateTime(text);
    if (!local)
        return std::nullopt;
    return TimeArgument{InstantOf(*local), *local};
}

} // namespace vistrel
