// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/text_format.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vistrel {

std::string StringPrintfV(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(size_t(length));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    return text;
}

std::string StringPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = StringPrintfV(format, args);
    va_end(args);
    return text;
}

std::string FormatSize(double bytes)
{
    constexpr double kPerStep = 0.0009765625; // 1/1024
    const double k = bytes * kPerStep;
    const double m = k * kPerStep;
    const double g = m * kPerStep;
    const double t = g * kPerStep;

    double value = k;
    const char* unit = "KB";
    if (g >= 1000) {
        value = t;
        unit = "TB";
    } else if (m >= 1000) {
        value = g;
        unit = "GB";
    } else if (k >= 1000) {
        value = m;
        unit = "MB";
    }
    if (value < 0)
        value = 0;

    return StringPrintf("%.2f %s", value, unit);
}

std::string FormatDuration(int32_t intervalMs, int32_t images)
{
    const double total = intervalMs * 0.001 * images;
    // Multiplied by rounded reciprocals rather than divided: the texts at the
    // unit boundaries depend on exactly these constants.
    const double minutes = total * 0.016666666666666666;
    const double hours = total * 0.0002777777777777778;
    const double days = total * 0.000011574074074074073;

    const double sec = std::floor(total) - 60 * std::floor(minutes);
    const double min = std::floor(minutes) - 60 * std::floor(hours);
    const double hr = std::floor(hours) - 24 * std::floor(days);
    const double day = std::floor(days);

    return StringPrintf("%.0fdays %.0fhr %.0fmin %.0fsec", day, hr, min, sec);
}

} // namespace vistrel
