// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/label_progress_ctrl.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>

#include <memory>

namespace vistrel {
namespace {

constexpr QRgb kBar = qRgb(0, 0, 200);
constexpr QRgb kBack = qRgb(255, 255, 255);

uint32_t word(QRgb c) { return uint32_t(qRed(c)) | uint32_t(qGreen(c)) << 8 | uint32_t(qBlue(c)) << 16; }

// A meter of a fixed size with known colours and a font without
// antialiasing, so every rendered pixel is either the bar or the back colour.
std::unique_ptr<CLabelProgressCtrl> makeMeter(int width = 200, int height = 20)
{
    auto meter = std::make_unique<CLabelProgressCtrl>();
    meter->resize(width, height);
    QFont font = QApplication::font();
    font.setPixelSize(14);
    font.setStyleStrategy(QFont::NoAntialias);
    meter->setFont(font);
    meter->SetBarColour(word(kBar));
    meter->SetBkColour(word(kBack));
    return meter;
}

QImage render(CLabelProgressCtrl& meter)
{
    QImage image(meter.size(), QImage::Format_RGB32);
    image.fill(qRgb(1, 2, 3));
    meter.render(&image);
    return image;
}

// The caption's pixels: those that differ from the fill of their side of
// the bar. `barEnd` is the first column of the unfilled part.
QImage captionMask(const QImage& image, int barEnd)
{
    QImage mask(image.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb fill = x < barEnd ? kBar : kBack;
            mask.setPixel(x, y, image.pixel(x, y) == fill ? 0 : 255);
        }
    return mask;
}

struct Counts {
    int bar = 0, back = 0, other = 0;
};
Counts countColours(const QImage& image, QRect area)
{
    Counts counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb c = image.pixel(x, y);
            (c == kBar ? counts.bar : c == kBack ? counts.back : counts.other)++;
        }
    return counts;
}

TEST(LabelProgressCtrl, FreshControlShowsZeroPercentOnAnEmptyBar)
{
    auto fresh = makeMeter();
    EXPECT_EQ(fresh->GetPos(), 0);
    EXPECT_EQ(fresh->GetRange(true), 0);
    EXPECT_EQ(fresh->GetRange(false), 100);

    const QImage image = render(*fresh);
    const Counts counts = countColours(image, image.rect());
    EXPECT_EQ(counts.other, 0);
    // Nothing is bar-coloured except the caption's glyphs.
    EXPECT_GT(counts.bar, 0);
    EXPECT_LT(counts.bar, counts.back / 4);

    auto labelled = makeMeter();
    labelled->SetWindowText("0%");
    EXPECT_EQ(captionMask(image, 0), captionMask(render(*labelled), 0));
}

TEST(LabelProgressCtrl, CaptionIsInverseOverAndBesideTheBar)
{
    auto meter = makeMeter();
    meter->SetRange32(0, 300);
    meter->SetPos(150);
    const QImage image = render(*meter);

    const QRect left(0, 0, 100, 20), right(100, 0, 100, 20);
    const Counts overBar = countColours(image, left);
    const Counts overBack = countColours(image, right);
    EXPECT_EQ(overBar.other + overBack.other, 0);
    // Glyphs over the bar take the background colour, the rest the bar colour.
    EXPECT_GT(overBar.back, 0);
    EXPECT_GT(overBack.bar, 0);
    EXPECT_GT(overBar.bar, overBar.back);
    EXPECT_GT(overBack.back, overBack.bar);

    // The same caption as an explicit "50%", and not that of "51%".
    auto fifty = makeMeter();
    fifty->SetRange32(0, 300);
    fifty->SetPos(150);
    fifty->SetWindowText("50%");
    EXPECT_EQ(captionMask(image, 100), captionMask(render(*fifty), 100));
    fifty->SetWindowText("51%");
    EXPECT_NE(captionMask(image, 100), captionMask(render(*fifty), 100));
}

TEST(LabelProgressCtrl, PercentageIsNotClampedAboveTheRange)
{
    auto over = makeMeter();
    over->SetPos(150); // range 0..100
    auto labelled = makeMeter();
    labelled->SetPos(150);
    labelled->SetWindowText("150%");
    // The bar fills the whole control; every glyph is in the background colour.
    EXPECT_EQ(captionMask(render(*over), 200), captionMask(render(*labelled), 200));
    EXPECT_EQ(countColours(render(*over), QRect(0, 0, 200, 20)).other, 0);
}

TEST(LabelProgressCtrl, OwnTextColourReplacesTheInverseColours)
{
    auto meter = makeMeter();
    meter->SetRange32(0, 300);
    meter->SetPos(150);
    meter->SetTextColour(word(qRgb(0, 255, 0)));
    const QImage image = render(*meter);
    const Counts counts = countColours(image, image.rect());
    EXPECT_EQ(counts.bar + counts.back + counts.other, 200 * 20);
    EXPECT_GT(counts.other, 0);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 200; ++x) {
            const QRgb c = image.pixel(x, y);
            ASSERT_TRUE(c == kBar || c == kBack || c == qRgb(0, 255, 0)) << x << "," << y;
        }
}

TEST(LabelProgressCtrl, NothingIsDrawnForAnEmptyOrInvertedRange)
{
    for (const auto& [lower, upper] : { std::pair{ 50, 50 }, std::pair{ 100, 0 } }) {
        auto meter = makeMeter();
        meter->SetRange32(lower, upper);
        meter->SetPos(75); // no division by an empty range
        const QImage image = render(*meter);
        EXPECT_EQ(countColours(image, image.rect()).other, 200 * 20) << lower << ".." << upper;
    }
}

TEST(LabelProgressCtrl, VerticalBarGrowsFromTheBottomWithoutCaption)
{
    auto meter = makeMeter(20, 100);
    meter->SetVertical(true);
    meter->SetPos(30);
    const QImage image = render(*meter);
    EXPECT_EQ(countColours(image, QRect(0, 70, 20, 30)).bar, 20 * 30);
    EXPECT_EQ(countColours(image, QRect(0, 0, 20, 70)).back, 20 * 70);
}

TEST(LabelProgressCtrl, HiddenCaptionLeavesTwoPlainColours)
{
    auto meter = makeMeter();
    meter->SetShowText(false);
    meter->SetPos(25);
    const QImage image = render(*meter);
    EXPECT_EQ(countColours(image, QRect(0, 0, 50, 20)).bar, 50 * 20);
    EXPECT_EQ(countColours(image, QRect(50, 0, 150, 20)).back, 150 * 20);
}

TEST(LabelProgressCtrl, StaticEdgeFramesTheBar)
{
    auto meter = makeMeter(102, 22);
    meter->SetShowText(false);
    meter->SetStaticEdge(true);
    meter->SetPos(50);
    QPalette palette = meter->palette();
    palette.setColor(QPalette::Dark, QColor(90, 90, 90));
    palette.setColor(QPalette::Light, QColor(230, 230, 230));
    meter->setPalette(palette);
    EXPECT_EQ(meter->clientRect(), QRect(1, 1, 100, 20));
    const QImage image = render(*meter);
    EXPECT_EQ(countColours(image, QRect(1, 1, 50, 20)).bar, 50 * 20);
    EXPECT_EQ(countColours(image, QRect(51, 1, 50, 20)).back, 50 * 20);
    // Sunken: shadow on the top and left, light on the bottom and right.
    EXPECT_EQ(image.pixel(0, 10), qRgb(90, 90, 90));
    EXPECT_EQ(image.pixel(50, 0), qRgb(90, 90, 90));
    EXPECT_EQ(image.pixel(101, 10), qRgb(230, 230, 230));
    EXPECT_EQ(image.pixel(50, 21), qRgb(230, 230, 230));
}

TEST(LabelProgressCtrl, DefaultMarkerUsesThePalette)
{
    auto meter = makeMeter();
    meter->SetShowText(false);
    meter->SetPos(50);
    EXPECT_EQ(meter->SetBarColour(CLabelProgressCtrl::kDefaultColour), word(kBar));
    EXPECT_EQ(meter->SetBkColour(CLabelProgressCtrl::kDefaultColour), word(kBack));
    QPalette palette = meter->palette();
    palette.setColor(QPalette::Highlight, QColor(10, 20, 30));
    palette.setColor(QPalette::Base, QColor(40, 50, 60));
    meter->setPalette(palette);
    const QImage image = render(*meter);
    EXPECT_EQ(image.pixel(10, 10), qRgb(10, 20, 30));
    EXPECT_EQ(image.pixel(150, 10), qRgb(40, 50, 60));
}

TEST(LabelProgressCtrl, RangeAndPositionMessages)
{
    CLabelProgressCtrl meter;
    meter.SetRange(10, 60000); // unsigned words
    CLabelProgressCtrl::Range range;
    EXPECT_EQ(meter.GetRange(true, &range), 10);
    EXPECT_EQ(range.iLow, 10);
    EXPECT_EQ(range.iHigh, 60000);
    EXPECT_EQ(meter.GetRange(false), 60000);

    meter.SetRange32(-5, 5);
    EXPECT_EQ(meter.SetPos(3), 0);
    EXPECT_EQ(meter.SetStep(4), 1);
    EXPECT_EQ(meter.StepIt(), 3);
    EXPECT_EQ(meter.DeltaPos(-10), 7);
    EXPECT_EQ(meter.GetPos(), -3);
    EXPECT_EQ(meter.SetTextColour(0x123456), CLabelProgressCtrl::kDefaultColour);
    EXPECT_EQ(meter.SetTextColour(0), 0x123456u);

    meter.SetWindowText("Motion Detection Meter: 12");
    char small[8];
    EXPECT_EQ(meter.GetWindowText(small, sizeof small), 7);
    EXPECT_STREQ(small, "Motion ");
    char large[64];
    EXPECT_EQ(meter.GetWindowText(large, sizeof large), 26);
    EXPECT_STREQ(large, "Motion Detection Meter: 12");
}

// Repaints are observed on a shown control inside a shown parent, so that a
// resize reaches it at once.
class LabelProgressRepaint : public testing::Test {
protected:
    void SetUp() override
    {
        parent_.resize(300, 100);
        meter_ = new CLabelProgressCtrl(&parent_);
        meter_->setGeometry(0, 0, 100, 20);
        meter_->SetRange32(0, 1000);
        parent_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent_));
        settle();
    }
    // Delivers every pending update.
    void settle()
    {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    }
    QWidget parent_;
    CLabelProgressCtrl* meter_ = nullptr;
};

TEST_F(LabelProgressRepaint, SetPosRepaintsOnlyWhenTheBarMovesAWholePixel)
{
    int paints = meter_->paintCount();
    meter_->SetPos(100); // 10 px: repainted at once, without the event loop
    EXPECT_EQ(meter_->paintCount(), ++paints);
    meter_->SetPos(105); // still 10 px
    meter_->SetPos(109);
    EXPECT_EQ(meter_->paintCount(), paints);
    meter_->SetPos(110);
    EXPECT_EQ(meter_->paintCount(), ++paints);

    meter_->resize(100, 22); // same width, but the stored length is forgotten
    settle();
    paints = meter_->paintCount();
    meter_->SetPos(110);
    EXPECT_EQ(meter_->paintCount(), paints + 1);
}

TEST_F(LabelProgressRepaint, VerticalBarRepaintsWhenItGrowsAlongItsHeight)
{
    meter_->setGeometry(0, 0, 10, 100);
    meter_->SetVertical(true);
    meter_->SetRange32(0, 100);
    meter_->SetPos(0);
    settle();
    const int paints = meter_->paintCount();
    meter_->SetPos(5); // half a pixel of its width, but five of its height
    EXPECT_EQ(meter_->paintCount(), paints + 1);
}

TEST_F(LabelProgressRepaint, SameTextTwiceRepaintsOnce)
{
    const int paints = meter_->paintCount();
    meter_->SetWindowText("Motion Detection Meter: 5");
    ASSERT_TRUE(test::waitFor([&] { return meter_->paintCount() > paints; }));
    settle();
    const int afterFirst = meter_->paintCount();
    meter_->SetWindowText("Motion Detection Meter: 5");
    settle();
    EXPECT_EQ(meter_->paintCount(), afterFirst);
    EXPECT_EQ(afterFirst, paints + 1);

    meter_->SetWindowText(" ");
    ASSERT_TRUE(test::waitFor([&] { return meter_->paintCount() > afterFirst; }));
}

} // namespace
} // namespace vistrel
