// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/make_path.h" // IsUsablePath, MakePath

#include <string>

namespace vistrel {

// Paths typed into the options dialog, by the rules of common/make_path.h.

// The syntax rule of the static file: absolute, not ending in '/', and the
// last '.' after the last '/'. On success `folder` is the text up to the last
// '/' with one '/' appended. The extension itself is not checked.
bool SplitStaticFile(const std::string& staticFile, std::string& folder);

// The archive folder as stored: longer than one character, every trailing
// '/' is removed and exactly one appended; otherwise unchanged.
std::string NormaliseArchivePath(const std::string& path);

} // namespace vistrel
