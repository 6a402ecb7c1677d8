// SPDX-License-Identifier: GPL-3.0-or-later
// libjpeg-turbo driven through its plain calls with nothing of ours in
// between: the reference our writer is compared with, the baseline the
// benchmarks measure it against, and the maker of sample JPEGs for decoders.
#pragma once

#include <jpeglib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vistrel::test {

struct BareJpeg {
    int width = 0;
    int height = 0;
    int quality = 75;
    J_COLOR_SPACE space = JCS_RGB; // of the three-byte rows handed in
    bool luma422 = false; // 2x1 luma sampling as webcams send it, else libjpeg's 4:2:0
};

// Encodes rowAt(0) .. rowAt(height - 1), the top of the picture first, into
// the destination that setDestination installs.
template <typename SetDestination, typename RowAt>
void BareEncode(const BareJpeg& jpeg, SetDestination setDestination, RowAt rowAt)
{
    jpeg_compress_struct info {};
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    setDestination(info);
    info.image_width = JDIMENSION(jpeg.width);
    info.image_height = JDIMENSION(jpeg.height);
    info.input_components = 3;
    info.in_color_space = jpeg.space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, jpeg.quality, TRUE);
    if (jpeg.luma422) {
        info.comp_info[0].h_samp_factor = 2;
        info.comp_info[0].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = rowAt(int(info.next_scanline));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
}

// Straight into a file through stdio; false when it cannot be opened or closed.
template <typename RowAt>
bool BareEncodeToFile(const std::string& path, const BareJpeg& jpeg, RowAt rowAt)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    BareEncode(jpeg, [file](jpeg_compress_struct& info) { jpeg_stdio_dest(&info, file); }, rowAt);
    return std::fclose(file) == 0;
}

template <typename RowAt>
std::vector<uint8_t> BareEncodeToMemory(const BareJpeg& jpeg, RowAt rowAt)
{
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    BareEncode(jpeg, [&](jpeg_compress_struct& info) { jpeg_mem_dest(&info, &buffer, &size); }, rowAt);
    std::vector<uint8_t> bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

// The rows of a bottom-up 24-bit frame whose rows are width * 3 bytes apart,
// as rowAt expects them: the top of the picture first.
inline auto BottomUpRows(uint8_t* data, int width, int height)
{
    return [=](int y) { return data + size_t(height - 1 - y) * size_t(width) * 3; };
}

} // namespace vistrel::test
