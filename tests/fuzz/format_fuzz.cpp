#include "capture/dxvideo.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace vistrel;

// Format texts come from the settings store, which a person may edit by hand.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    int width = -1, height = -1, bits = -1;
    CDXVideo::ParseFormat(text, width, height, bits);
    // Either all three numbers were taken or none was.
    if ((width == 0 && height == 0 && bits == 0) == false && text.find_first_not_of("x bits") == std::string::npos)
        std::abort();
    return 0;
}
