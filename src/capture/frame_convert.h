// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <cstddef>
#include <cstdint>

namespace vistrel {

// One frame as a V4L2 device delivered it, borrowed for the call.
struct RawFrameView {
    uint32_t pixelFormat = 0; // V4L2 fourcc
    int width = 0;
    int height = 0;
    uint32_t bytesPerLine = 0; // of the first plane; 0 for compressed formats
    const uint8_t* data = nullptr;
    size_t size = 0; // bytes used
};

// Converts a device frame into `out`, whose header gives the size and the
// delivered bit count (8 grey, 16 RGB555, 24 BGR, 32 BGRX; rows bottom-up).
// False when the frame is short, undecodable, of another size, or of a
// format without a conversion to that bit count. Any thread may call it.
bool ConvertRawFrame(const RawFrameView& raw, Frame& out);

// Packed 4:2:2 (YUYV) rows, top-down, to bottom-up rows of `dstBitCount`
// (16, 24 or 32) in `dst`, unpadded.
void ConvertYuyv(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst, int dstBitCount);

// Decodes a JPEG of exactly width x height straight into bottom-up BGR rows.
bool DecodeJpegToBgr(const uint8_t* data, size_t size, int width, int height, uint8_t* dst);

} // namespace vistrel
