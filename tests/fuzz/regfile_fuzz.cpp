// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/reg_file.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace vistrel;

// Any bytes parse without harm, and what the parser kept survives being
// written out and read back: a key file the recorder wrote itself must
// always load to the same values.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const RegFile first = ParseRegFile(std::string_view(reinterpret_cast<const char*>(data), size));

    RegFile storable;
    storable.keyName = first.keyName;
    for (const RegEntry& entry : first.values) {
        if (IsStorableValueName(entry.name))
            storable.values.push_back(entry);
    }
    if (storable.keyName.find_first_of("\r\n]") != std::string::npos || storable.keyName.find('\0') != std::string::npos)
        return 0;

    const RegFile again = ParseRegFile(FormatRegFile(storable));
    if (again.values.size() != storable.values.size())
        std::abort();
    for (size_t i = 0; i < again.values.size(); ++i) {
        if (!NamesEqual(again.values[i].name, storable.values[i].name) || !(again.values[i].value == storable.values[i].value))
            std::abort();
    }
    return 0;
}
