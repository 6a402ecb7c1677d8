#include "common/make_path.h"

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

bool notADirectory()
{
    errno = ENOTDIR;
    return false;
}

} // namespace

bool IsUsablePath(const std::string& path)
{
    return !path.empty() && path.front() == '/' && path.find_first_of(std::string("\0\n\r", 3)) == std::string::npos;
}

bool MakePath(const std::string& folder)
{
    if (!IsUsablePath(folder)) {
        errno = EINVAL;
        return false;
    }
    if (exists(folder))
        return isDirectory(folder) || notADirectory(); // a file of that name cannot hold pictures

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
                    return errno == EEXIST ? notADirectory() : false;
            }
        }
        pos = end + 1;
    }
    return isDirectory(folder) || notADirectory();
}

} // namespace vistrel
