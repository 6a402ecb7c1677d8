// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/bitmap.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vistrel {

// One captured frame: a pixel block it owns and its 44-byte header.
// Rows are bottom-up and exactly width x bytes-per-pixel long (no padding);
// 8-bit frames are grey. A frame moves between threads only as a
// std::unique_ptr<Frame>, so every hand-over is an ownership transfer.
class Frame {
public:
    // Allocates an uninitialised block of `size` bytes; the header is left to the caller.
    static std::unique_ptr<Frame> Allocate(size_t size);
    // Allocates a block for an uncompressed bottom-up frame and fills the header.
    static std::unique_ptr<Frame> Create(int width, int height, int bitCount);

    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    uint8_t* data() { return pixels_.get(); }
    const uint8_t* data() const { return pixels_.get(); }
    size_t size() const { return size_; }

    FrameHeader header;

    int width() const { return header.bmi.biWidth; }
    int height() const { return header.bmi.biHeight; }
    int bitCount() const { return header.bmi.biBitCount; }

    std::unique_ptr<Frame> Clone() const;

private:
    explicit Frame(size_t size);
    std::unique_ptr<uint8_t[]> pixels_;
    size_t size_;
};

} // namespace vistrel
