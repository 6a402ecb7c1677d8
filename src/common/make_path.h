// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"

#include <string>

namespace vistrel {

// Paths of the settings: '/' is the only separator, and only absolute paths
// are used, since a relative one would land wherever the recorder happens to
// run. Nothing here goes through a shell. Any thread may call these.

// True for an absolute path free of NUL, newline and carriage return.
bool IsUsablePath(const std::string& path);

// Makes sure `folder` exists as a directory, creating each missing folder of
// the path in turn with mkdir (never the root). Fails with EINVAL for an
// empty or unusable path, with mkdir's error when a folder cannot be
// created, and with ENOTDIR when something that is not a directory is in
// the way. Folders made before a failure stay.
FileStatus MakePath(const std::string& folder);

} // namespace vistrel
