// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <unistd.h>

namespace vistrel {

// Writes all `size` bytes to `fd`, resuming after signals and short writes.
// A write that makes no progress fails with EIO.
inline FileStatus WriteAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return FileStatus::Failed(errno);
        if (written == 0)
            return FileStatus::Failed(EIO);
        bytes += written;
        size -= size_t(written);
    }
    return {};
}

} // namespace vistrel
