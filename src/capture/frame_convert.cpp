// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/frame_convert.h"

#include <linux/videodev2.h>

#include <libyuv.h>

#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vistrel {

namespace {

// Bytes of the intermediate ARGB strip: small enough to stay in the
// first-level cache between the two passes over it.
constexpr int kStripBytes = 32 * 1024;

enum class Packed422 { Yuyv, Uyvy, Yvyu, Vyuy };

void ClearTopBits555(uint8_t* row, int width)
{
    // Eight pixels at a time in a vector register (SSE2 on every x86-64).
    typedef uint16_t Pixels8 __attribute__((vector_size(16)));
    const Pixels8 mask = {0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF};
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        Pixels8 pixels;
        std::memcpy(&pixels, row + 2 * x, sizeof pixels);
        pixels &= mask;
        std::memcpy(row + 2 * x, &pixels, sizeof pixels);
    }
    for (; x < width; ++x)
        row[2 * x + 1] &= 0x7F;
}

// Converts `rows` rows of ARGB (libyuv's B, G, R, A byte order) to `bitCount`
// rows written from `dst` on, `dstStride` apart (negative to go up).
void StoreArgbRows(const uint8_t* argb, int width, int rows, uint8_t* dst, int dstStride, int bitCount)
{
    const int argbStride = width * 4;
    switch (bitCount) {
    case 24:
        libyuv::ARGBToRGB24(argb, argbStride, dst, dstStride, width, rows);
        break;
    case 32:
        libyuv::ARGBCopy(argb, argbStride, dst, dstStride, width, rows);
        break;
    case 16:
        libyuv::ARGBToARGB1555(argb, argbStride, dst, dstStride, width, rows);
        // The top bit came from alpha; RGB555 leaves it clear.
        for (int r = 0; r < rows; ++r)
            ClearTopBits555(dst + std::ptrdiff_t(r) * dstStride, width);
        break;
    default:
        break;
    }
}

void ConvertPacked422(Packed422 kind, const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                      int dstBitCount)
{
    const int dstRow = width * (dstBitCount / 8);
    const int pairs = (width + 1) / 2;
    const int stripRows = std::max(1, kStripBytes / (width * 4));
    std::vector<uint8_t> argb(size_t(width) * 4 * size_t(stripRows));
    std::vector<uint8_t> swizzled;
    if (kind == Packed422::Yvyu || kind == Packed422::Vyuy)
        swizzled.resize(size_t(pairs) * 4 * size_t(stripRows));

    for (int y0 = 0; y0 < height; y0 += stripRows) {
        const int rows = std::min(stripRows, height - y0);
        const uint8_t* strip = src + std::ptrdiff_t(y0) * srcStride;
        int stripStride = srcStride;
        if (!swizzled.empty()) {
            // YVYU and VYUY are YUYV and UYVY with the chroma bytes swapped.
            const int a = kind == Packed422::Yvyu ? 1 : 0;
            const int b = a + 2;
            for (int r = 0; r < rows; ++r) {
                const uint8_t* in = strip + std::ptrdiff_t(r) * srcStride;
                uint8_t* out = swizzled.data() + size_t(r) * size_t(pairs) * 4;
                for (int p = 0; p < pairs; ++p, in += 4, out += 4) {
                    out[0] = in[0];
                    out[1] = in[1];
                    out[2] = in[2];
                    out[3] = in[3];
                    std::swap(out[a], out[b]);
                }
            }
            strip = swizzled.data();
            stripStride = pairs * 4;
        }
        if (kind == Packed422::Yuyv || kind == Packed422::Yvyu)
            libyuv::YUY2ToARGB(strip, stripStride, argb.data(), width * 4, width, rows);
        else
            libyuv::UYVYToARGB(strip, stripStride, argb.data(), width * 4, width, rows);
        // Top-down source row y lands in stored row height - 1 - y.
        StoreArgbRows(argb.data(), width, rows, dst + std::ptrdiff_t(height - 1 - y0) * dstRow, -dstRow, dstBitCount);
    }
}

// Copies rows of `rowBytes` bytes, turning top-down into bottom-up.
void CopyFlipped(const uint8_t* src, int srcStride, int rowBytes, int height, uint8_t* dst)
{
    for (int y = 0; y < height; ++y)
        std::memcpy(dst + std::ptrdiff_t(height - 1 - y) * rowBytes, src + std::ptrdiff_t(y) * srcStride, size_t(rowBytes));
}

void Rgb565ToRgb555(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst)
{
    const int dstRow = width * 2;
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = src + std::ptrdiff_t(y) * srcStride;
        uint8_t* out = dst + std::ptrdiff_t(height - 1 - y) * dstRow;
        for (int x = 0; x < width; ++x) {
            const uint16_t v = uint16_t(in[2 * x] | in[2 * x + 1] << 8);
            const uint16_t w = uint16_t(((v >> 1) & 0x7FE0) | (v & 0x1F));
            out[2 * x] = uint8_t(w);
            out[2 * x + 1] = uint8_t(w >> 8);
        }
    }
}

void Rgb555Masked(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst)
{
    const int dstRow = width * 2;
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = src + std::ptrdiff_t(y) * srcStride;
        uint8_t* out = dst + std::ptrdiff_t(height - 1 - y) * dstRow;
        for (int x = 0; x < width; ++x) {
            out[2 * x] = in[2 * x];
            out[2 * x + 1] = in[2 * x + 1] & 0x7F;
        }
    }
}

// 4:1:0 planes (chroma a quarter of the width and height) to bottom-up BGR,
// through 4:2:0 by repeating each chroma sample.
bool Yuv410ToBgr(const RawFrameView& raw, int yStride, bool uFirst, uint8_t* dst)
{
    const int w = raw.width, h = raw.height;
    const int cStride = yStride / 4;
    const int cRows = (h + 3) / 4;
    const size_t need = size_t(yStride) * size_t(h) + 2 * size_t(cStride) * size_t(cRows);
    if (cStride < (w + 3) / 4 || raw.size < need)
        return false;
    const uint8_t* planeA = raw.data + size_t(yStride) * size_t(h);
    const uint8_t* planeB = planeA + size_t(cStride) * size_t(cRows);
    const uint8_t* u410 = uFirst ? planeA : planeB;
    const uint8_t* v410 = uFirst ? planeB : planeA;

    const int hw = (w + 1) / 2, hh = (h + 1) / 2;
    std::vector<uint8_t> u(size_t(hw) * size_t(hh)), v(u.size());
    for (int y = 0; y < hh; ++y) {
        for (int x = 0; x < hw; ++x) {
            u[size_t(y) * size_t(hw) + size_t(x)] = u410[size_t(y / 2) * size_t(cStride) + size_t(x / 2)];
            v[size_t(y) * size_t(hw) + size_t(x)] = v410[size_t(y / 2) * size_t(cStride) + size_t(x / 2)];
        }
    }
    return libyuv::I420ToRGB24(raw.data, yStride, u.data(), hw, v.data(), hw, dst, w * 3, w, -h) == 0;
}

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void JpegErrorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

// Warnings on damaged frames stay quiet, but a frame whose data ends before
// its last row would decode with its lower part grey: it is refused whole,
// so a cut-short picture is never recorded as a good one.
void JpegWarning(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

} // namespace

void ConvertYuyv(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst, int dstBitCount)
{
    ConvertPacked422(Packed422::Yuyv, src, srcStride, width, height, dst, dstBitCount);
}

bool DecodeJpegToBgr(const uint8_t* data, size_t size, int width, int height, uint8_t* dst)
{
    if (!data || size < 4)
        return false;
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JpegErrorExit;
    error.manager.emit_message = JpegWarning;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || int(info.image_width) != width
        || int(info.image_height) != height) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    const std::ptrdiff_t rowBytes = std::ptrdiff_t(width) * 3;
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = dst + (std::ptrdiff_t(height) - 1 - std::ptrdiff_t(info.output_scanline)) * rowBytes;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

bool ConvertRawFrame(const RawFrameView& raw, Frame& out)
{
    const int w = raw.width, h = raw.height;
    const int bits = out.bitCount();
    if (!raw.data || w < 1 || h < 1 || out.width() != w || out.height() != h
        || out.size() < size_t(w) * size_t(h) * size_t(bits / 8))
        return false;
    uint8_t* dst = out.data();
    const int dstRow = w * (bits / 8);
    auto packedStride = [&](int bytesPerPixel) {
        return raw.bytesPerLine ? int(raw.bytesPerLine) : w * bytesPerPixel;
    };
    auto enough = [&](int stride, int minRowBytes) {
        return stride >= minRowBytes && raw.size >= size_t(stride) * size_t(h - 1) + size_t(minRowBytes);
    };

    switch (raw.pixelFormat) {
    case V4L2_PIX_FMT_GREY: {
        const int stride = packedStride(1);
        if (bits != 8 || !enough(stride, w))
            return false;
        CopyFlipped(raw.data, stride, w, h, dst);
        return true;
    }
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_VYUY: {
        const int stride = packedStride(2);
        if (bits != 16 || !enough(stride, (w + 1) / 2 * 4))
            return false;
        const Packed422 kind = raw.pixelFormat == V4L2_PIX_FMT_YUYV ? Packed422::Yuyv
            : raw.pixelFormat == V4L2_PIX_FMT_UYVY                  ? Packed422::Uyvy
            : raw.pixelFormat == V4L2_PIX_FMT_YVYU                  ? Packed422::Yvyu
                                                                    : Packed422::Vyuy;
        ConvertPacked422(kind, raw.data, stride, w, h, dst, bits);
        return true;
    }
    case V4L2_PIX_FMT_RGB565: {
        const int stride = packedStride(2);
        if (bits != 16 || !enough(stride, w * 2))
            return false;
        Rgb565ToRgb555(raw.data, stride, w, h, dst);
        return true;
    }
    case V4L2_PIX_FMT_RGB555:
    case V4L2_PIX_FMT_XRGB555: {
        const int stride = packedStride(2);
        if (bits != 16 || !enough(stride, w * 2))
            return false;
        Rgb555Masked(raw.data, stride, w, h, dst);
        return true;
    }
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB24: {
        const int stride = packedStride(3);
        if (bits != 24 || !enough(stride, w * 3))
            return false;
        if (raw.pixelFormat == V4L2_PIX_FMT_BGR24)
            CopyFlipped(raw.data, stride, w * 3, h, dst);
        else
            libyuv::RAWToRGB24(raw.data, stride, dst, dstRow, w, -h);
        return true;
    }
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_ABGR32:
    case V4L2_PIX_FMT_RGB32:
    case V4L2_PIX_FMT_XRGB32:
    case V4L2_PIX_FMT_ARGB32: {
        const int stride = packedStride(4);
        if (bits != 32 || !enough(stride, w * 4))
            return false;
        const bool bgrOrder = raw.pixelFormat == V4L2_PIX_FMT_BGR32 || raw.pixelFormat == V4L2_PIX_FMT_XBGR32
            || raw.pixelFormat == V4L2_PIX_FMT_ABGR32;
        if (bgrOrder)
            CopyFlipped(raw.data, stride, w * 4, h, dst);
        else
            libyuv::BGRAToARGB(raw.data, stride, dst, dstRow, w, -h); // A R G B bytes to B G R A
        return true;
    }
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420: {
        const int yStride = packedStride(1);
        const int cStride = yStride / 2;
        const int cRows = (h + 1) / 2;
        if (bits != 24 || cStride < (w + 1) / 2
            || raw.size < size_t(yStride) * size_t(h) + 2 * size_t(cStride) * size_t(cRows))
            return false;
        const uint8_t* first = raw.data + size_t(yStride) * size_t(h);
        const uint8_t* second = first + size_t(cStride) * size_t(cRows);
        const bool uFirst = raw.pixelFormat == V4L2_PIX_FMT_YUV420;
        return libyuv::I420ToRGB24(raw.data, yStride, uFirst ? first : second, cStride, uFirst ? second : first,
                                   cStride, dst, dstRow, w, -h)
            == 0;
    }
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21: {
        const int yStride = packedStride(1);
        if (bits != 24 || yStride < w || raw.size < size_t(yStride) * size_t(h + (h + 1) / 2))
            return false;
        const uint8_t* chroma = raw.data + size_t(yStride) * size_t(h);
        if (raw.pixelFormat == V4L2_PIX_FMT_NV12)
            return libyuv::NV12ToRGB24(raw.data, yStride, chroma, yStride, dst, dstRow, w, -h) == 0;
        return libyuv::NV21ToRGB24(raw.data, yStride, chroma, yStride, dst, dstRow, w, -h) == 0;
    }
    case V4L2_PIX_FMT_YUV410:
    case V4L2_PIX_FMT_YVU410:
        return bits == 24 && Yuv410ToBgr(raw, packedStride(1), raw.pixelFormat == V4L2_PIX_FMT_YUV410, dst);
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return bits == 24 && DecodeJpegToBgr(raw.data, raw.size, w, h, dst);
    default:
        return false;
    }
}

} // namespace vistrel
