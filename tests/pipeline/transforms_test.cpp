// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/transforms.h"

#include "pipeline/jpeg.h"

#include "frame_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vistrel {
namespace {

using test::MakeFrame;

constexpr int kDepths[] = { 8, 16, 24, 32 };

// A colour per pixel that each depth keeps distinct for small frames: the
// 8-bit value (red) is unique up to 256 pixels, the 5-bit ones up to 32 x 32.
uint32_t Unique(int x, int row)
{
    const uint32_t v = uint32_t(row * 16 + x);
    return ((v & 0xFF) << 16) | (uint32_t(x * 8 & 0xFF) << 8) | uint32_t(row * 8 & 0xFF);
}

// Displayed coordinates: (column from the left, row from the top).
uint32_t Displayed(const Frame& frame, int column, int rowFromTop)
{
    return ReadPixel(frame, column, frame.height() - 1 - rowFromTop);
}

std::vector<uint8_t> Bytes(const Frame& frame)
{
    return { frame.data(), frame.data() + frame.size() };
}

TEST(Rotate, QuarterTurnOfAFullFrameKeepsTheBufferAndSwapsTheHeader)
{
    for (int bitCount : kDepths) {
        auto frame = MakeFrame(640, 480, bitCount, [](int x, int row) {
            return x == 0 && row == 479 ? 0xF8F8F8u : 0x080808u; // displayed top-left
        });
        const uint8_t* buffer = frame->data();
        const size_t size = frame->size();
        Rotate(*frame, 90);
        EXPECT_EQ(frame->data(), buffer);
        EXPECT_EQ(frame->size(), size);
        EXPECT_EQ(frame->width(), 480) << bitCount;
        EXPECT_EQ(frame->height(), 640) << bitCount;
        EXPECT_EQ(frame->header.bmi.biSizeImage, size);
        EXPECT_EQ(Displayed(*frame, 479, 0), 0xF8F8F8u) << "now top-right, " << bitCount << " bit";
        EXPECT_EQ(Displayed(*frame, 0, 0), 0x080808u);
    }
}

// Every pixel of a small odd-sized frame lands where the displayed picture
// turned clockwise (90), by half (180) or counter-clockwise (270) puts it.
TEST(Rotate, MovesEveryPixelAsTheDisplayedPictureTurns)
{
    const int w = 5, h = 3;
    for (int bitCount : kDepths) {
        for (int degrees : { 90, 180, 270 }) {
            auto original = MakeFrame(w, h, bitCount, Unique);
            auto frame = original->Clone();
            Rotate(*frame, degrees);
            const bool quarter = degrees != 180;
            ASSERT_EQ(frame->width(), quarter ? h : w);
            for (int row = 0; row < h; ++row) {
                for (int col = 0; col < w; ++col) {
                    int toCol = col, toRow = row;
                    if (degrees == 90) {
                        toCol = h - 1 - row;
                        toRow = col;
                    } else if (degrees == 180) {
                        toCol = w - 1 - col;
                        toRow = h - 1 - row;
                    } else {
                        toCol = row;
                        toRow = w - 1 - col;
                    }
                    EXPECT_EQ(Displayed(*frame, toCol, toRow), Displayed(*original, col, row))
                        << bitCount << " bit, " << degrees << " degrees, pixel " << col << "," << row;
                }
            }
        }
    }
}

TEST(Rotate, OtherAnglesAndUnusableFramesStayUnchanged)
{
    for (int degrees : { 0, 45, -90, 360, 450 }) {
        auto frame = MakeFrame(7, 4, 24, Unique);
        const auto before = Bytes(*frame);
        Rotate(*frame, degrees);
        EXPECT_EQ(Bytes(*frame), before) << degrees;
        EXPECT_EQ(frame->width(), 7);
    }

    auto shortBuffer = Frame::Allocate(7 * 4 * 3 - 1);
    shortBuffer->header = MakeFrame(7, 4, 24, Unique)->header;
    std::memset(shortBuffer->data(), 0x11, shortBuffer->size());
    auto twelveBit = Frame::Create(7, 4, 12);
    std::memset(twelveBit->data(), 0x22, twelveBit->size());
    for (Frame* frame : { shortBuffer.get(), twelveBit.get() }) {
        const auto before = Bytes(*frame);
        Rotate(*frame, 90);
        Rotate(*frame, 180);
        FlipHorizontal(*frame);
        FlipVertical(*frame);
        EXPECT_EQ(Bytes(*frame), before);
        EXPECT_EQ(frame->width(), 7);
        EXPECT_EQ(frame->height(), 4);
    }
}

// Every pixel lands where the mirror puts it: across the picture's middle
// column (horizontal), then also across its middle row (vertical).
TEST(Flips, BothFlipsEqualAHalfTurnAndEachUndoesItself)
{
    const auto mirrored = [](const Frame& frame, const Frame& original, bool columns, bool rows) {
        const int w = original.width(), h = original.height();
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col)
                if (Displayed(frame, col, row) != Displayed(original, columns ? w - 1 - col : col, rows ? h - 1 - row : row))
                    return false;
        return true;
    };
    for (int bitCount : kDepths) {
        for (const auto& size : { std::pair { 7, 5 }, std::pair { 8, 6 }, std::pair { 1, 3 } }) {
            auto flipped = MakeFrame(size.first, size.second, bitCount, Unique);
            auto turned = flipped->Clone();
            const auto unflipped = flipped->Clone();
            const auto original = Bytes(*flipped);
            FlipHorizontal(*flipped);
            EXPECT_EQ(Displayed(*flipped, 0, 0), Displayed(*turned, size.first - 1, 0)) << "rows mirrored";
            EXPECT_TRUE(mirrored(*flipped, *unflipped, true, false)) << bitCount << " bit " << size.first << "x" << size.second;
            FlipVertical(*flipped);
            EXPECT_TRUE(mirrored(*flipped, *unflipped, true, true)) << bitCount << " bit " << size.first << "x" << size.second;
            Rotate(*turned, 180);
            EXPECT_EQ(Bytes(*flipped), Bytes(*turned)) << bitCount << " bit " << size.first << "x" << size.second;

            FlipVertical(*flipped);
            FlipHorizontal(*flipped);
            EXPECT_EQ(Bytes(*flipped), original);
        }
    }
}

TEST(Rotate, QuarterTurnsComposeOnLargeFrames)
{
    // Sizes that leave partial tiles on both edges.
    for (int bitCount : kDepths) {
        auto frame = MakeFrame(97, 45, bitCount, test::Pattern);
        const auto original = Bytes(*frame);
        Rotate(*frame, 90);
        Rotate(*frame, 270);
        EXPECT_EQ(Bytes(*frame), original) << bitCount;
        for (int i = 0; i < 4; ++i)
            Rotate(*frame, 90);
        EXPECT_EQ(Bytes(*frame), original) << bitCount;
        EXPECT_EQ(frame->width(), 97);
    }
}

} // namespace
} // namespace vistrel
