// SPDX-License-Identifier: GPL-3.0-or-later
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

// A file of that name cannot hold pictures.
FileStatus DirectoryIfOne(const std::string& path)
{
    return isDirectory(path) ? FileStatus() : FileStatus::Failed(ENOTDIR);
}

} // namespace

bool IsUsablePath(const std::string& path)
{
    return !path.empty() && path.front() == '/' && path.find_first_of(std::string("\0\n\r", 3)) == std::string::npos;
}

FileStatus MakePath(const std::string& folder)
{
    if (!IsUsablePath(folder))
        return FileStatus::Failed(EINVAL);
    if (exists(folder))
        return DirectoryIfOne(folder);

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
            if (!isDirectory(built) && ::mkdir(built.c_str(), 0777) != 0) {
                const int error = errno;
                // Another may have made it meanwhile; a file in the way is no folder.
                if (error != EEXIST)
                    return FileStatus::Failed(error);
                if (const FileStatus made = DirectoryIfOne(built); !made)
                    return made;
            }
        }
        pos = end + 1;
    }
    return DirectoryIfOne(folder);
}

} // namespace vistrel
