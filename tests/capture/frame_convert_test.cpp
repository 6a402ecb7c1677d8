// SPDX-License-Identifier: GPL-3.0-or-later
// Every listed device format converted to its delivered layout: the
// picture must come out upright (rows bottom-up), unmirrored and in its colours.
#include "capture/frame_convert.h"

#include "support/bare_jpeg.h"
#include "support/frame_pixels.h"

#include <linux/videodev2.h>

#include <libyuv.h>

#include <jpeglib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

namespace vistrel {
namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
// Quadrant colours as 0x00RRGGBB: top left, top right, bottom left, bottom right.
constexpr uint32_t kQuadrants[4] = {0xC82828, 0x28C828, 0x2828C8, 0xC8C828};

uint32_t QuadrantColour(int x, int y)
{
    return kQuadrants[(y >= kHeight / 2 ? 2 : 0) + (x >= kWidth / 2 ? 1 : 0)];
}

// The test picture in libyuv's ARGB (bytes B, G, R, A), rows top-down.
std::vector<uint8_t> TestArgb()
{
    std::vector<uint8_t> argb(size_t(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const uint32_t c = QuadrantColour(x, y);
            uint8_t* p = &argb[(size_t(y) * kWidth + size_t(x)) * 4];
            p[0] = uint8_t(c);
            p[1] = uint8_t(c >> 8);
            p[2] = uint8_t(c >> 16);
            p[3] = 0xFF;
        }
    return argb;
}

// A source frame: its bytes and row stride (0: compressed).
struct Source {
    std::vector<uint8_t> bytes;
    uint32_t bytesPerLine;
};

// Packs rows of `rowBytes` from `tight` into rows `stride` apart (padding filled with junk).
Source Padded(const std::vector<uint8_t>& tight, int rowBytes, int rows, int stride)
{
    Source source{std::vector<uint8_t>(size_t(stride) * size_t(rows), 0xA5), uint32_t(stride)};
    for (int y = 0; y < rows; ++y)
        std::copy_n(&tight[size_t(y) * size_t(rowBytes)], rowBytes, &source.bytes[size_t(y) * size_t(stride)]);
    return source;
}

using Packer = std::function<void(const uint8_t* argb, int argbStride, uint8_t* dst, int dstStride, int w, int h)>;

Source Packed(int bytesPerPixel, const Packer& pack)
{
    const auto argb = TestArgb();
    std::vector<uint8_t> tight(size_t(kWidth) * kHeight * size_t(bytesPerPixel));
    pack(argb.data(), kWidth * 4, tight.data(), kWidth * bytesPerPixel, kWidth, kHeight);
    return Padded(tight, kWidth * bytesPerPixel, kHeight, kWidth * bytesPerPixel + 12);
}

Source SwapBytes(Source source, int a, int b)
{
    for (size_t i = 0; i + 3 < source.bytes.size(); i += 4)
        std::swap(source.bytes[i + size_t(a)], source.bytes[i + size_t(b)]);
    return source;
}

// Planar 4:2:0 with a padded luma stride; chroma planes at half of it.
Source Planar420(bool uFirst)
{
    const auto argb = TestArgb();
    const int stride = kWidth + 16;
    const int cStride = stride / 2;
    Source source{std::vector<uint8_t>(size_t(stride) * kHeight + 2 * size_t(cStride) * (kHeight / 2)), uint32_t(stride)};
    uint8_t* y = source.bytes.data();
    uint8_t* first = y + size_t(stride) * kHeight;
    uint8_t* second = first + size_t(cStride) * (kHeight / 2);
    libyuv::ARGBToI420(argb.data(), kWidth * 4, y, stride, uFirst ? first : second, cStride, uFirst ? second : first,
                       cStride, kWidth, kHeight);
    return source;
}

Source SemiPlanar(bool nv12)
{
    const auto argb = TestArgb();
    Source source{std::vector<uint8_t>(size_t(kWidth) * kHeight * 3 / 2), uint32_t(kWidth)};
    uint8_t* y = source.bytes.data();
    uint8_t* chroma = y + size_t(kWidth) * kHeight;
    if (nv12)
        libyuv::ARGBToNV12(argb.data(), kWidth * 4, y, kWidth, chroma, kWidth, kWidth, kHeight);
    else
        libyuv::ARGBToNV21(argb.data(), kWidth * 4, y, kWidth, chroma, kWidth, kWidth, kHeight);
    return source;
}

// 4:1:0: 4:2:0 with every second chroma sample of each plane kept.
Source Planar410(bool uFirst)
{
    const Source i420 = Planar420(true);
    const int stride = int(i420.bytesPerLine), c420 = stride / 2, c410 = stride / 4;
    Source source{std::vector<uint8_t>(size_t(stride) * kHeight + 2 * size_t(c410) * (kHeight / 4)), uint32_t(stride)};
    std::copy_n(i420.bytes.begin(), size_t(stride) * kHeight, source.bytes.begin());
    const uint8_t* u420 = i420.bytes.data() + size_t(stride) * kHeight;
    const uint8_t* v420 = u420 + size_t(c420) * (kHeight / 2);
    uint8_t* first = source.bytes.data() + size_t(stride) * kHeight;
    uint8_t* second = first + size_t(c410) * (kHeight / 4);
    for (int y = 0; y < kHeight / 4; ++y)
        for (int x = 0; x < kWidth / 4; ++x) {
            (uFirst ? first : second)[y * c410 + x] = u420[(2 * y) * c420 + 2 * x];
            (uFirst ? second : first)[y * c410 + x] = v420[(2 * y) * c420 + 2 * x];
        }
    return source;
}

Source Grey()
{
    std::vector<uint8_t> tight(size_t(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            tight[size_t(y) * kWidth + size_t(x)] = uint8_t(QuadrantColour(x, y) >> 16);
    return Padded(tight, kWidth, kHeight, kWidth + 8);
}

std::vector<uint8_t> EncodeJpeg(int width, int height, const std::function<uint32_t(int, int)>& colour)
{
    std::vector<uint8_t> row(size_t(width) * 3);
    const auto rowAt = [&](int y) {
        for (int x = 0; x < width; ++x) {
            const uint32_t c = colour(x, y);
            row[size_t(x) * 3] = uint8_t(c >> 16);
            row[size_t(x) * 3 + 1] = uint8_t(c >> 8);
            row[size_t(x) * 3 + 2] = uint8_t(c);
        }
        return row.data();
    };
    return test::BareEncodeToMemory({ width, height, 95, JCS_RGB }, rowAt);
}

Source Jpeg()
{
    return {EncodeJpeg(kWidth, kHeight, QuadrantColour), 0};
}

bool Near(uint32_t a, uint32_t b, int tolerance)
{
    for (int shift : {0, 8, 16})
        if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

struct ConvertCase {
    const char* name;
    uint32_t pixelFormat;
    int deliveredBitCount;
    std::function<Source()> make;
};

TEST(FrameConvertTest, EveryFormatArrivesUprightUnmirroredAndInColour)
{
    using namespace libyuv;
    const ConvertCase cases[] = {
        {"GREY", V4L2_PIX_FMT_GREY, 8, Grey},
        {"YUYV", V4L2_PIX_FMT_YUYV, 16, [] { return Packed(2, ARGBToYUY2); }},
        {"UYVY", V4L2_PIX_FMT_UYVY, 16, [] { return Packed(2, ARGBToUYVY); }},
        {"YVYU", V4L2_PIX_FMT_YVYU, 16, [] { return SwapBytes(Packed(2, ARGBToYUY2), 1, 3); }},
        {"VYUY", V4L2_PIX_FMT_VYUY, 16, [] { return SwapBytes(Packed(2, ARGBToUYVY), 0, 2); }},
        {"RGB565", V4L2_PIX_FMT_RGB565, 16, [] { return Packed(2, ARGBToRGB565); }},
        {"RGB555", V4L2_PIX_FMT_RGB555, 16, [] { return Packed(2, ARGBToARGB1555); }},
        {"XRGB555", V4L2_PIX_FMT_XRGB555, 16, [] { return Packed(2, ARGBToARGB1555); }},
        {"BGR24", V4L2_PIX_FMT_BGR24, 24, [] { return Packed(3, ARGBToRGB24); }},
        {"RGB24", V4L2_PIX_FMT_RGB24, 24, [] { return Packed(3, ARGBToRAW); }},
        {"XBGR32", V4L2_PIX_FMT_XBGR32, 32, [] { return Packed(4, ARGBCopy); }},
        {"ABGR32", V4L2_PIX_FMT_ABGR32, 32, [] { return Packed(4, ARGBCopy); }},
        {"BGR32", V4L2_PIX_FMT_BGR32, 32, [] { return Packed(4, ARGBCopy); }},
        {"XRGB32", V4L2_PIX_FMT_XRGB32, 32, [] { return Packed(4, ARGBToBGRA); }},
        {"ARGB32", V4L2_PIX_FMT_ARGB32, 32, [] { return Packed(4, ARGBToBGRA); }},
        {"RGB32", V4L2_PIX_FMT_RGB32, 32, [] { return Packed(4, ARGBToBGRA); }},
        {"YUV420", V4L2_PIX_FMT_YUV420, 24, [] { return Planar420(true); }},
        {"YVU420", V4L2_PIX_FMT_YVU420, 24, [] { return Planar420(false); }},
        {"NV12", V4L2_PIX_FMT_NV12, 24, [] { return SemiPlanar(true); }},
        {"NV21", V4L2_PIX_FMT_NV21, 24, [] { return SemiPlanar(false); }},
        {"YUV410", V4L2_PIX_FMT_YUV410, 24, [] { return Planar410(true); }},
        {"YVU410", V4L2_PIX_FMT_YVU410, 24, [] { return Planar410(false); }},
        {"MJPEG", V4L2_PIX_FMT_MJPEG, 24, Jpeg},
        {"JPEG", V4L2_PIX_FMT_JPEG, 24, Jpeg},
    };
    // Quadrant centres, and a point near the right edge to catch stride mistakes.
    const std::pair<int, int> probes[] = {{16, 12}, {48, 12}, {16, 36}, {48, 36}, {kWidth - 2, kHeight - 2}};
    for (const ConvertCase& c : cases) {
        const Source source = c.make();
        RawFrameView raw;
        raw.pixelFormat = c.pixelFormat;
        raw.width = kWidth;
        raw.height = kHeight;
        raw.bytesPerLine = source.bytesPerLine;
        raw.data = source.bytes.data();
        raw.size = source.bytes.size();
        auto frame = Frame::Create(kWidth, kHeight, c.deliveredBitCount);
        ASSERT_TRUE(ConvertRawFrame(raw, *frame)) << c.name;
        for (const auto& [x, y] : probes) {
            uint32_t expected = QuadrantColour(x, y);
            if (c.deliveredBitCount == 8)
                expected = (expected >> 16) * 0x010101u;
            const uint32_t actual = test::rgbAt(*frame, x, y);
            if (c.deliveredBitCount == 16) {
                EXPECT_EQ(test::pixelAt(*frame, x, y)[1] & 0x80, 0) << c.name << ": RGB555 leaves the top bit clear";
            }
            EXPECT_TRUE(Near(actual, expected, 20))
                << c.name << " at " << x << "," << y << ": " << std::hex << actual << " for " << expected;
        }

        // Too few bytes and a delivered layout of another bit count are refused.
        RawFrameView shortRaw = raw;
        shortRaw.size = c.deliveredBitCount == 24 && raw.bytesPerLine == 0 ? 2 : raw.size / 2;
        EXPECT_FALSE(ConvertRawFrame(shortRaw, *frame)) << c.name;
        const int otherBits = c.deliveredBitCount == 24 ? 32 : 24;
        auto other = Frame::Create(kWidth, kHeight, otherBits);
        EXPECT_FALSE(ConvertRawFrame(raw, *other)) << c.name;
    }
}

TEST(FrameConvertTest, DamagedOrMisSizedJpegFramesAreRefused)
{
    auto frame = Frame::Create(kWidth, kHeight, 24);
    const auto good = EncodeJpeg(kWidth, kHeight, QuadrantColour);

    RawFrameView raw;
    raw.pixelFormat = V4L2_PIX_FMT_MJPEG;
    raw.width = kWidth;
    raw.height = kHeight;

    const auto otherSize = EncodeJpeg(32, 32, [](int, int) { return 0xFFFFFFu; });
    raw.data = otherSize.data();
    raw.size = otherSize.size();
    EXPECT_FALSE(ConvertRawFrame(raw, *frame));

    std::vector<uint8_t> garbage(good.size(), 0x5A);
    raw.data = garbage.data();
    raw.size = garbage.size();
    EXPECT_FALSE(ConvertRawFrame(raw, *frame));

    // A frame cut short in its entropy-coded data would show a grey lower part:
    // refused, and the next whole frame decodes as usual.
    const uint8_t startOfScan[] = {0xFF, 0xDA};
    const auto scan = std::search(good.begin(), good.end(), std::begin(startOfScan), std::end(startOfScan));
    ASSERT_NE(scan, good.end());
    raw.data = good.data();
    raw.size = size_t(scan - good.begin()) + size_t(good.end() - scan) / 2;
    EXPECT_FALSE(ConvertRawFrame(raw, *frame));
    raw.size = good.size();
    EXPECT_TRUE(ConvertRawFrame(raw, *frame));
}

TEST(FrameConvertTest, UnlistedFormatsAndMismatchedSizesAreRefused)
{
    const Source yuyv = Packed(2, libyuv::ARGBToYUY2);
    RawFrameView raw;
    raw.pixelFormat = V4L2_PIX_FMT_H264;
    raw.width = kWidth;
    raw.height = kHeight;
    raw.bytesPerLine = yuyv.bytesPerLine;
    raw.data = yuyv.bytes.data();
    raw.size = yuyv.bytes.size();
    auto frame = Frame::Create(kWidth, kHeight, 16);
    EXPECT_FALSE(ConvertRawFrame(raw, *frame));

    raw.pixelFormat = V4L2_PIX_FMT_YUYV;
    auto wrongSize = Frame::Create(kWidth, kHeight / 2, 16);
    EXPECT_FALSE(ConvertRawFrame(raw, *wrongSize));
    raw.bytesPerLine = kWidth; // narrower than a row of YUYV
    EXPECT_FALSE(ConvertRawFrame(raw, *frame));
}

} // namespace
} // namespace vistrel
