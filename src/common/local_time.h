// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vistrel {

// Local dates and times as the C library sees them (TZ honoured), and the
// times the command-line tools and the web API take. Any thread may call these.

struct LocalDateTime {
    int year = 1970, month = 1, day = 1; // month 1..12
    int hour = 0, minute = 0, second = 0;

    bool operator==(const LocalDateTime&) const = default;
};

// The local date and time of an instant (seconds since 1970, UTC).
LocalDateTime LocalDateTimeAt(int64_t seconds);

// The instant a local date and time names. A time the clock passes twice
// (when summer time ends) is its first occurrence; a time the clock skips
// (when summer time begins) is the first instant after the gap. So "from
// 02:00 to 03:00" covers everything labelled 02:.., and is never an empty or
// negative span.
int64_t InstantOf(const LocalDateTime& local);

// "2026-12-07 14:31:05".
std::string FormatLocalDateTime(const LocalDateTime& local);

// A local date and time "2026-12-07 14:00", "2026-12-07 14:00:30", the same
// with 'T' for the blank, or a date alone ("2026-12-07", its midnight).
// Blanks around it do not count. None for anything else, and for a date that
// does not exist (31 February).
std::optional<LocalDateTime> ParseLocalDateTime(std::string_view text);

// Plain calendar arithmetic, with no time zone: a date and time read as if
// it were UTC, and back.
int64_t AsUtc(const LocalDateTime& fields);
LocalDateTime UtcDateTimeAt(int64_t seconds);

// A time as given on a command line or in a request: seconds since 1970 (at
// most twelve digits), or a local date and time as ParseLocalDateTime takes
// it. Blanks around it do not count. None for anything else.
struct TimeArgument {
    int64_t seconds = 0; // the instant it names
    LocalDateTime local; // as given; for seconds, the local time then
};
std::optional<TimeArgument> ParseTimeArgument(std::string_view text);

} // namespace vistrel
