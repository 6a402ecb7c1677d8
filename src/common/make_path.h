#pragma once

#include <string>

namespace vistrel {

// Paths of the settings: '/' is the only separator, and only absolute paths
// are used, since a relative one would land wherever the recorder happens to
// run. Nothing here goes through a shell. Any thread may call these.

// True for an absolute path free of NUL, newline and carriage return.
bool IsUsablePath(const std::string& path);

// Makes sure `folder` exists as a directory, creating each missing folder of
// the path in turn with mkdir (never the root). False for an empty or
// unusable path (errno EINVAL), or when a folder cannot be created (errno
// from mkdir) or something that is not a directory is in the way (ENOTDIR).
// Folders made before a failure stay.
bool MakePath(const std::string& folder);

} // namespace vistrel
