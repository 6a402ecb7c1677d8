// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

// Value types as the registry numbers them; any other number is kept as is.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// One stored value: its type and its bytes exactly as written (a REG_SZ
// holds its terminating zero).
struct RegValue {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;

    bool operator==(const RegValue&) const = default;
};

struct RegEntry {
    std::string name; // "" is the key's default value, written as @
    RegValue value;
};

// The contents of one key's values.reg.
struct RegFile {
    std::string keyName;          // the text between the brackets, e.g. "HKEY_LOCAL_MACHINE\Software"
    std::vector<RegEntry> values; // in the order of their first write
    bool header = false;          // the first line that is not blank is REGEDIT4
    int valueLines = 0;           // lines (continued lists as one) read as values, repeated names included
    int skippedLines = 0;         // lines that could not be parsed (and were left out)
};

// Reads the REGEDIT4 text of one key. Pure and total: any bytes in, never
// throws or crashes; a line it cannot parse is counted and skipped, and
// values after a second [key] line are ignored because they belong to
// another key. A name written twice keeps its first position and the later
// value. Lines may end in any number of carriage returns before the line feed.
RegFile ParseRegFile(std::string_view text);

// Why a parsed file is not a key file at all, or nullptr when it is one:
// it has lines but not the REGEDIT4 header, or more lines skipped than read
// as values (single bad lines in a good file are only skipped). The caller
// must not replace such a file without keeping it.
const char* WhyNotAKeyFile(const RegFile& file);

// The REGEDIT4 text of one key: header, blank line, [key], one value a line.
// A REG_SZ that the quoted form cannot carry (no single terminating zero, or
// a line break inside) is written as hex(1): so its bytes survive.
std::string FormatRegFile(const RegFile& file);

// True when the quoted form can carry the name (no line breaks, no zero byte).
bool IsStorableValueName(std::string_view name);

// Value and key names compare without regard to letter case.
bool NamesEqual(std::string_view a, std::string_view b);

// The entry of that name, or nullptr.
RegEntry* FindValue(RegFile& file, std::string_view name);
const RegEntry* FindValue(const RegFile& file, std::string_view name);

} // namespace vistrel
