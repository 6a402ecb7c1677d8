// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vistrel {

// The recorder's images are a few hundred kilobytes; a file named like one
// but far larger (a sparse file, something else renamed) is never read.
inline constexpr int64_t kMaxArchiveImageBytes = int64_t(64) << 20;

enum class ArchiveFileStatus {
    Read,
    Gone,       // no such file any more (retention took it)
    NotAFile,   // a link, folder, FIFO or device: never followed, opened or waited on
    TooLarge,   // over kMaxArchiveImageBytes
    Unreadable, // refused or failed (permissions, an I/O error)
};

// How archive images are read by whatever shows or copies them (the review
// window, the exports): the file `name` of the folder open as `dirFd` (or a
// path, with AT_FDCWD) into `data`, the whole file or its first `prefixBytes`.
// Only a regular file within the bound is read, and nothing waits on it: the
// name is not followed when it is a link, and a FIFO or device is never
// opened. Any thread may call it.
ArchiveFileStatus ReadArchiveFile(int dirFd, const std::string& name, std::vector<uint8_t>& data,
                                  size_t prefixBytes = SIZE_MAX);

} // namespace vistrel
