#include "display/overlay.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

using namespace vistrel;

// Overlay templates are typed by the user; any text and any clock value
// expand without harm, and text without a percent sign comes back as it was.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int64_t seconds = 0;
    if (size >= sizeof(seconds)) {
        std::memcpy(&seconds, data, sizeof(seconds));
        data += sizeof(seconds);
        size -= sizeof(seconds);
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string expanded = ExpandOverlayText(text, std::time_t(seconds));
    if (text.find('%') == std::string::npos && expanded != text)
        std::abort();
    return 0;
}
