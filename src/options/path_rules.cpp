// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/path_rules.h"

namespace vistrel {

bool SplitStaticFile(const std::string& staticFile, std::string& folder)
{
    if (staticFile.empty() || staticFile.back() == '/' || staticFile.front() != '/')
        return false;
    const size_t slash = staticFile.rfind('/');
    const size_t dot = staticFile.rfind('.');
    if (dot == std::string::npos || dot < slash)
        return false;
    folder = staticFile.substr(0, slash) + '/';
    return true;
}

std::string NormaliseArchivePath(const std::string& path)
{
    if (path.size() <= 1)
        return path;
    const size_t last = path.find_last_not_of('/');
    if (last == std::string::npos)
        return "/";
    return path.substr(0, last + 1) + '/';
}

} // namespace vistrel
