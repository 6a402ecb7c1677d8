// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/transforms.h"

#include "common/leading_number.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace vistrel {

namespace {

// One pixel of N bytes, so that the loops copy whole pixels.
template <int N>
struct Pixel {
    std::array<uint8_t, N> bytes;
};

int BytesPerPixel(const Frame& frame)
{
    const int bitCount = frame.bitCount();
    if (!frame.data() || frame.width() <= 0 || frame.height() <= 0)
        return 0;
    if (bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        return 0;
    const int bytes = bitCount / 8;
    if (frame.size() < size_t(frame.width()) * size_t(frame.height()) * size_t(bytes))
        return 0;
    return bytes;
}

// Stored pixel (row r, column c) of a W x H picture goes to the destination,
// H pixels wide: for 90 to row W-1-c, column r; for 270 to row c, column H-1-r.
// Square tiles keep both the reads and the writes within cache lines.
template <int N>
void QuarterTurn(const Pixel<N>* src, Pixel<N>* dst, int width, int height, bool clockwise)
{
    constexpr int kTile = 32;
    const size_t h = size_t(height);
    for (int r0 = 0; r0 < height; r0 += kTile) {
        const int r1 = std::min(height, r0 + kTile);
        for (int c0 = 0; c0 < width; c0 += kTile) {
            const int c1 = std::min(width, c0 + kTile);
            for (int c = c0; c < c1; ++c) {
                if (clockwise) {
                    Pixel<N>* out = dst + size_t(width - 1 - c) * h;
                    for (int r = r0; r < r1; ++r)
                        out[r] = src[size_t(r) * size_t(width) + size_t(c)];
                } else {
                    Pixel<N>* out = dst + size_t(c) * h + (h - 1);
                    for (int r = r0; r < r1; ++r)
                        *(out - r) = src[size_t(r) * size_t(width) + size_t(c)];
                }
            }
        }
    }
}

template <int N>
bool RotateQuarter(Frame& frame, bool clockwise)
{
    const size_t bytes = size_t(frame.width()) * size_t(frame.height()) * N;
    std::unique_ptr<uint8_t[]> turned(new (std::nothrow) uint8_t[bytes]);
    if (!turned)
        return false;
    QuarterTurn<N>(reinterpret_cast<const Pixel<N>*>(frame.data()), reinterpret_cast<Pixel<N>*>(turned.get()),
        frame.width(), frame.height(), clockwise);
    std::memcpy(frame.data(), turned.get(), bytes);
    return true;
}

// A half turn puts stored pixel i at N-1-i: the pixel order reversed.
template <int N>
void HalfTurn(Frame& frame)
{
    auto* pixels = reinterpret_cast<Pixel<N>*>(frame.data());
    std::reverse(pixels, pixels + size_t(frame.width()) * size_t(frame.height()));
}

template <int N>
void MirrorRows(Frame& frame)
{
    auto* row = reinterpret_cast<Pixel<N>*>(frame.data());
    for (int y = 0; y < frame.height(); ++y, row += frame.width())
        std::reverse(row, row + frame.width());
}

template <template <int> class Op, typename... Args>
auto ByDepth(int bytes, Args&&... args)
{
    switch (bytes) {
    case 1:
        return Op<1>::Run(std::forward<Args>(args)...);
    case 2:
        return Op<2>::Run(std::forward<Args>(args)...);
    case 3:
        return Op<3>::Run(std::forward<Args>(args)...);
    default:
        return Op<4>::Run(std::forward<Args>(args)...);
    }
}

template <int N>
struct QuarterOp {
    static bool Run(Frame& frame, bool clockwise) { return RotateQuarter<N>(frame, clockwise); }
};
template <int N>
struct HalfOp {
    static void Run(Frame& frame) { HalfTurn<N>(frame); }
};
template <int N>
struct MirrorOp {
    static void Run(Frame& frame) { MirrorRows<N>(frame); }
};

} // namespace

void Rotate(Frame& frame, int degrees)
{
    if (degrees != 90 && degrees != 180 && degrees != 270)
        return;
    const int bytes = BytesPerPixel(frame);
    if (bytes == 0)
        return;
    if (degrees == 180) {
        ByDepth<HalfOp>(bytes, frame);
        return;
    }
    if (ByDepth<QuarterOp>(bytes, frame, degrees == 90)) {
        const int32_t width = frame.header.bmi.biWidth; // packed fields: no references
        frame.header.bmi.biWidth = frame.header.bmi.biHeight;
        frame.header.bmi.biHeight = width;
    }
}

int RotationDegrees(const std::string& text)
{
    return std::max(0, int(LeadingInt(text)));
}

void FlipHorizontal(Frame& frame)
{
    const int bytes = BytesPerPixel(frame);
    if (bytes != 0)
        ByDepth<MirrorOp>(bytes, frame);
}

void FlipVertical(Frame& frame)
{
    const int bytes = BytesPerPixel(frame);
    if (bytes == 0)
        return;
    const size_t rowBytes = size_t(frame.width()) * size_t(bytes);
    uint8_t* data = frame.data();
    // Rows are exchanged in pieces through a small buffer, so that the copies
    // run at memcpy speed without a row-sized allocation.
    uint8_t piece[4096];
    for (int i = 0, j = frame.height() - 1; i < j; ++i, --j) {
        uint8_t* a = data + size_t(i) * rowBytes;
        uint8_t* b = data + size_t(j) * rowBytes;
        for (size_t done = 0; done < rowBytes; done += sizeof piece) {
            const size_t n = std::min(sizeof piece, rowBytes - done);
            std::memcpy(piece, a + done, n);
            std::memcpy(a + done, b + done, n);
            std::memcpy(b + done, piece, n);
        }
    }
}

} // namespace vistrel
