#include "options/path_rules.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace vistrel {

namespace {

bool isDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

} // namespace

bool IsUsablePath(const std::string& path)
{
    return !path.empty() && path.front() == '/' && path.find_first_of(std::string("\0\n\r", 3)) == std::string::npos;
}

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

bool MakePath(const std::string& folder)
{
    if (!IsUsablePath(folder))
        return false;
    if (exists(folder))
        return isDirectory(folder); // a file of that name cannot hold pictures

    // Walk the components from the root, creating each missing one. Only
    // prefixes of the typed text are ever created.
    std::string built;
    size_t pos = 0;
    while (pos < folder.size()) {
        const size_t next = folder.find('/', pos);
        const size_t end = next == std::string::npos ? folder.size() : next;
        if (end > pos) {
            built += '/';
            built.append(folder, pos, end - pos);
            if (!isDirectory(built)) {
                if (::mkdir(built.c_str(), 0777) != 0 && !(errno == EEXIST && isDirectory(built)))
                    return false;
            }
        }
        pos = end + 1;
    }
    return isDirectory(folder);
}

} // namespace vistrel
