// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace vistrel {

// The 40-byte device-independent bitmap header that describes every frame,
// laid out byte for byte as the Windows structure of the same name.
#pragma pack(push, 1)
struct BITMAPINFOHEADER {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0; // positive: rows stored bottom-up
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0; // 0: uncompressed RGB
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

// The 44-byte header a frame travels with: the bitmap header and one colour
// entry that nothing fills.
struct FrameHeader {
    BITMAPINFOHEADER bmi;
    uint32_t colour = 0;
};
#pragma pack(pop)

static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(FrameHeader) == 44);

} // namespace vistrel
