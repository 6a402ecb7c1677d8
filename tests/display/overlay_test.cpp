// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/overlay.h"

#include "display/picture_box.h"
#include "support/frame_pixels.h"

#include <gtest/gtest.h>

#include <QFontMetrics>

#include <clocale>
#include <cstring>
#include <limits>
#include <string>

namespace vistrel {
namespace {

using test::changedBox;
using test::readPixel;
using test::solidFrame;

// The German locale (CTest makes it under LOCPATH) as the process's locale
// for the object's life, as QApplication installs the desktop's. Each of its
// time formats differs from the "C" locale's: "15:04:05" without AM/PM,
// "Sonntag", "03.03.2024".
class GermanDesktopLocale {
public:
    GermanDesktopLocale()
        : saved_(std::setlocale(LC_ALL, nullptr))
        , installed_(std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr)
    {
    }
    ~GermanDesktopLocale() { std::setlocale(LC_ALL, saved_.c_str()); }
    bool installed() const { return installed_; }

private:
    std::string saved_;
    bool installed_;
};

std::time_t localTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// The C runtime's default formats, whatever the desktop's locale.
TEST(ExpandOverlayText, ReplacesTokensWithLocalTime)
{
    GermanDesktopLocale locale;
    ASSERT_TRUE(locale.installed()) << "no de_DE.UTF-8 (CTest makes it under LOCPATH)";
    const std::time_t sundayAfternoon = localTime(2024, 3, 3, 15, 4, 5);
    const std::time_t morning = localTime(2023, 12, 25, 9, 8, 7); // a Monday
    const std::time_t midnight = localTime(2024, 1, 6, 0, 0, 0);  // a Saturday
    struct Case {
        std::string text;
        std::time_t now;
        std::string expected;
    } cases[] = {
        { "%t %w %d", sundayAfternoon, "03:04:05PM Sunday 03/03/24" },
        { "%t|%t", sundayAfternoon, "03:04:05PM|03:04:05PM" },
        { "%w%w", morning, "MondayMonday" },
        { "Cam A %t", morning, "Cam A 09:08:07AM" },
        { "%t", midnight, "12:00:00AM" },
        { "%d %w", midnight, "01/06/24 Saturday" },
        { "100%", sundayAfternoon, "100%" },
        { "%", sundayAfternoon, "%" },
        { "%x %y %T %%", sundayAfternoon, "%x %y %T %%" },
        // Plain replacement: the first "%" of "%%t" stays, the second starts the token.
        { "%%t", sundayAfternoon, "%03:04:05PM" },
        { "", sundayAfternoon, "" },
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExpandOverlayText(c.text, c.now), c.expected) << '"' << c.text << '"';
}

TEST(ExpandOverlayText, UnconvertibleTimeGivesInvalidDateTime)
{
    const std::time_t far = std::numeric_limits<std::time_t>::max();
    EXPECT_EQ(ExpandOverlayText("%t %w %d!", far), "Invalid DateTime Invalid DateTime Invalid DateTime!");
    EXPECT_EQ(ExpandOverlayText("no tokens", far), "no tokens");
}

TEST(OverlayAlignment, HalvesRoundTowardZero)
{
    EXPECT_EQ(AlignHorizontal("CENTER", 101, 50), 25);
    EXPECT_EQ(AlignHorizontal("CENTER", 100, 103), -1); // -3 / 2
    EXPECT_EQ(AlignHorizontal("RIGHT", 100, 103), -3);
    EXPECT_EQ(AlignVertical("CENTER", 10, 13), -1);
    EXPECT_EQ(AlignVertical("center", 100, 10), 0); // exact texts only
    EXPECT_EQ(AlignHorizontal("TOP", 100, 10), 0);
}

constexpr QRgb kFrameColour = qRgb(96, 96, 96);
constexpr QRgb kText = qRgb(0, 0, 0);
constexpr QRgb kBack = qRgb(248, 248, 248); // exact in 5-5-5 and grey too

uint32_t word(QRgb c) { return Rgb(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))); }

// A pane with a fixed overlay text (no clock tokens), so sizes are exact.
class OverlayDrawing : public testing::Test {
protected:
    OverlaySettings settings(const std::string& horz, const std::string& vert, int effect) const
    {
        OverlaySettings s;
        s.text = text_;
        s.horz = horz;
        s.vert = vert;
        s.effect = effect;
        s.textColor = word(kText);
        s.backgroundColor = word(kBack);
        s.enabled = true;
        return s;
    }
    QSize textSize() const
    {
        const QFontMetrics metrics(ToQFont(DefaultOverlayFont()));
        return { metrics.horizontalAdvance(QString::fromStdString(text_)), metrics.height() };
    }
    // Draws with the given settings on a copy of `frame`, returns the copy.
    std::unique_ptr<Frame> draw(const Frame& frame, const OverlaySettings& s)
    {
        pane_.SetOverlaySettings(s);
        auto drawn = frame.Clone();
        pane_.DrawOverlay(*drawn);
        return drawn;
    }

    std::string text_ = "Cam A 12:34 Wg";
    CPictureBoxEx pane_;
};

TEST_F(OverlayDrawing, SolidBoxFollowsTheAlignment)
{
    const auto frame = solidFrame(320, 240, 24, kFrameColour);
    const QSize size = textSize();
    ASSERT_GT(size.width(), 20);
    ASSERT_LT(size.width(), 320);
    const int cx = size.width(), cy = size.height();
    struct Case {
        const char* horz;
        const char* vert;
        QPoint topLeft;
    } cases[] = {
        { "LEFT", "TOP", { 0, 0 } },
        { "CENTER", "TOP", { (320 - cx) / 2, 0 } },
        { "RIGHT", "TOP", { 320 - cx, 0 } },
        { "LEFT", "CENTER", { 0, (240 - cy) / 2 } },
        { "CENTER", "CENTER", { (320 - cx) / 2, (240 - cy) / 2 } },
        { "RIGHT", "CENTER", { 320 - cx, (240 - cy) / 2 } },
        { "LEFT", "BOTTOM", { 0, 240 - cy } },
        { "CENTER", "BOTTOM", { (320 - cx) / 2, 240 - cy } },
        { "RIGHT", "BOTTOM", { 320 - cx, 240 - cy } },
        { "MIDDLE", "", { 0, 0 } },
    };
    for (const Case& c : cases) {
        const auto drawn = draw(*frame, settings(c.horz, c.vert, 0));
        EXPECT_EQ(changedBox(*frame, *drawn), QRect(c.topLeft, size)) << c.horz << " " << c.vert;
    }
    const auto corner = draw(*frame, settings("RIGHT", "BOTTOM", 0));
    EXPECT_EQ(changedBox(*frame, *corner).bottomRight(), QPoint(319, 239));
}

TEST_F(OverlayDrawing, SolidDrawsTextOnABoxOfTheBackgroundColour)
{
    const auto frame = solidFrame(320, 240, 24, kFrameColour);
    for (const int effect : { 0, -1, 4 }) { // values outside the list draw like Solid
        const auto drawn = draw(*frame, settings("CENTER", "CENTER", effect));
        const QRect box = changedBox(*frame, *drawn);
        ASSERT_EQ(box.size(), textSize()) << effect;
        int text = 0, back = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x) {
                const QRgb c = readPixel(*drawn, x, y);
                ASSERT_TRUE(c == kText || c == kBack) << effect << " at " << x << "," << y;
                (c == kText ? text : back)++;
            }
        EXPECT_GT(text, 20) << effect;
        EXPECT_GT(back, text) << effect;
    }
}

// For every text pixel, walks in each direction to the first pixel that is
// not text and records whether it was in the background colour always,
// sometimes or never.
struct Edges {
    bool alwaysBack[4] = { true, true, true, true };
    bool everBack[4] = {};
};
Edges edgesAroundText(const Frame& f)
{
    static constexpr QPoint steps[4] = { { 0, 1 }, { 1, 0 }, { 0, -1 }, { -1, 0 } };
    Edges edges;
    for (int y = 0; y < f.height(); ++y)
        for (int x = 0; x < f.width(); ++x) {
            if (readPixel(f, x, y) != kText)
                continue;
            for (int d = 0; d < 4; ++d) {
                QPoint p(x, y);
                do
                    p += steps[d];
                while (QRect(0, 0, f.width(), f.height()).contains(p) && readPixel(f, p.x(), p.y()) == kText);
                if (!QRect(0, 0, f.width(), f.height()).contains(p))
                    continue;
                const bool back = readPixel(f, p.x(), p.y()) == kBack;
                edges.alwaysBack[d] &= back;
                edges.everBack[d] |= back;
            }
        }
    return edges;
}

TEST_F(OverlayDrawing, EffectsOutlineTheTextInTheBackgroundColour)
{
    const auto frame = solidFrame(320, 240, 24, kFrameColour);
    const QSize size = textSize();
    const QRect box(QPoint((320 - size.width()) / 2, (240 - size.height()) / 2), size);
    enum { Below, Right, Above, Left };

    const auto transparent = draw(*frame, settings("CENTER", "CENTER", 1));
    EXPECT_TRUE(box.contains(changedBox(*frame, *transparent)));
    for (const bool ever : edgesAroundText(*transparent).everBack)
        EXPECT_FALSE(ever);

    const auto shadow = draw(*frame, settings("CENTER", "CENTER", 2));
    EXPECT_TRUE(box.adjusted(0, 0, 1, 1).contains(changedBox(*frame, *shadow)));
    const Edges shadowEdges = edgesAroundText(*shadow);
    EXPECT_TRUE(shadowEdges.alwaysBack[Below]);
    EXPECT_TRUE(shadowEdges.alwaysBack[Right]);
    EXPECT_FALSE(shadowEdges.alwaysBack[Above]); // no box: the frame shows above
    EXPECT_FALSE(shadowEdges.alwaysBack[Left]);

    const auto outline = draw(*frame, settings("CENTER", "CENTER", 3));
    EXPECT_TRUE(box.adjusted(-1, -1, 1, 1).contains(changedBox(*frame, *outline)));
    const Edges outlineEdges = edgesAroundText(*outline);
    for (const bool always : outlineEdges.alwaysBack)
        EXPECT_TRUE(always);
    // Without a box, the frame colour still surrounds the outline.
    int frameInBox = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            frameInBox += readPixel(*outline, x, y) == kFrameColour;
    EXPECT_GT(frameInBox, 0);
}

TEST_F(OverlayDrawing, EffectsAtThePictureEdgesStayInsideIt)
{
    const auto frame = solidFrame(320, 240, 24, kFrameColour);
    const QSize size = textSize();
    const QRect picture(0, 0, 320, 240);
    for (const int effect : { 2, 3 }) {
        const auto corner = draw(*frame, settings("RIGHT", "BOTTOM", effect));
        const QRect box(QPoint(320 - size.width(), 240 - size.height()), size);
        const QRect changed = changedBox(*frame, *corner);
        EXPECT_FALSE(changed.isEmpty()) << effect;
        EXPECT_TRUE((box.adjusted(-1, -1, 1, 1) & picture).contains(changed)) << effect;

        const auto origin = draw(*frame, settings("LEFT", "TOP", effect));
        EXPECT_TRUE(QRect(QPoint(0, 0), size + QSize(1, 1)).contains(changedBox(*frame, *origin))) << effect;
    }
}

TEST_F(OverlayDrawing, DisabledOverlayLeavesEveryByte)
{
    for (const int bits : { 8, 16, 24, 32 }) {
        const auto frame = solidFrame(64, 48, bits, kFrameColour);
        OverlaySettings s = settings("CENTER", "CENTER", 0);
        s.enabled = false;
        EXPECT_TRUE(test::sameBytes(*frame, *draw(*frame, s))) << bits;
    }
}

TEST_F(OverlayDrawing, EveryDepthGetsTheSameBoxAndExactColours)
{
    const QSize size = textSize();
    for (const int bits : { 8, 16, 24, 32 }) {
        const auto frame = solidFrame(200, 100, bits, kFrameColour);
        const auto drawn = draw(*frame, settings("RIGHT", "BOTTOM", 0));
        const QRect box = changedBox(*frame, *drawn);
        EXPECT_EQ(box, QRect(QPoint(200 - size.width(), 100 - size.height()), size)) << bits;
        int text = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x) {
                const QRgb c = readPixel(*drawn, x, y);
                ASSERT_TRUE(c == kText || c == kBack) << bits << " at " << x << "," << y;
                text += c == kText;
            }
        EXPECT_GT(text, 20) << bits;
        // Outside the box every byte is as before.
        auto outside = drawn->Clone();
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                test::writePixel(*outside, x, y, kFrameColour);
        EXPECT_TRUE(test::sameBytes(*frame, *outside)) << bits;
    }
}

TEST_F(OverlayDrawing, EveryDepthDrawsTheSameUprightText)
{
    // Grey frames go through a colour patch, the others through one of their
    // own format; all must give the same glyphs, the right way up.
    const auto grey = solidFrame(200, 100, 8, kFrameColour);
    const auto drawnGrey = draw(*grey, settings("CENTER", "CENTER", 1));
    for (const int bits : { 16, 24, 32 }) {
        const auto frame = solidFrame(200, 100, bits, kFrameColour);
        const auto drawn = draw(*frame, settings("CENTER", "CENTER", 1));
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 200; ++x)
                ASSERT_EQ(readPixel(*drawn, x, y) == kText, readPixel(*drawnGrey, x, y) == kText)
                    << bits << " bit at " << x << "," << y;
    }
    // Upright: an underscore's ink lies in the lower half of the text box.
    text_ = "____";
    const auto line = draw(*grey, settings("LEFT", "TOP", 1));
    const QRect ink = changedBox(*grey, *line);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_GT(ink.top(), textSize().height() / 2);
}

TEST_F(OverlayDrawing, GreyFramesTakeTheGreyOfTheColours)
{
    const auto frame = solidFrame(200, 100, 8, qRgb(50, 50, 50));
    OverlaySettings s = settings("LEFT", "TOP", 0);
    s.textColor = Rgb(255, 0, 0);
    s.backgroundColor = Rgb(0, 0, 255);
    const auto drawn = draw(*frame, s);
    const int red = qGray(255, 0, 0), blue = qGray(0, 0, 255);
    int reds = 0, blues = 0;
    for (int y = 0; y < textSize().height(); ++y)
        for (int x = 0; x < textSize().width(); ++x) {
            const int grey = qRed(readPixel(*drawn, x, y));
            ASSERT_TRUE(grey == red || grey == blue) << grey;
            (grey == red ? reds : blues)++;
        }
    EXPECT_GT(reds, 0);
    EXPECT_GT(blues, reds);
}

TEST_F(OverlayDrawing, PortraitFrameAlignsToItsOwnSize)
{
    const QSize size = textSize();
    const auto portrait = solidFrame(120, 160, 24, kFrameColour);
    const auto corner = draw(*portrait, settings("RIGHT", "BOTTOM", 0));
    EXPECT_EQ(changedBox(*portrait, *corner), QRect(QPoint(120 - size.width(), 160 - size.height()), size));
    const auto centre = draw(*portrait, settings("CENTER", "CENTER", 0));
    EXPECT_EQ(changedBox(*portrait, *centre).topLeft(), QPoint((120 - size.width()) / 2, (160 - size.height()) / 2));
}

TEST_F(OverlayDrawing, TextWiderThanThePictureIsClipped)
{
    const QSize size = textSize();
    const int width = size.width() - 11; // odd overhang: the half rounds toward zero
    const auto narrow = solidFrame(width, 40, 24, kFrameColour);
    for (const char* horz : { "CENTER", "RIGHT" }) {
        const auto drawn = draw(*narrow, settings(horz, "TOP", 0));
        EXPECT_EQ(changedBox(*narrow, *drawn), QRect(0, 0, width, size.height())) << horz;
    }
    // Centred, -11 / 2 = -5: the box starts 5 pixels left of the picture, so
    // the clipped text matches a wide picture's columns 5 and on.
    const auto wide = solidFrame(size.width() + 20, 40, 24, kFrameColour);
    const auto reference = draw(*wide, settings("LEFT", "TOP", 0));
    const auto clipped = draw(*narrow, settings("CENTER", "TOP", 0));
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(readPixel(*clipped, x, y), readPixel(*reference, x + 5, y)) << x << "," << y;
}

// Italic glyphs lean past their advance: the leaning part is drawn, not cut
// at the text's box.
TEST_F(OverlayDrawing, GlyphsReachingPastTheirAdvanceAreDrawnWhole)
{
    text_ = "ff";
    OverlaySettings s = settings("CENTER", "CENTER", 1);
    s.font.lfHeight = -40;
    s.font.lfItalic = 1;
    std::strncpy(s.font.lfFaceName, "DejaVu Serif", sizeof(s.font.lfFaceName) - 1);
    const QFontMetrics metrics(ToQFont(s.font));
    const int advance = metrics.horizontalAdvance(QString::fromStdString(text_));
    ASSERT_GT(metrics.boundingRect(QString::fromStdString(text_)).right(), advance)
        << "the font leans too little (DejaVu Serif Italic: Debian package fonts-dejavu-extra)";

    const auto frame = solidFrame(320, 240, 24, kFrameColour);
    const auto drawn = draw(*frame, s);
    const QRect box((320 - advance) / 2, (240 - metrics.height()) / 2, advance, metrics.height());
    EXPECT_GT(changedBox(*frame, *drawn).right(), box.right());
}

TEST_F(OverlayDrawing, MalformedFramesAreLeftAlone)
{
    // A header that claims more pixels than the block holds.
    auto shortFrame = Frame::Allocate(100 * 50 * 3 - 1);
    shortFrame->header.bmi.biWidth = 100;
    shortFrame->header.bmi.biHeight = 50;
    shortFrame->header.bmi.biBitCount = 24;
    std::memset(shortFrame->data(), 7, shortFrame->size());
    auto compressed = solidFrame(100, 50, 24, kFrameColour);
    compressed->header.bmi.biCompression = 1;
    auto oddDepth = Frame::Create(10, 10, 24);
    oddDepth->header.bmi.biBitCount = 12;
    for (Frame* frame : { shortFrame.get(), compressed.get(), oddDepth.get() }) {
        const auto before = frame->Clone();
        pane_.SetOverlaySettings(settings("CENTER", "CENTER", 0));
        pane_.DrawOverlay(*frame);
        EXPECT_TRUE(test::sameBytes(*before, *frame));
    }
}

TEST_F(OverlayDrawing, ClockTokensAreDrawnAtTheGivenTime)
{
    text_ = "%t";
    const auto frame = solidFrame(320, 240, 24, kFrameColour);
    const std::time_t now = localTime(2024, 3, 3, 15, 4, 5);
    OverlaySettings s = settings("LEFT", "TOP", 0);
    pane_.SetOverlaySettings(s);
    auto withToken = frame->Clone();
    pane_.DrawOverlay(*withToken, now);
    s.text = "03:04:05PM";
    pane_.SetOverlaySettings(s);
    auto literal = frame->Clone();
    pane_.DrawOverlay(*literal, now);
    EXPECT_FALSE(test::sameBytes(*frame, *literal)) << "nothing was drawn";
    EXPECT_TRUE(test::sameBytes(*withToken, *literal));

    // Another second is another picture.
    s.text = text_;
    pane_.SetOverlaySettings(s);
    auto later = frame->Clone();
    pane_.DrawOverlay(*later, now + 1);
    EXPECT_FALSE(test::sameBytes(*withToken, *later));
}

} // namespace
} // namespace vistrel
