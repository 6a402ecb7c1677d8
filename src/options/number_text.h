// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/leading_number.h" // LeadingInteger, LeadingInt

#include <cstdint>
#include <string>

namespace vistrel {

// Numbers as the dialogs read and show them. Parsing and formatting always use
// the C locale: Qt switches the process to the user's locale at start-up, and
// "1,5" must not become 1.5 under one locale and 1 under another.

// The leading decimal number of `text` as strtod reads it (blanks, sign,
// exponent, "inf" and "nan" included); 0 when the text starts with no number.
double LeadingDouble(const std::string& text);

// Whether `text` holds a number where the parsers above look for one: after
// leading blanks an optional sign and a digit (with `decimal`, also a '.'
// and a digit). What follows the number is ignored, as the parsers ignore
// it; "inf", "nan" and an empty field hold no number.
bool StartsWithNumber(const std::string& text, bool decimal);

// Seconds text of the dialogs: "%.3f" of ms × 0.001 (1000 gives "1.000").
std::string FormatFixed3(double value);

// Save Every text to milliseconds, truncated toward zero. NaN gives 0; values
// outside int32 saturate, so the caller's range check sees them as too large
// or too small.
int64_t SecondsTextToMs(const std::string& text);

} // namespace vistrel
