// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/local_time.h"

#include "support/time_zone.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

// Summer time in Berlin ends on 2026-10-25 at 01:00 UTC (03:00 CEST becomes
// 02:00 CET) and begins on 2026-03-29 at 01:00 UTC (02:00 CET becomes 03:00 CEST).
constexpr int64_t kFallBackUtc = 1792890000;
constexpr int64_t kSpringForwardUtc = 1774746000;
constexpr int64_t kDecember7At14 = 1796648400; // 2026-12-07 14:00 CET

class BerlinTime : public testing::Test {
    test::ScopedTimeZone zone_{"Europe/Berlin"};
};

// The times vistrel-export, vistrel-events and the web API take: every form
// each of them took before they shared one parser.
TEST_F(BerlinTime, TimeArgumentsAreSecondsOrLocalTimes)
{
    struct Case {
        const char* text;
        int64_t utc;
        const char* shown;
    };
    const Case cases[] = {
        {"1796648400", kDecember7At14, "2026-12-07 14:00:00"},
        {"0", 0, "1970-01-01 01:00:00"},
        {"2026-12-07 14:00", kDecember7At14, "2026-12-07 14:00:00"},
        {"2026-12-07T14:00:30", kDecember7At14 + 30, "2026-12-07 14:00:30"},
        {" 2026-12-07 14:00 ", kDecember7At14, "2026-12-07 14:00:00"},
        {"2026-12-07", kDecember7At14 - 14 * 3600, "2026-12-07 00:00:00"},
        // The hour the clock passes twice: its first pass.
        {"2026-10-25T02:30", kFallBackUtc - 1800, "2026-10-25 02:30:00"},
        // The hour the clock skips: where the clock goes on, shown as given.
        {"2026-03-29 02:30", kSpringForwardUtc, "2026-03-29 02:30:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<TimeArgument> time = ParseTimeArgument(c.text);
        ASSERT_TRUE(time);
        EXPECT_EQ(time->seconds, c.utc);
        EXPECT_EQ(FormatLocalDateTime(time->local), c.shown);
    }
    for (const char* wrong : {"", "yesterday", "-1", "1234567890123", "17966484OO", "2026-02-29 10:00",
                              "2026-12-07 24:00", "2026-12-07 14", "2026-12-07 14:00Z", "07.12.2026 14:00",
                              "1969-12-31 23:00"})
        EXPECT_FALSE(ParseTimeArgument(wrong)) << wrong;
}

} // namespace
} // namespace vistrel
