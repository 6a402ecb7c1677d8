// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/number_text.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace vistrel {

namespace {

locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return locale;
}

} // namespace

double LeadingDouble(const std::string& text)
{
    if (locale_t c = cLocale())
        return strtod_l(text.c_str(), nullptr, c);
    return std::strtod(text.c_str(), nullptr);
}

bool StartsWithNumber(const std::string& text, bool decimal)
{
    const auto digit = [&](size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    return digit(i) || (decimal && i < text.size() && text[i] == '.' && digit(i + 1));
}

std::string FormatFixed3(double value)
{
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 3);
    if (result.ec != std::errc())
        return "0.000";
    return std::string(buffer, result.ptr);
}

int64_t SecondsTextToMs(const std::string& text)
{
    const double ms = std::trunc(LeadingDouble(text) * 1000.0);
    if (std::isnan(ms))
        return 0;
    if (ms >= double(INT32_MAX))
        return int64_t(INT32_MAX) + 1;
    if (ms <= double(INT32_MIN))
        return int64_t(INT32_MIN) - 1;
    return int64_t(ms);
}

} // namespace vistrel
