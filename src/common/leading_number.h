// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

namespace vistrel {

// The leading decimal integer of a text as strtol reads it (blanks, a sign,
// digits up to the first non-digit); beyond the range of long long it
// saturates instead of wrapping. 0 when there are no digits.
long long LeadingInteger(const std::string& text);

// atoi semantics, saturated to the range of int.
int32_t LeadingInt(const std::string& text);

} // namespace vistrel
