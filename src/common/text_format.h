// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace vistrel {

// printf into a std::string, of any length. Any thread may call these.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for arguments a library passes on as a va_list.
std::string StringPrintfV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// "%.2f %s" of a byte count in KB, MB, GB or TB (1024 per step); the next
// unit is taken from 1000 of the smaller one on. Negative counts show as 0.
std::string FormatSize(double bytes);

// The period that `images` archive images `intervalMs` apart cover, as
// "%.0fdays %.0fhr %.0fmin %.0fsec".
std::string FormatDuration(int32_t intervalMs, int32_t images);

} // namespace vistrel
