// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace vistrel {

// How a file helper went (writing a file, making a folder, deleting an
// image), for its caller to report with the context it knows: which file,
// which camera. error() is 0, or the -errno of the file call that failed.
// As a condition it is true when the helper did its work, so that
// `if (!MakePath(folder))` reads as it says. A plain value; any thread may
// use it.
class FileStatus {
public:
    FileStatus() = default; // done

    // A file call failed with this errno value (EIO for a call that failed
    // without setting one, such as a write that makes no progress).
    static FileStatus Failed(int errnoValue);
    // Nothing could be written because there was nothing to write: no
    // picture, or one that cannot be encoded. No file call was made.
    static FileStatus NothingToWrite() { return FileStatus(0, false); }

    bool ok() const { return done_; }
    explicit operator bool() const { return done_; }
    // -errno of the file call that failed; 0 when it worked or no file call failed.
    int error() const { return error_; }
    // The error in words (strerror); empty when there is none.
    std::string Reason() const;

private:
    FileStatus(int error, bool done)
        : error_(error)
        , done_(done)
    {
    }

    int error_ = 0;
    bool done_ = true;
};

} // namespace vistrel
