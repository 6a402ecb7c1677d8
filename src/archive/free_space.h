// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"

#include <cstdint>
#include <string>

namespace vistrel {

// One file system as statfs sees it: the space an unprivileged writer may
// still use (f_bavail × f_frsize; none at all once its inodes are gone) and
// its size.
struct FileSystemSpace {
    uint64_t device = 0; // st_dev of the folder asked about
    uint64_t freeBytes = 0;
    uint64_t totalBytes = 0;
};

// The file system holding `folder`. Any thread.
FileStatus ReadFileSystemSpace(const std::string& folder, FileSystemSpace& space);

// The free space to keep on a file system of `totalBytes`, in bytes, for a
// stored KeepFreeMB: kKeepFreeAutomatic is the larger of 1024 MB and 2% of
// the file system, but never more than a quarter of it (a floor larger than
// a small disk would leave it no room to record at all); 0 keeps none.
uint64_t FloorBytes(uint32_t keepFreeMB, uint64_t totalBytes);

// "41.21 GB free, floor 1.00 GB: about 3 days at this rate": how long the
// free space above the floor lasts at `bytesPerSecond` (nothing is said of
// the time when nothing is written).
std::string DescribeSpace(uint64_t freeBytes, uint64_t floorBytes, double bytesPerSecond);

} // namespace vistrel
