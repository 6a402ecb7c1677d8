#pragma once

#include <cstdint>
#include <string>

namespace vistrel {

// printf into a std::string, of any length.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "%.2f %s" of a byte count in KB, MB, GB or TB (1024 per step); the next
// unit is taken from 1000 of the smaller one on. Negative counts show as 0.
std::string FormatSize(double bytes);

// The period that `images` archive images `intervalMs` apart cover, as
// "%.0fdays %.0fhr %.0fmin %.0fsec".
std::string FormatDuration(int32_t intervalMs, int32_t images);

} // namespace vistrel
