// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/motion.h"

#include "pipeline/jpeg.h"

#include "frame_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace vistrel {
namespace {

using test::MakeFrame;
using test::SolidFrame;

// The measurement written the slow, obvious way with ReadPixel, against
// which the per-depth summing loops are checked.
int ReferenceMeasure(MotionState& state, const Frame& frame, int trigger)
{
    state.MotionBlocks.clear();
    const int bw = frame.width() / 10, bh = frame.height() / 10;
    const uint64_t n = uint64_t(bw) * uint64_t(bh);
    std::vector<uint32_t> current;
    int max = 0;
    for (int bx = 0; bx < 10; ++bx) {
        for (int by = 0; by < 10; ++by) {
            uint64_t r = 0, g = 0, b = 0;
            for (int y = (9 - by) * bh; y < (10 - by) * bh; ++y) {
                for (int x = bx * bw; x < (bx + 1) * bw; ++x) {
                    const uint32_t c = ReadPixel(frame, x, y);
                    r += (c >> 16) & 0xFF;
                    g += (c >> 8) & 0xFF;
                    b += c & 0xFF;
                }
            }
            const uint32_t mr = uint32_t(r / n), mg = uint32_t(g / n), mb = uint32_t(b / n);
            const size_t i = current.size();
            current.push_back(mr | (mg << 8) | (mb << 16));
            if (state.reference.size() > i) {
                const uint32_t o = state.reference[i];
                const int d = (std::abs(int(mr) - int(o & 0xFF)) + std::abs(int(mg) - int((o >> 8) & 0xFF))
                                  + std::abs(int(mb) - int((o >> 16) & 0xFF)))
                    / 3;
                max = std::max(max, d);
                if (d > trigger)
                    state.MotionBlocks.push_back(uint32_t(i));
            }
        }
    }
    state.reference = current;
    return max;
}

// A 640 x 480 frame (blocks of 64 x 48) of a uniform colour, with block
// (bx, by) (by counted from the top as displayed) changed to another.
std::unique_ptr<Frame> FrameWithBlock(int bitCount, uint32_t base, int bx, int by, uint32_t block)
{
    return MakeFrame(640, 480, bitCount, [=](int x, int row) {
        const bool inside = x / 64 == bx && row / 48 == 9 - by;
        return inside ? block : base;
    });
}

TEST(MeasureMotion, LevelsAndBlocksOfOneChangedBlock)
{
    struct Case {
        const char* what;
        uint32_t changed;
        int expectedLevel;
        bool flagged; // at trigger 10
        bool greyToo; // also holds for 8-bit frames
        bool fiveBitSteps; // every component a multiple of 8, so exact in 16-bit frames
    };
    const uint32_t base = 0x808080;
    const Case cases[] = {
        { "all channels +40", 0xA8A8A8, 40, true, true, true },
        { "red alone +40", 0xA88080, 13, true, false, true },
        { "green alone +30", 0x809E80, 10, false, false, false }, // 10 is not above the trigger
        { "red +20, blue -20", 0x94806C, 13, true, false, false },
    };
    for (int bitCount : { 8, 16, 24, 32 }) {
        for (const Case& c : cases) {
            if (bitCount == 8 && !c.greyToo)
                continue;
            if (bitCount == 16 && !c.fiveBitSteps)
                continue;
            MotionState state;
            EXPECT_EQ(MeasureMotion(state, *SolidFrame(640, 480, bitCount, base), 10), 0) << "first frame";
            EXPECT_TRUE(state.MotionBlocks.empty());
            // Block column 3, row 2 from the top: index 32.
            const int level = MeasureMotion(state, *FrameWithBlock(bitCount, base, 3, 2, c.changed), 10);
            EXPECT_EQ(level, c.expectedLevel) << c.what << ", " << bitCount << " bit";
            EXPECT_EQ(state.MotionBlocks, c.flagged ? std::vector<uint32_t> { 32 } : std::vector<uint32_t> {})
                << c.what << ", " << bitCount << " bit";
            ASSERT_EQ(state.reference.size(), 100u);
        }
    }
}

TEST(MeasureMotion, PixelsOutsideTheGridAreIgnored)
{
    // Width 645 and height 485: blocks of 64 x 48 pixels; the five rightmost
    // columns and the five top rows (the last stored ones) belong to no block.
    auto still = SolidFrame(645, 485, 24, 0x404040);
    auto edges = MakeFrame(645, 485, 24, [](int x, int row) { return x >= 640 || row >= 480 ? 0xFFFFFFu : 0x404040u; });
    MotionState state;
    MeasureMotion(state, *still, 0);
    EXPECT_EQ(MeasureMotion(state, *edges, 0), 0);
    EXPECT_TRUE(state.MotionBlocks.empty());

    // The last covered column and row do count: block 90 is the top-right one.
    auto corner = MakeFrame(645, 485, 24, [](int x, int row) { return x == 639 && row == 479 ? 0xFFFFFFu : 0x404040u; });
    MeasureMotion(state, *still, 0);
    EXPECT_EQ(MeasureMotion(state, *corner, 0), 0) << "one pixel of 3072 moves the mean by less than 1";
    auto cornerBlock = MakeFrame(645, 485, 24, [](int x, int row) { return x >= 576 && row >= 432 && x < 640 && row < 480 ? 0xFFFFFFu : 0x404040u; });
    EXPECT_GT(MeasureMotion(state, *cornerBlock, 0), 0);
    EXPECT_EQ(state.MotionBlocks, std::vector<uint32_t> { 90 });
}

TEST(MeasureMotion, TriggerBounds)
{
    MotionState state;
    MeasureMotion(state, *SolidFrame(100, 100, 24, 0x000000), 255);
    EXPECT_EQ(MeasureMotion(state, *SolidFrame(100, 100, 24, 0xFFFFFF), 255), 255);
    EXPECT_TRUE(state.MotionBlocks.empty()) << "no change is above 255";
    EXPECT_EQ(MeasureMotion(state, *SolidFrame(100, 100, 24, 0x000000), 254), 255);
    EXPECT_EQ(state.MotionBlocks.size(), 100u);
}

TEST(MeasureMotion, TinyAndDamagedFramesMeasureNothingAndKeepTheReference)
{
    MotionState state;
    MeasureMotion(state, *SolidFrame(100, 100, 24, 0x202020), 10);
    const auto reference = state.reference;
    state.MotionBlocks = { 7 };

    EXPECT_EQ(MeasureMotion(state, *SolidFrame(9, 100, 24, 0xFFFFFF), 10), 0);
    EXPECT_EQ(MeasureMotion(state, *SolidFrame(100, 9, 24, 0xFFFFFF), 10), 0);
    auto shortBuffer = Frame::Allocate(100 * 100 * 3 - 1);
    shortBuffer->header = SolidFrame(100, 100, 24, 0)->header;
    EXPECT_EQ(MeasureMotion(state, *shortBuffer, 10), 0);
    EXPECT_TRUE(state.MotionBlocks.empty());
    EXPECT_EQ(state.reference, reference);

    // The next proper frame is compared with the last proper one.
    EXPECT_EQ(MeasureMotion(state, *SolidFrame(100, 100, 24, 0x4A4A4A), 10), 0x2A);
}

// The vectorised sums must agree exactly with reading every pixel, for each
// depth and for widths that leave partial lane groups at the block ends.
TEST(MeasureMotion, MatchesThePixelByPixelDefinition)
{
    std::mt19937 random(1234);
    const int sizes[][2] = { { 653, 487 }, { 160, 120 }, { 10, 10 }, { 333, 61 }, { 1003, 35 } };
    for (int bitCount : { 8, 16, 24, 32 }) {
        for (const auto& size : sizes) {
            MotionState fast, slow;
            for (int frameNo = 0; frameNo < 3; ++frameNo) {
                auto frame = Frame::Create(size[0], size[1], bitCount);
                // Noise over a gradient, so the blocks differ from frame to frame.
                for (size_t i = 0; i < frame->size(); ++i)
                    frame->data()[i] = uint8_t((i / 97 + random() % 64 + frameNo * 40) & 0xFF);
                const int trigger = 3;
                EXPECT_EQ(MeasureMotion(fast, *frame, trigger), ReferenceMeasure(slow, *frame, trigger))
                    << bitCount << " bit " << size[0] << "x" << size[1];
                EXPECT_EQ(fast.MotionBlocks, slow.MotionBlocks);
                EXPECT_EQ(fast.reference, slow.reference);
            }
        }
    }
}

} // namespace
} // namespace vistrel
