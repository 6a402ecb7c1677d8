// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/leading_number.h"

#include <climits>
#include <cstdlib>

namespace vistrel {

long long LeadingInteger(const std::string& text)
{
    // strtoll already saturates at LLONG_MIN/LLONG_MAX and reads no
    // locale-specific digits in base 10.
    return std::strtoll(text.c_str(), nullptr, 10);
}

int32_t LeadingInt(const std::string& text)
{
    const long long value = LeadingInteger(text);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return int32_t(value);
}

} // namespace vistrel
