// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace vistrel::test {

// A frame of the given depth whose stored pixel (x, row) gets the colour
// `colour(x, row)` (0x00RRGGBB) in that depth's layout: grey takes the red
// component, 5-5-5 keeps the top five bits of each component.
inline std::unique_ptr<Frame> MakeFrame(int width, int height, int bitCount,
    const std::function<uint32_t(int x, int row)>& colour)
{
    auto frame = Frame::Create(width, height, bitCount);
    const int bytes = bitCount / 8;
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            const uint32_t c = colour(x, row);
            const uint8_t r = uint8_t(c >> 16), g = uint8_t(c >> 8), b = uint8_t(c);
            uint8_t* p = frame->data() + (size_t(row) * width + x) * bytes;
            switch (bitCount) {
            case 8:
                p[0] = r;
                break;
            case 16: {
                const uint16_t v = uint16_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
                p[0] = uint8_t(v);
                p[1] = uint8_t(v >> 8);
                break;
            }
            default:
                p[0] = b;
                p[1] = g;
                p[2] = r;
                if (bytes == 4)
                    p[3] = 0xA5; // the unused byte must never matter
                break;
            }
        }
    }
    return frame;
}

inline std::unique_ptr<Frame> SolidFrame(int width, int height, int bitCount, uint32_t colour)
{
    return MakeFrame(width, height, bitCount, [colour](int, int) { return colour; });
}

// A deterministic pattern with detail in every channel.
inline uint32_t Pattern(int x, int row)
{
    const uint32_t r = uint32_t(x * 7 + row * 3) & 0xFF;
    const uint32_t g = uint32_t(x * x + row * 11) & 0xFF;
    const uint32_t b = uint32_t((x ^ row) * 5) & 0xFF;
    return (r << 16) | (g << 8) | b;
}

} // namespace vistrel::test
