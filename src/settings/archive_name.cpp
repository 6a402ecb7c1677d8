// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/archive_name.h"

#include <cstdint>

namespace vistrel {

namespace {

constexpr size_t kTimeDigits = 10; // seconds since 1970 from September 2001 on

uint64_t Decimal(std::string_view digits)
{
    uint64_t value = 0;
    for (char c : digits) {
        if (value > UINT64_MAX / 100)
            return UINT64_MAX; // far past anything a key holds
        value = value * 10 + uint64_t(c - '0');
    }
    return value;
}

} // namespace

std::string ArchiveSuffix(int instance, int camera)
{
    return "-Cam" + std::to_string(instance) + char('A' + camera) + ".jpg";
}

std::string ArchiveFileName(uint32_t time, uint32_t number, int instance, int camera)
{
    return ArchiveFileName(ArchiveStamp(time, number), ArchiveSuffix(instance, camera));
}

std::string ArchiveFileName(ArchiveStamp stamp, std::string_view suffix)
{
    std::string name = std::to_string(stamp.seconds) + std::to_string(stamp.sequence);
    name += suffix;
    return name;
}

ArchiveStamp ArchiveNameStamp(std::string_view name)
{
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9')
        ++digits;
    if (digits < 2)
        return {};
    const size_t timeDigits = digits > kTimeDigits ? kTimeDigits : digits - 1;
    const uint64_t time = Decimal(name.substr(0, timeDigits));
    if (time > UINT32_MAX)
        return {};
    return ArchiveStamp(uint32_t(time), Decimal(name.substr(timeDigits, digits - timeDigits)));
}

ArchiveStamp ArchiveFileStamp(std::string_view name, std::string_view suffix)
{
    if (!name.ends_with(suffix))
        return {};
    const ArchiveStamp stamp = ArchiveNameStamp(name);
    // Made again, the name must be the same: the digits run up to the suffix,
    // with no leading zero and no number the stamp cannot hold.
    if (!stamp.Valid() || ArchiveFileName(stamp, suffix) != name)
        return {};
    return stamp;
}

} // namespace vistrel
