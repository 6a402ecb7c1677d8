// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

// Writes a ZIP archive of stored (uncompressed: JPEG does not shrink)
// entries to a file descriptor, in one pass with no seeking back. Archives
// beyond 65,535 entries or 4 GiB get the ZIP64 records every current unzip
// tool reads. Names are not kept (a month of images would make that a lot
// of memory): Finish asks for each again, in the order they were added.
// Belongs to the one thread that writes the archive.
class ZipWriter {
public:
    explicit ZipWriter(int fd);

    // One entry of `size` bytes (under 4 GiB), dated at a local time.
    bool Add(std::string_view name, const uint8_t* data, size_t size, int64_t modifiedSeconds);
    // The central directory; `nameOf(i)` gives the name of the i-th entry.
    bool Finish(const std::function<std::string(size_t)>& nameOf);

    size_t entries() const { return entries_.size(); }
    // errno of the write that failed.
    int error() const { return error_; }

private:
    struct Entry {
        uint64_t offset = 0;
        uint32_t crc = 0;
        uint32_t size = 0;
        uint32_t dosTime = 0; // date in the high 16 bits
    };

    bool Write(const void* data, size_t size);

    int fd_;
    uint64_t offset_ = 0;
    int error_ = 0;
    std::vector<Entry> entries_;
};

} // namespace vistrel
