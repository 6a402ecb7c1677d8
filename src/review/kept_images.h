// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vistrel {

// The folder of a camera's kept images, "<archive folder>/Kept": neither the
// retention nor the storage floor looks into it (they list the archive
// folder itself only), so what is kept there stays until someone removes it.
std::string KeptFolder(const std::string& archiveFolder);

// How keeping a range of images went.
struct KeepResult {
    size_t kept = 0;   // images now in the kept folder (those already there included)
    size_t copied = 0; // of them, copied because a hard link was not possible
    size_t failed = 0;
    FileStatus firstFailure; // why the first failure failed
};

// Keeps the named archive images of `archiveFolder` in its kept folder (made
// when missing): a hard link each, which costs no space, or a copy where the
// file system takes no link. An image already kept stays as it is; one gone
// meanwhile counts as failed. Any thread.
KeepResult KeepImages(const std::string& archiveFolder, const std::vector<std::string>& names);

} // namespace vistrel
