// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/archive_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vistrel {
namespace {

// Every name the image thread writes reads back as the time and number it
// was made from, a clock that started at 1970 included.
TEST(ArchiveName, ReadsBackTheTimeAndNumberItWasMadeFrom)
{
    const struct {
        uint32_t time;
        uint32_t number;
    } cases[] = {
        {1700000000, 0}, {1700000000, 9}, {1700000000, 10}, {1700000000, 4000000000u}, {UINT32_MAX, 7},
        {1000000000, 0}, {1000000000, 12}, // the first second of ten digits
        {999999999, 0}, {999999999, 9}, {100000, 0}, {100000, 9}, {5, 3}, {0, 0}, // before it
    };
    for (const auto& c : cases) {
        const std::string name = ArchiveFileName(c.time, c.number, 1, 0);
        const ArchiveStamp stamp = ArchiveNameStamp(name);
        EXPECT_TRUE(stamp.Valid()) << name;
        EXPECT_EQ(stamp.seconds, c.time) << name;
        EXPECT_EQ(stamp.sequence, c.number) << name;
    }
    EXPECT_EQ(ArchiveFileName(100000, 9, 12, 7), "1000009-Cam12H.jpg");

    // Before 2001 the eleventh image of a second reads as a later second.
    EXPECT_EQ(ArchiveNameStamp(ArchiveFileName(100000, 10, 1, 0)), ArchiveStamp(1000001, 0));
    // Six digits of time and its number sort after five digits of time and theirs.
    EXPECT_LT(ArchiveNameStamp("999990-Cam1A.jpg"), ArchiveNameStamp("1000000-Cam1A.jpg"));
    // Names that carry no stamp order before every stamp, the one of second 0 included.
    for (const char* name : {"-Cam1A.jpg", "7-Cam1A.jpg", "x17000000000-Cam1A.jpg", "99999999990-Cam1A.jpg"}) {
        EXPECT_FALSE(ArchiveNameStamp(name).Valid()) << name;
        EXPECT_LT(ArchiveNameStamp(name), ArchiveNameStamp("00-Cam1A.jpg")) << name;
    }
}

} // namespace
} // namespace vistrel
