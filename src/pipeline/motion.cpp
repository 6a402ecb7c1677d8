// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/motion.h"

#include <array>
#include <cstddef>
#include <cstdlib>

namespace vistrel {

namespace {

struct ChannelSums {
    uint64_t r = 0, g = 0, b = 0;
};

// The summing loops below read each stored byte once and add it into a
// fixed set of lanes whose count is a multiple of the pixel size, so every
// lane belongs to one channel and the compiler turns the inner loop into
// plain vector adds. They give exactly the sums of ReadPixel's components.

// 24 and 32 bits: kPixels pixels per step fill kPixels x kBytes lanes, and
// lane j holds blue, green, red (or the unused fourth byte) by j % kBytes.
// 24 bits take 16 pixels (48 bytes), 32 bits take 4 (16 bytes).
template <int kBytes, int kPixels>
void SumBandInterleaved(const uint8_t* first, size_t stride, int bw, int bh, ChannelSums (&out)[10])
{
    constexpr int kLanes = kBytes * kPixels;
    const int chunks = bw / kPixels;
    const size_t blockBytes = size_t(bw) * kBytes;
    for (int bx = 0; bx < 10; ++bx) {
        uint32_t lanes[kLanes] = {};
        ChannelSums tail;
        for (int row = 0; row < bh; ++row) {
            const uint8_t* p = first + size_t(row) * stride + size_t(bx) * blockBytes;
            for (int c = 0; c < chunks; ++c, p += kLanes)
                for (int j = 0; j < kLanes; ++j)
                    lanes[j] += p[j];
            for (int x = chunks * kPixels; x < bw; ++x, p += kBytes) {
                tail.b += p[0];
                tail.g += p[1];
                tail.r += p[2];
            }
        }
        ChannelSums& sums = out[bx];
        sums = tail;
        for (int j = 0; j < kLanes; j += kBytes) {
            sums.b += lanes[j];
            sums.g += lanes[j + 1];
            sums.r += lanes[j + 2];
        }
    }
}

// 16 bits, 5-5-5: eight pixels per step, each five-bit field summed in its
// own lanes and scaled by 8 at the end, the same as summing each component
// shifted left by 3.
void SumBand16(const uint8_t* first, size_t stride, int bw, int bh, ChannelSums (&out)[10])
{
    constexpr int kLanes = 8;
    const int chunks = bw / kLanes;
    for (int bx = 0; bx < 10; ++bx) {
        uint32_t r[kLanes] = {}, g[kLanes] = {}, b[kLanes] = {};
        uint64_t tailR = 0, tailG = 0, tailB = 0;
        for (int row = 0; row < bh; ++row) {
            const uint8_t* p = first + size_t(row) * stride + size_t(bx) * size_t(bw) * 2;
            for (int c = 0; c < chunks; ++c, p += 2 * kLanes) {
                for (int j = 0; j < kLanes; ++j) {
                    const uint32_t v = uint32_t(p[2 * j]) | (uint32_t(p[2 * j + 1]) << 8);
                    b[j] += v & 31;
                    g[j] += (v >> 5) & 31;
                    r[j] += (v >> 10) & 31;
                }
            }
            for (int x = chunks * kLanes; x < bw; ++x, p += 2) {
                const uint32_t v = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
                tailB += v & 31;
                tailG += (v >> 5) & 31;
                tailR += (v >> 10) & 31;
            }
        }
        for (int j = 0; j < kLanes; ++j) {
            tailR += r[j];
            tailG += g[j];
            tailB += b[j];
        }
        out[bx] = { tailR * 8, tailG * 8, tailB * 8 };
    }
}

// 8 bits: grey, all three components equal; sixteen pixels per step.
void SumBand8(const uint8_t* first, size_t stride, int bw, int bh, ChannelSums (&out)[10])
{
    constexpr int kLanes = 16;
    const int chunks = bw / kLanes;
    for (int bx = 0; bx < 10; ++bx) {
        uint32_t lanes[kLanes] = {};
        uint64_t sum = 0;
        for (int row = 0; row < bh; ++row) {
            const uint8_t* p = first + size_t(row) * stride + size_t(bx) * size_t(bw);
            for (int c = 0; c < chunks; ++c, p += kLanes)
                for (int j = 0; j < kLanes; ++j)
                    lanes[j] += p[j];
            for (int x = chunks * kLanes; x < bw; ++x)
                sum += *p++;
        }
        for (uint32_t lane : lanes)
            sum += lane;
        out[bx] = { sum, sum, sum };
    }
}

using SumBand = void (*)(const uint8_t*, size_t, int, int, ChannelSums (&)[10]);

SumBand SummerFor(int bitCount)
{
    switch (bitCount) {
    case 8:
        return SumBand8;
    case 16:
        return SumBand16;
    case 24:
        return SumBandInterleaved<3, 16>;
    case 32:
        return SumBandInterleaved<4, 4>;
    default:
        return nullptr; // ReadPixel reads 0 for every other depth
    }
}

} // namespace

int MeasureMotion(MotionState& state, const Frame& frame, int triggerLevel)
{
    state.MotionBlocks.clear();
    const int width = frame.width();
    const int height = frame.height();
    if (!frame.data() || width < 10 || height < 10)
        return 0;
    const SumBand summer = SummerFor(frame.bitCount());
    if (summer && frame.size() < size_t(width) * size_t(height) * size_t(frame.bitCount() / 8))
        return 0;

    const int bw = width / 10;
    const int bh = height / 10;
    // Rows lie image size / height bytes apart, as ReadPixel reads them.
    const size_t stride = frame.size() / size_t(height);

    // Indexed by block: bx * 10 + by, by = 0 being the top band as displayed,
    // i.e. the highest covered stored rows.
    std::array<ChannelSums, 100> sums {};
    if (summer) {
        for (int band = 0; band < 10; ++band) {
            ChannelSums bandSums[10];
            summer(frame.data() + size_t(band) * size_t(bh) * stride, stride, bw, bh, bandSums);
            const int by = 9 - band;
            for (int bx = 0; bx < 10; ++bx)
                sums[size_t(bx * 10 + by)] = bandSums[bx];
        }
    }

    const uint64_t n = uint64_t(bw) * uint64_t(bh);
    std::vector<uint32_t> current(100);
    int max = 0;
    for (size_t i = 0; i < 100; ++i) {
        const uint32_t r = uint32_t(sums[i].r / n), g = uint32_t(sums[i].g / n), b = uint32_t(sums[i].b / n);
        current[i] = r | (g << 8) | (b << 16);
        if (state.reference.size() > i) {
            const uint32_t old = state.reference[i];
            const int d = (std::abs(int(r) - int(old & 0xFF)) + std::abs(int(g) - int((old >> 8) & 0xFF))
                              + std::abs(int(b) - int((old >> 16) & 0xFF)))
                / 3;
            if (d > max)
                max = d;
            if (d > triggerLevel)
                state.MotionBlocks.push_back(uint32_t(i));
        }
    }
    state.reference = std::move(current);
    return max;
}

} // namespace vistrel
