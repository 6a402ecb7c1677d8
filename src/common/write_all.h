#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <unistd.h>

namespace vistrel {

// Writes all `size` bytes to `fd`, resuming after signals and short writes.
// False on an error (errno tells which) or a write that makes no progress.
inline bool WriteAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= size_t(written);
    }
    return true;
}

} // namespace vistrel
