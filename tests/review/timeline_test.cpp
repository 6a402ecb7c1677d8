// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/archive_index.h"
#include "review/playback.h"
#include "review/timeline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <numeric>

namespace vistrel {
namespace {

// Summer time in Berlin ends on 2026-10-25 at 01:00 UTC (03:00 CEST becomes
// 02:00 CET) and begins on 2026-03-29 at 01:00 UTC (02:00 CET becomes 03:00 CEST).
constexpr int64_t kFallBackUtc = 1792890000;
constexpr int64_t kSpringForwardUtc = 1774746000;

class BerlinTime : public testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("TZ");
        oldTz_ = old ? old : "";
        hadTz_ = old != nullptr;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override
    {
        if (hadTz_)
            setenv("TZ", oldTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static ArchiveIndex IndexOf(std::vector<ArchiveKey> keys)
    {
        std::vector<ArchiveImage> images;
        for (const ArchiveKey& key : keys)
            images.push_back({key, 1000});
        std::sort(images.begin(), images.end());
        return ArchiveIndex(std::move(images), ArchiveIndex::State::Ready);
    }

private:
    std::string oldTz_;
    bool hadTz_ = false;
};

TEST_F(BerlinTime, NamesGiveTheLocalTimeOfTheirSave)
{
    struct Case {
        const char* name;
        const char* local; // empty: not an image of camera 1A
        uint32_t sequence;
    };
    const Case cases[] = {
        {"17966484000-Cam1A.jpg", "2026-12-07 14:00:00", 0},
        {"179664840012-Cam1A.jpg", "2026-12-07 14:00:00", 12}, // the 13th image of that second
        // The hour the clock repeats: its first and second pass are told apart.
        {"17928882000-Cam1A.jpg", "2026-10-25 02:30:00", 0},
        {"17928918000-Cam1A.jpg", "2026-10-25 02:30:00", 0},
        {"17747460000-Cam1A.jpg", "2026-03-29 03:00:00", 0},
        {"17966484000-Cam1B.jpg", "", 0},
        {"017966484000-Cam1A.jpg", "", 0},
        {"1796648400x-Cam1A.jpg", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<ArchiveKey> key = ParseArchiveName(c.name, "-Cam1A.jpg");
        ASSERT_EQ(key.has_value(), *c.local != '\0');
        if (!key)
            continue;
        EXPECT_EQ(FormatLocalTime(key->seconds), c.local);
        EXPECT_EQ(key->sequence, c.sequence);
        EXPECT_EQ(ArchiveImageName(*key, "-Cam1A.jpg"), c.name);
    }
}

TEST_F(BerlinTime, LocalTimesNameTheirFirstInstantAcrossSummerTime)
{
    struct Case {
        const char* text;
        int64_t utc;
    };
    const Case cases[] = {
        {"2026-12-07 14:00", 1796648400},
        {"2026-10-25 02:30", kFallBackUtc - 1800}, // passed twice: the first time
        {"2026-10-25 03:00", kFallBackUtc + 3600},
        {"2026-03-29 02:30", kSpringForwardUtc},   // skipped: where the clock goes on
        {"2026-03-29 03:00:00", kSpringForwardUtc},
        {"2026-03-29T01:59:59", kSpringForwardUtc - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<LocalDateTime> local = ParseLocalDateTime(c.text);
        ASSERT_TRUE(local);
        EXPECT_EQ(InstantOf(*local), c.utc);
    }
    for (const char* wrong : {"2026-02-29 10:00", "2026-12-07 24:00", "2026-12-07 14", "07.12.2026 14:00", ""})
        EXPECT_FALSE(ParseLocalDateTime(wrong)) << wrong;
}

TEST_F(BerlinTime, TicksFollowTheClockThroughSummerTimeEnding)
{
    // Six-hour marks on the long day: 7 real hours from midnight to 06:00.
    TimelineView day{(kFallBackUtc - 3 * 3600) * 1000, 25LL * 3600 * 1000};
    std::vector<std::string> labels;
    std::vector<int64_t> at;
    for (const TimelineTick& tick : TimelineTicks(day, 400, 60)) {
        labels.push_back(tick.label);
        at.push_back(tick.seconds);
    }
    ASSERT_GE(labels.size(), 4u);
    EXPECT_EQ(labels[0], "Sun 25 Oct");
    EXPECT_EQ(labels[1], "06:00");
    EXPECT_EQ(labels[2], "12:00");
    EXPECT_EQ(at[1] - at[0], 7 * 3600);
    EXPECT_EQ(at[2] - at[1], 6 * 3600);

    // Ten-minute marks across the change: the repeated hour is marked twice.
    TimelineView hours{(kFallBackUtc - 1800) * 1000, 2LL * 3600 * 1000};
    labels.clear();
    for (const TimelineTick& tick : TimelineTicks(hours, 1200, 60))
        labels.push_back(tick.label);
    EXPECT_EQ(std::count(labels.begin(), labels.end(), "02:40"), 2);
    EXPECT_EQ(std::count(labels.begin(), labels.end(), "03:00"), 1);

    // Day marks: 25 hours from that midnight to the next.
    TimelineView week{(kFallBackUtc - 3 * 86400) * 1000, 7LL * 86400 * 1000};
    const std::vector<TimelineTick> days = TimelineTicks(week, 700, 60);
    const auto sunday = std::find_if(days.begin(), days.end(), [](const TimelineTick& t) { return t.label == "Sun 25 Oct"; });
    ASSERT_TRUE(sunday != days.end() && sunday + 1 != days.end());
    EXPECT_EQ((sunday + 1)->seconds - sunday->seconds, 25 * 3600);
}

TEST_F(BerlinTime, ColumnsCountImagesAndLeaveGapsEmpty)
{
    // A minute of one image a second at 14:00, then four a second at 14:30.
    const uint32_t t0 = 1796648400;
    std::vector<ArchiveKey> keys;
    for (uint32_t s = 0; s < 60; ++s)
        keys.push_back({t0 + s, 0});
    for (uint32_t q = 0; q < 4; ++q)
        keys.push_back({t0 + 1800, q});
    const ArchiveIndex index = IndexOf(keys);

    const TimelineView hour{int64_t(t0) * 1000, 3600LL * 1000};
    const std::vector<uint32_t> counts = ColumnCounts(index, hour, 60); // a minute a column
    EXPECT_EQ(counts[0], 60u);
    EXPECT_EQ(counts[30], 4u);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0u), 64u);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 0u), 58);

    // The four images of one second are spread over it, in order.
    const size_t first = index.LowerBound({t0 + 1800, 0});
    for (size_t q = 0; q < 4; ++q)
        EXPECT_EQ(index.TimeMs(first + q), int64_t(t0 + 1800) * 1000 + int64_t(q) * 250);
    const auto [from, to] = index.Range(int64_t(t0 + 1800) * 1000 + 250, int64_t(t0 + 1800) * 1000 + 750);
    EXPECT_EQ(to - from, 2u);
}

TEST(TimelineViewTest, ZoomKeepsTheAnchorAndStaysWithinAMinuteAndAMonth)
{
    const TimelineView hour{1'000'000'000'000, 3600'000};
    const int64_t anchor = hour.startMs + 900'000; // a quarter in
    const TimelineView closer = hour.Zoomed(0.5, anchor);
    EXPECT_EQ(closer.spanMs, 1800'000);
    EXPECT_NEAR(closer.ToX(anchor, 800), hour.ToX(anchor, 800), 0.5);

    EXPECT_EQ(hour.Zoomed(1e-6, anchor).spanMs, TimelineView::kMinSpanMs);
    EXPECT_EQ(hour.Zoomed(1e6, anchor).spanMs, TimelineView::kMaxSpanMs);
}

TEST(PlaybackPacerTest, KeepsTheRecordedPaceAndShortensLongGaps)
{
    // Ten images a second apart, an hour of nothing, ten more.
    std::vector<ArchiveImage> images;
    for (uint32_t s = 0; s < 10; ++s)
        images.push_back({{1000 + s, 0}, 1});
    for (uint32_t s = 0; s < 10; ++s)
        images.push_back({{1000 + 3600 + s, 0}, 1});
    const ArchiveIndex index(images, ArchiveIndex::State::Ready);

    struct Case {
        int speed;
        int64_t elapsedMs;
        size_t shown;
    };
    const Case cases[] = {
        {1, 999, 0},  {1, 1000, 1}, {1, 9000, 9},
        {1, 10000, 10}, // the hour's gap passes in a second
        {8, 1000, 8},   {64, 1134, 9}, {64, 1135, 10}, {64, 1150, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.speed << "x after " << c.elapsedMs << " ms");
        PlaybackPacer pacer;
        pacer.SetSpeed(c.speed, 0);
        pacer.Start(0, 0);
        bool atEnd = false;
        EXPECT_EQ(pacer.Advance(index, index.size(), c.elapsedMs, atEnd), c.shown);
        EXPECT_FALSE(atEnd);
    }

    // The end of a range is held, and reported once its time is up.
    PlaybackPacer pacer;
    pacer.Start(0, 0);
    bool atEnd = false;
    EXPECT_EQ(pacer.Advance(index, 3, 2500, atEnd), 2u);
    EXPECT_FALSE(atEnd);
    EXPECT_EQ(pacer.Advance(index, 3, 3000, atEnd), 2u);
    EXPECT_TRUE(atEnd);
}

} // namespace
} // namespace vistrel
