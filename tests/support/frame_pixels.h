// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <QColor>
#include <QRect>

#include <cstring>
#include <memory>

namespace vistrel::test {

// Pixels of bottom-up frames addressed as they are seen: (0, 0) is the
// top-left corner of the picture. Colours are QRgb without alpha; 8-bit
// frames are grey, 16-bit frames 5-5-5.
inline uint8_t* pixelAt(Frame& frame, int x, int y)
{
    const int bytes = frame.bitCount() / 8;
    return frame.data() + (size_t(frame.height() - 1 - y) * frame.width() + x) * bytes;
}

inline QRgb readPixel(const Frame& frame, int x, int y)
{
    const uint8_t* p = pixelAt(const_cast<Frame&>(frame), x, y);
    switch (frame.bitCount()) {
    case 8:
        return qRgb(p[0], p[0], p[0]);
    case 16: {
        const int v = p[0] | p[1] << 8;
        return qRgb((v >> 10 & 31) << 3, (v >> 5 & 31) << 3, (v & 31) << 3);
    }
    default: // 24 and 32: blue, green, red
        return qRgb(p[2], p[1], p[0]);
    }
}

// The same colour as 0x00RRGGBB.
inline uint32_t rgbAt(const Frame& frame, int x, int y)
{
    return readPixel(frame, x, y) & 0xFFFFFFu;
}

inline void writePixel(Frame& frame, int x, int y, QRgb c)
{
    uint8_t* p = pixelAt(frame, x, y);
    switch (frame.bitCount()) {
    case 8:
        p[0] = uint8_t(qGray(c));
        break;
    case 16: {
        const int v = (qRed(c) >> 3) << 10 | (qGreen(c) >> 3) << 5 | qBlue(c) >> 3;
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        break;
    }
    case 32:
        p[3] = 0;
        [[fallthrough]];
    default:
        p[0] = uint8_t(qBlue(c));
        p[1] = uint8_t(qGreen(c));
        p[2] = uint8_t(qRed(c));
    }
}

inline std::unique_ptr<Frame> solidFrame(int width, int height, int bits, QRgb colour)
{
    auto frame = Frame::Create(width, height, bits);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            writePixel(*frame, x, y, colour);
    return frame;
}

// The bounding box of the pixels where two frames of the same size differ.
inline QRect changedBox(const Frame& before, const Frame& after)
{
    QRect box;
    for (int y = 0; y < before.height(); ++y)
        for (int x = 0; x < before.width(); ++x)
            if (readPixel(before, x, y) != readPixel(after, x, y))
                box |= QRect(x, y, 1, 1);
    return box;
}

inline bool sameBytes(const Frame& a, const Frame& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace vistrel::test
