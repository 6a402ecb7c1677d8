// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/logfont.h"

#include <gtest/gtest.h>

#include <QFontMetrics>

#include <climits>
#include <cstring>

namespace vistrel {
namespace {

LOGFONTA Record(int32_t height, int32_t weight, const char* face)
{
    LOGFONTA lf;
    lf.lfHeight = height;
    lf.lfWeight = weight;
    std::strncpy(lf.lfFaceName, face, sizeof(lf.lfFaceName));
    return lf;
}

TEST(LogFont, HeightFollowsBothSignConventions)
{
    // Negative: the character height in pixels.
    EXPECT_EQ(ToQFont(Record(-24, 400, "DejaVu Sans")).pixelSize(), 24);
    // Positive: the whole cell, so the font drawn is no taller than asked.
    for (int cell : {8, 13, 40}) {
        const QFont font = ToQFont(Record(cell, 400, "DejaVu Sans"));
        EXPECT_GT(font.pixelSize(), 0) << cell;
        EXPECT_LE(font.pixelSize(), cell) << cell;
        EXPECT_LE(QFontMetrics(font).height(), cell + 1) << cell;
    }
    // Zero is a default size, and heights from a damaged record stay usable.
    EXPECT_GT(ToQFont(Record(0, 400, "DejaVu Sans")).pixelSize(), 0);
    for (int32_t height : {INT_MIN, INT_MIN + 1, INT_MAX}) {
        const int pixels = ToQFont(Record(height, 400, "DejaVu Sans")).pixelSize();
        EXPECT_GT(pixels, 0) << height;
        EXPECT_LE(pixels, 4096) << height;
    }
}

TEST(LogFont, WeightStyleAndFaceCarryOver)
{
    LOGFONTA lf = Record(-16, 700, "DejaVu Serif");
    lf.lfItalic = 1;
    lf.lfUnderline = 1;
    lf.lfStrikeOut = 1;
    const QFont font = ToQFont(lf);
    EXPECT_EQ(font.family(), "DejaVu Serif");
    EXPECT_EQ(font.weight(), QFont::Bold);
    EXPECT_TRUE(font.italic());
    EXPECT_TRUE(font.underline());
    EXPECT_TRUE(font.strikeOut());

    EXPECT_EQ(ToQFont(Record(-16, 0, "x")).weight(), QFont::Normal); // "don't care"
    EXPECT_EQ(ToQFont(Record(-16, 5000, "x")).weight(), 1000);
    EXPECT_FALSE(ToQFont(Record(-16, 400, "x")).italic());

    // A face name that fills all 32 bytes has no terminating zero.
    LOGFONTA full = Record(-16, 400, "");
    std::memset(full.lfFaceName, 'F', sizeof(full.lfFaceName));
    EXPECT_EQ(ToQFont(full).family(), QString(32, 'F'));
}

TEST(LogFont, RecordOfAQFont)
{
    QFont font("DejaVu Sans Mono");
    font.setPixelSize(18);
    font.setWeight(QFont::DemiBold);
    font.setItalic(true);
    font.setStrikeOut(true);
    const LOGFONTA lf = FromQFont(font);
    EXPECT_EQ(lf.lfHeight, -18);
    EXPECT_EQ(lf.lfWeight, 600);
    EXPECT_EQ(lf.lfItalic, 1);
    EXPECT_EQ(lf.lfUnderline, 0);
    EXPECT_EQ(lf.lfStrikeOut, 1);
    EXPECT_EQ(lf.lfCharSet, 1); // DEFAULT_CHARSET
    EXPECT_STREQ(lf.lfFaceName, "DejaVu Sans Mono");

    QFont points("DejaVu Sans");
    points.setPointSize(12);
    EXPECT_EQ(FromQFont(points).lfHeight, -16); // at 96 dots an inch
}

TEST(LogFont, LongFaceNamesAreCutWholeCharactersFirst)
{
    // 30 ASCII bytes, then two-byte characters: only 31 bytes fit.
    const QString family = QString(30, 'a') + QString::fromUtf8("\xc3\xa9\xc3\xa9");
    QFont font(family);
    font.setPixelSize(10);
    const LOGFONTA lf = FromQFont(font);
    EXPECT_EQ(std::strlen(lf.lfFaceName), 30u);
    EXPECT_EQ(lf.lfFaceName[31], '\0');

    QFont accented(QString::fromUtf8("Caf\xc3\xa9 Sans"));
    accented.setPixelSize(10);
    EXPECT_EQ(ToQFont(FromQFont(accented)).family(), accented.family());
}

TEST(LogFont, RoundTripsKeepTheFont)
{
    // Record -> QFont -> record: all that a QFont can carry.
    for (const LOGFONTA& original : {Record(-13, 700, "Verdana"), Record(-40, 300, "DejaVu Sans")}) {
        LOGFONTA lf = original;
        lf.lfUnderline = 1;
        const LOGFONTA back = FromQFont(ToQFont(lf));
        EXPECT_EQ(back.lfHeight, lf.lfHeight);
        EXPECT_EQ(back.lfWeight, lf.lfWeight);
        EXPECT_EQ(back.lfItalic, lf.lfItalic);
        EXPECT_EQ(back.lfUnderline, lf.lfUnderline);
        EXPECT_EQ(back.lfStrikeOut, lf.lfStrikeOut);
        EXPECT_STREQ(back.lfFaceName, lf.lfFaceName);
    }
    // QFont -> record -> QFont.
    QFont font("DejaVu Serif");
    font.setPixelSize(27);
    font.setWeight(QFont::Black);
    font.setUnderline(true);
    const QFont back = ToQFont(FromQFont(font));
    EXPECT_EQ(back.family(), font.family());
    EXPECT_EQ(back.pixelSize(), font.pixelSize());
    EXPECT_EQ(back.weight(), font.weight());
    EXPECT_EQ(back.italic(), font.italic());
    EXPECT_EQ(back.underline(), font.underline());
    EXPECT_EQ(back.strikeOut(), font.strikeOut());
}

} // namespace
} // namespace vistrel
