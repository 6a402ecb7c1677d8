// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/text_format.h"

#include <gtest/gtest.h>

#include <string>

namespace vistrel {
namespace {

// Texts of any length: a path or a reason may be longer than any buffer.
TEST(StringPrintf, WritesTheWholeText)
{
    const std::string path(5000, 'p');
    EXPECT_EQ(StringPrintf("cannot save %s: %d", path.c_str(), 28), "cannot save " + path + ": 28");
    EXPECT_EQ(StringPrintf("%s", ""), "");
}

TEST(FormatSize, SwitchesUnitAtOneThousandOfTheSmallerOne)
{
    const struct {
        double bytes;
        const char* text;
    } cases[] = {
        {0, "0.00 KB"},
        {-5000, "0.00 KB"},
        {1023, "1.00 KB"},
        {1022976, "999.00 KB"},      // 999 KB: still KB
        {1024000, "0.98 MB"},        // 1000 KB: MB already
        {1500000, "1.43 MB"},
        {1000.0 * 1024 * 1024, "0.98 GB"},
        {999.0 * 1024 * 1024 * 1024, "999.00 GB"},
        {1000.0 * 1024 * 1024 * 1024, "0.98 TB"},
        {5.0 * 1024 * 1024 * 1024 * 1024 * 1024, "5120.00 TB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(FormatDuration, SplitsTheCoveredPeriod)
{
    const struct {
        int32_t intervalMs;
        int32_t images;
        const char* text;
    } cases[] = {
        {1000, 0, "0days 0hr 0min 0sec"},
        {1000, 300, "0days 0hr 5min 0sec"},
        {1000, 90061, "1days 1hr 1min 1sec"},
        {333, 901, "0days 0hr 5min 0sec"},  // 300.03 s
        {100, 36000, "0days 1hr 0min 0sec"},
        {1000, 86399, "0days 23hr 59min 59sec"},
        {60000, 1440 * 30, "30days 0hr 0min 0sec"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatDuration(c.intervalMs, c.images), c.text) << c.intervalMs << " x " << c.images;
}

} // namespace
} // namespace vistrel
