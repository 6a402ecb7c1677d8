// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/picture_box.h"

#include "support/frame_pixels.h"
#include "pipeline/jpeg.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

namespace vistrel {
namespace {

using test::solidFrame;
using test::writePixel;

constexpr QRgb kGrey = qRgb(64, 64, 64);
constexpr QRgb kRed = qRgb(255, 0, 0);

QImage render(CPictureBoxEx& pane)
{
    QImage image(pane.size(), QImage::Format_RGB32);
    image.fill(qRgb(1, 2, 3));
    pane.render(&image);
    return image;
}

// How a colour of a frame shows on screen: 5-bit channels of 16-bit frames
// are widened by repeating their top bits.
QRgb shownColour(QRgb c, int bits)
{
    if (bits != 16)
        return c;
    const auto widen = [](int v) { return (v >> 3 << 3) | (v >> 5); };
    return qRgb(widen(qRed(c)), widen(qGreen(c)), widen(qBlue(c)));
}

std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

bool allPixels(const QImage& image, QRgb colour)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != colour)
                return false;
    return true;
}

std::set<std::pair<int, int>> redPixels(const QImage& image)
{
    std::set<std::pair<int, int>> red;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == kRed)
                red.insert({ x, y });
    return red;
}

// The pixels of a one-pixel outline of w x h at (x, y).
void addOutline(std::set<std::pair<int, int>>& set, int x, int y, int w, int h)
{
    for (int i = 0; i < w; ++i) {
        set.insert({ x + i, y });
        set.insert({ x + i, y + h - 1 });
    }
    for (int j = 0; j < h; ++j) {
        set.insert({ x, y + j });
        set.insert({ x + w - 1, y + j });
    }
}

// A picture in four quadrants (top-left, top-right, bottom-left, bottom-right
// as seen), for checking orientation and stretching.
const QRgb kQuadrants[4] = { qRgb(200, 40, 40), qRgb(40, 200, 40), qRgb(40, 40, 200), qRgb(200, 200, 40) };
const QRgb kGreyQuadrants[4] = { qRgb(40, 40, 40), qRgb(80, 80, 80), qRgb(160, 160, 160), qRgb(240, 240, 240) };

std::unique_ptr<Frame> quadrantFrame(int width, int height, int bits)
{
    const QRgb* colours = bits == 8 ? kGreyQuadrants : kQuadrants;
    auto frame = Frame::Create(width, height, bits);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            writePixel(*frame, x, y, colours[(y >= height / 2) * 2 + (x >= width / 2)]);
    return frame;
}

TEST(PictureBox, NeverFedPaneIsDarkGrey)
{
    CPictureBoxEx pane;
    pane.resize(120, 90);
    EXPECT_TRUE(pane.HasPicture());
    EXPECT_TRUE(allPixels(render(pane), kGrey));
}

TEST(PictureBox, PictureIsStretchedUprightOverThePane)
{
    // A shown pane has its picture made for the screen as the frame arrives,
    // a hidden one only when it is painted.
    for (const bool shown : { false, true }) {
        for (const int bits : { 8, 16, 24, 32 }) {
            for (const QSize paneSize : { QSize(200, 150), QSize(400, 150), QSize(320, 240) }) {
                CPictureBoxEx pane;
                pane.resize(paneSize);
                if (shown) {
                    pane.show();
                    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
                }
                pane.SetImage(quadrantFrame(320, 240, bits), false);
                const QImage image = render(pane);
                const QRgb* colours = bits == 8 ? kGreyQuadrants : kQuadrants;
                const int w = paneSize.width(), h = paneSize.height();
                // Every pixel belongs to its quadrant: no smoothing across the seams.
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        ASSERT_EQ(image.pixel(x, y), shownColour(colours[(y >= h / 2) * 2 + (x >= w / 2)], bits))
                            << bits << " bit in " << w << "x" << h << " at " << x << "," << y << (shown ? ", shown" : "");
            }
        }
    }
}

// The main window's panes are sunken and one pixel larger on each side than
// the picture: the picture shows 1:1 inside the border, no row or column
// doubled, and the motion grid covers the picture, not the border.
TEST(PictureBox, ASunkenPaneShowsThePictureOneToOneInsideItsBorder)
{
    CPictureBoxEx pane;
    pane.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pane.resize(322, 242);
    auto frame = Frame::Create(320, 240, 24);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            writePixel(*frame, x, y, qRgb(x % 256, y, x / 256 * 100 + 50));
    pane.SetImage(std::move(frame), false);
    pane.SetMotionBlocks({ 0 });
    const QImage image = render(pane);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            if (x < 32 && y < 24)
                continue; // under the motion box
            ASSERT_EQ(image.pixel(x + 1, y + 1), qRgb(x % 256, y, x / 256 * 100 + 50)) << x << "," << y;
        }
    EXPECT_EQ(image.pixel(1, 1), kRed);
    EXPECT_NE(image.pixel(0, 0), kRed);
    EXPECT_NE(image.pixel(0, 100), qRgb(0, 99, 50));
}

TEST(PictureBox, MotionBoxesAreTwoPixelRedFramesOnTheTenByTenGrid)
{
    CPictureBoxEx pane;
    pane.resize(305, 228);
    pane.SetImage(solidFrame(64, 48, 24, qRgb(0, 0, 200)), false);
    pane.SetMotionBlocks({ 0, 99, uint32_t(-1) });

    std::set<std::pair<int, int>> expected;
    addOutline(expected, 0, 0, 30, 22);
    addOutline(expected, 1, 1, 28, 20);
    addOutline(expected, 270, 198, 30, 22);
    addOutline(expected, 271, 199, 28, 20);
    const QImage image = render(pane);
    EXPECT_EQ(redPixels(image), expected);
    EXPECT_EQ(image.pixel(15, 11), qRgb(0, 0, 200));

    // Index 9 is the bottom of the first column, 10 the top of the second.
    pane.SetMotionBlocks({ 9, 10 });
    expected.clear();
    addOutline(expected, 0, 198, 30, 22);
    addOutline(expected, 1, 199, 28, 20);
    addOutline(expected, 30, 0, 30, 22);
    addOutline(expected, 31, 1, 28, 20);
    EXPECT_EQ(redPixels(render(pane)), expected);

    // The right 5 and bottom 8 pixels are never boxed.
    std::vector<uint32_t> all(100);
    for (uint32_t i = 0; i < 100; ++i)
        all[i] = i;
    pane.SetMotionBlocks(all);
    for (const auto& [x, y] : redPixels(render(pane))) {
        ASSERT_LT(x, 300);
        ASSERT_LT(y, 220);
    }
}

TEST(PictureBox, BoxesNeedAPictureAndGoWithoutMotion)
{
    CPictureBoxEx pane;
    pane.resize(100, 100);
    pane.SetMotionBlocks({ 0, 55 }); // no image yet: grey only
    EXPECT_TRUE(allPixels(render(pane), kGrey));

    pane.SetImage(solidFrame(32, 32, 24, qRgb(10, 10, 10)), false);
    EXPECT_FALSE(redPixels(render(pane)).empty());
    pane.SetMotionBlocks({});
    EXPECT_TRUE(allPixels(render(pane), qRgb(10, 10, 10)));

    pane.SetMotionBlocks({ 100, 1000, 4000000000u }); // outside the grid
    EXPECT_TRUE(redPixels(render(pane)).empty());
}

TEST(PictureBox, NoPictureFlagShowsGreyOverAnImage)
{
    CPictureBoxEx pane;
    pane.resize(50, 50);
    pane.SetImage(solidFrame(16, 16, 24, qRgb(0, 200, 0)), false);
    pane.SetHasPicture(false);
    EXPECT_FALSE(pane.HasPicture());
    EXPECT_TRUE(allPixels(render(pane), kGrey));
    pane.SetHasPicture(true);
    EXPECT_TRUE(allPixels(render(pane), qRgb(0, 200, 0)));
}

TEST(PictureBox, NullEmptyOrUnpaintableFramesChangeNothing)
{
    CPictureBoxEx pane;
    pane.resize(40, 40);
    pane.SetImage(solidFrame(8, 8, 24, qRgb(0, 0, 200)), false);
    const auto kept = pane.image();
    pane.SetImage(nullptr, true);
    pane.SetImage(Frame::Allocate(0), true);
    EXPECT_EQ(pane.image(), kept);
    EXPECT_TRUE(allPixels(render(pane), qRgb(0, 0, 200)));

    // A header that claims more pixels than the frame has is shown as no picture.
    auto truncated = Frame::Allocate(10);
    truncated->header.bmi.biWidth = 64;
    truncated->header.bmi.biHeight = 48;
    truncated->header.bmi.biBitCount = 24;
    pane.SetImage(std::move(truncated), false);
    EXPECT_TRUE(allPixels(render(pane), kGrey));
}

class ShownPane : public testing::Test {
protected:
    void SetUp() override
    {
        pane_.resize(160, 120);
        pane_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane_));
    }
    CPictureBoxEx pane_;
};

TEST_F(ShownPane, RepaintRequestsAreQueuedFromAnyThread)
{
    int paints = pane_.paintCount();
    std::thread imageThread([this] { pane_.SetImage(solidFrame(16, 16, 24, qRgb(9, 9, 9)), true); });
    imageThread.join();
    EXPECT_TRUE(test::waitFor([&] { return pane_.paintCount() > paints; }));

    paints = pane_.paintCount();
    std::thread([this] { pane_.SetHasPicture(false); }).join();
    EXPECT_TRUE(test::waitFor([&] { return pane_.paintCount() > paints; }));

    // A pane that already shows no picture is not painted again: the
    // multiplexer clears skipped panes at every step.
    paints = pane_.paintCount();
    std::thread([this] { pane_.SetHasPicture(false); }).join();
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(pane_.paintCount(), paints);
}

TEST_F(ShownPane, DoubleClickAsksForTheCameraOptions)
{
    QSignalSpy spy(&pane_, &CPictureBoxEx::doubleClicked);
    QTest::mouseDClick(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(ShownPane, PaintingWhileTheImageThreadSwapsFramesSeesWholeFrames)
{
    // Each frame is one colour and size; a torn or freed image would show as
    // a mixed render or a crash.
    std::atomic<bool> done { false };
    std::atomic<int> produced { 0 };
    std::thread imageThread([&] {
        for (int i = 0; i < 400; ++i) {
            const int size = 16 + (i % 7) * 40;
            const int bits = (i % 2) ? 24 : 32;
            const uint8_t level = uint8_t(10 + (i % 200));
            auto frame = solidFrame(size, size * 3 / 4, bits, qRgb(level, 255 - level, level / 2));
            pane_.SetImage(std::move(frame), true);
            pane_.SetMotionBlocks(i % 3 ? std::vector<uint32_t> {} : std::vector<uint32_t> { 55 });
            ++produced;
        }
        done = true;
    });
    int renders = 0;
    while (!done || renders < 10) {
        QImage image(160, 120, QImage::Format_RGB32);
        pane_.render(&image);
        const QRgb centre = image.pixel(80, 10);
        for (int y = 0; y < 120; y += 3)
            for (int x = 0; x < 160; x += 3) {
                const QRgb c = image.pixel(x, y);
                ASSERT_TRUE(c == centre || c == kRed) << "render " << renders;
            }
        ++renders;
        QCoreApplication::processEvents();
    }
    imageThread.join();
    EXPECT_EQ(produced, 400);
}

TEST(PictureBoxSave, SavesTheCurrentImage)
{
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/cam.jpg").toStdString();
    CPictureBoxEx pane;
    EXPECT_FALSE(pane.SaveJpeg(path, 75));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path)));

    pane.SetImage(quadrantFrame(64, 48, 24), false);
    pane.SetImage(quadrantFrame(80, 60, 32), false);
    ASSERT_TRUE(pane.SaveJpeg(path, 90));
    const QImage saved(QString::fromStdString(path));
    ASSERT_EQ(saved.size(), QSize(80, 60));
    // Upright: the top-left quadrant is the reddish one.
    const QColor topLeft = saved.pixelColor(10, 10);
    EXPECT_GT(topLeft.red(), 150);
    EXPECT_LT(topLeft.green(), 90);
    const QColor bottomRight = saved.pixelColor(70, 50);
    EXPECT_GT(bottomRight.green(), 150);
    EXPECT_LT(bottomRight.blue(), 90);

    EXPECT_FALSE(pane.SaveJpeg((dir.path() + "/missing/cam.jpg").toStdString(), 75));
}

TEST(PictureBoxSave, SavingWhileFramesArriveWritesWholeImages)
{
    QTemporaryDir dir;
    CPictureBoxEx pane;
    pane.SetImage(solidFrame(64, 48, 24, qRgb(0, 0, 255)), false);
    std::atomic<bool> stop { false };
    std::thread feeder([&] {
        for (int i = 0; !stop; ++i)
            pane.SetImage(solidFrame(64 + (i % 5) * 16, 48, 24, (i % 2) ? qRgb(255, 0, 0) : qRgb(0, 0, 255)), false);
    });
    for (int i = 0; i < 20; ++i) {
        const QString path = dir.path() + QString("/%1.jpg").arg(i);
        ASSERT_TRUE(pane.SaveJpeg(path.toStdString(), 75));
        const QImage saved(path);
        ASSERT_FALSE(saved.isNull());
        const QColor first = saved.pixelColor(2, 2), last = saved.pixelColor(saved.width() - 3, 45);
        EXPECT_EQ(first.red() > 128, last.red() > 128) << i;
    }
    stop = true;
    feeder.join();
}

// The static file and the archive image of one frame come from one encoding.
TEST(PictureBoxSave, EachImageIsEncodedOncePerQuality)
{
    QTemporaryDir dir;
    const auto path = [&](const char* name) { return (dir.path() + "/" + name).toStdString(); };
    CPictureBoxEx pane;
    pane.SetImage(quadrantFrame(64, 48, 24), false);
    std::vector<uint8_t> expected;
    ASSERT_TRUE(EncodeJpeg(*pane.image(), 75, expected));

    ASSERT_TRUE(pane.SaveJpeg(path("Cam1A.jpg"), 75));
    ASSERT_TRUE(pane.SaveJpeg(path("archive.jpg"), 75));
    EXPECT_EQ(pane.encodeCount(), 1);
    EXPECT_EQ(fileBytes(path("Cam1A.jpg")), expected);
    EXPECT_EQ(fileBytes(path("archive.jpg")), expected);

    // Another quality encodes again; the pane keeps one encoding, so going
    // back encodes once more.
    struct Step {
        int quality;
        int encodes;
    };
    for (const Step step : { Step { 90, 2 }, Step { 90, 2 }, Step { 75, 3 }, Step { 75, 3 } }) {
        ASSERT_TRUE(pane.SaveJpeg(path("q.jpg"), step.quality));
        EXPECT_EQ(pane.encodeCount(), step.encodes) << "quality " << step.quality;
        ASSERT_TRUE(EncodeJpeg(*pane.image(), step.quality, expected));
        EXPECT_EQ(fileBytes(path("q.jpg")), expected) << "quality " << step.quality;
    }

    // A failed write keeps the bytes for the next save of the same image.
    EXPECT_FALSE(pane.SaveJpeg(path("missing/Cam1A.jpg"), 75));
    ASSERT_TRUE(pane.SaveJpeg(path("again.jpg"), 75));
    EXPECT_EQ(pane.encodeCount(), 3);
    EXPECT_EQ(fileBytes(path("again.jpg")), expected);
}

// Every new image is encoded again, even one of the same size that may land at
// the address of a freed one; each file shows its own frame.
TEST(PictureBoxSave, NewImagesAreNeverSavedWithOldBytes)
{
    QTemporaryDir dir;
    CPictureBoxEx pane;
    const QRgb colours[] = { qRgb(250, 0, 0), qRgb(0, 0, 250), qRgb(250, 0, 0), qRgb(0, 250, 0), qRgb(0, 0, 250) };
    int frameNumber = 0;
    for (const QRgb colour : colours) {
        ++frameNumber;
        pane.SetImage(solidFrame(32, 24, 24, colour), false);
        for (const char* name : { "/static.jpg", "/archive.jpg" }) {
            const QString path = dir.path() + name;
            ASSERT_TRUE(pane.SaveJpeg(path.toStdString(), 75));
            const QImage saved(path);
            ASSERT_FALSE(saved.isNull());
            const QColor centre = saved.pixelColor(16, 12);
            EXPECT_NEAR(centre.red(), qRed(colour), 8) << "frame " << frameNumber << name;
            EXPECT_NEAR(centre.green(), qGreen(colour), 8) << "frame " << frameNumber << name;
            EXPECT_NEAR(centre.blue(), qBlue(colour), 8) << "frame " << frameNumber << name;
        }
        EXPECT_EQ(pane.encodeCount(), frameNumber);
    }

    // An image that cannot be encoded saves nothing, and is not counted.
    pane.SetImage(Frame::Create(16, 16, 12), false);
    EXPECT_FALSE(pane.SaveJpeg((dir.path() + "/twelve.jpg").toStdString(), 75));
    EXPECT_FALSE(QFile::exists(dir.path() + "/twelve.jpg"));
    EXPECT_EQ(pane.encodeCount(), frameNumber);
}

} // namespace
} // namespace vistrel
