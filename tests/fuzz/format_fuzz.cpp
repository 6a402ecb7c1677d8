// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/dxvideo.h"

#include <cstdint>
#include <string>

using namespace vistrel;

// Format texts come from the settings store, which a person may edit by hand.
// The harness looks for crashes, hangs and sanitizer reports (an overflow
// while reading a number, a read past the text); the results are not checked.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    int width = -1, height = -1, bits = -1;
    CDXVideo::ParseFormat(text, width, height, bits);
    return 0;
}
