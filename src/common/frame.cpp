// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/frame.h"

#include <cstring>

namespace vistrel {

Frame::Frame(size_t size)
    : pixels_(std::make_unique_for_overwrite<uint8_t[]>(size))
    , size_(size)
{
}

std::unique_ptr<Frame> Frame::Allocate(size_t size)
{
    return std::unique_ptr<Frame>(new Frame(size));
}

std::unique_ptr<Frame> Frame::Create(int width, int height, int bitCount)
{
    const size_t size = size_t(width) * size_t(height) * size_t(bitCount / 8);
    auto frame = Allocate(size);
    BITMAPINFOHEADER& bmi = frame->header.bmi;
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biBitCount = uint16_t(bitCount);
    bmi.biSizeImage = uint32_t(size);
    return frame;
}

std::unique_ptr<Frame> Frame::Clone() const
{
    auto copy = Allocate(size_);
    copy->header = header;
    if (size_)
        std::memcpy(copy->data(), data(), size_);
    return copy;
}

} // namespace vistrel
