// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/free_space.h"

#include "common/text_format.h"
#include "settings/storage_room.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace vistrel {

namespace {

constexpr uint64_t kMB = 1024 * 1024;

std::string About(double seconds)
{
    const auto count = [](double value, const char* unit) {
        const long long n = std::max(1LL, std::llround(value));
        return StringPrintf("about %lld %s%s", n, unit, n == 1 ? "" : "s");
    };
    if (seconds >= 2 * 86400.0)
        return count(seconds / 86400, "day");
    if (seconds >= 2 * 3600.0)
        return count(seconds / 3600, "hour");
    return count(seconds / 60, "minute");
}

} // namespace

FileStatus ReadFileSystemSpace(const std::string& folder, FileSystemSpace& space)
{
    const std::string path = folder + "/";
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return FileStatus::Failed(errno);
    struct statvfs fs;
    if (::statvfs(path.c_str(), &fs) != 0)
        return FileStatus::Failed(errno);
    space.device = uint64_t(st.st_dev);
    space.totalBytes = uint64_t(fs.f_blocks) * fs.f_frsize;
    // A file system out of inodes takes no new file, whatever its pages.
    const bool noInodes = fs.f_files > 0 && fs.f_favail == 0;
    space.freeBytes = noInodes ? 0 : uint64_t(fs.f_bavail) * fs.f_frsize;
    return {};
}

uint64_t FloorBytes(uint32_t keepFreeMB, uint64_t totalBytes)
{
    if (keepFreeMB != kKeepFreeAutomatic)
        return uint64_t(keepFreeMB) * kMB;
    const uint64_t floor = std::max<uint64_t>(1024 * kMB, totalBytes / 50);
    return std::min(floor, totalBytes / 4);
}

std::string DescribeSpace(uint64_t freeBytes, uint64_t floorBytes, double bytesPerSecond)
{
    std::string text = FormatSize(double(freeBytes)) + " free";
    if (floorBytes > 0)
        text += ", floor " + FormatSize(double(floorBytes));
    if (floorBytes > 0 && freeBytes <= floorBytes)
        return text + ": at the floor, the oldest images make room";
    if (bytesPerSecond > 0)
        text += ": " + About(double(freeBytes - floorBytes) / bytesPerSecond) + " at this rate";
    return text;
}

} // namespace vistrel
