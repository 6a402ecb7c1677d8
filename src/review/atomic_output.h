// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>

namespace vistrel {

// A file written under a hidden temporary name in its final folder and
// renamed over its final path only once it is complete and on disk, so a
// reader never sees half a file and a failed or cancelled export leaves
// nothing behind. The temporary is locked while it is written, so what a
// killed export left is told from one in progress and removed by the next
// export to the same path. Belongs to the one thread that writes it.
class AtomicOutput {
public:
    // The temporary file, made now (so an unwritable folder shows at once),
    // once earlier exports' leftovers of the same path are removed. Null
    // with `error` set when it cannot be made, or the path is a folder.
    static std::unique_ptr<AtomicOutput> Create(const std::string& path, std::string& error);
    ~AtomicOutput(); // removes the temporary file unless committed
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    int fd() const { return fd_; }
    const std::string& temporaryPath() const { return temporary_; }
    const std::string& path() const { return path_; }

    // Flushes the file to disk and renames it over the final path.
    bool Commit(std::string& error);

private:
    AtomicOutput(std::string path, std::string temporary, int fd);

    std::string path_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

// "cannot write "<path>": <reason>" for the errno given.
std::string WriteError(const std::string& path, int error);

} // namespace vistrel
