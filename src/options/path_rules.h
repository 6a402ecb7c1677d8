#pragma once

#include <string>

namespace vistrel {

// Paths typed into the options dialog. '/' is the only separator. Only
// absolute paths are accepted: a relative one would land wherever the
// recorder happens to run. Nothing here goes through a shell.

// True for an absolute path free of NUL, newline and carriage return.
bool IsUsablePath(const std::string& path);

// The syntax rule of the static file: absolute, not ending in '/', and the
// last '.' after the last '/'. On success `folder` is the text up to the last
// '/' with one '/' appended. The extension itself is not checked.
bool SplitStaticFile(const std::string& staticFile, std::string& folder);

// The archive folder as stored: longer than one character, every trailing
// '/' is removed and exactly one appended; otherwise unchanged.
std::string NormaliseArchivePath(const std::string& path);

// Makes sure `folder` exists as a directory, creating each missing folder of
// the path in turn with mkdir (never the root). False for an empty or
// unusable path, or when a folder cannot be created or something that is not
// a directory is in the way. Folders made before a failure stay.
bool MakePath(const std::string& folder);

} // namespace vistrel
