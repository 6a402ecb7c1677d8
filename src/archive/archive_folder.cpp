#include "archive/archive_folder.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

bool SavedAfter(std::string_view name, std::time_t now)
{
    constexpr size_t kTimeDigits = 10;
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9')
        ++digits;
    if (digits <= kTimeDigits)
        return false; // no collision number behind ten time digits
    uint64_t saved = 0;
    for (size_t i = 0; i < kTimeDigits; ++i)
        saved = saved * 10 + uint64_t(name[i] - '0');
    // Save times are unsigned 32-bit; a larger value is a pre-2001 time
    // followed by a collision number of two digits or more.
    return saved <= UINT32_MAX && int64_t(saved) > int64_t(now);
}

void SortOldestFirst(std::vector<ArchiveEntry>& entries, std::time_t now)
{
    const auto firstOfNow = std::stable_partition(entries.begin(), entries.end(),
                                                  [now](const ArchiveEntry& e) { return SavedAfter(e.name, now); });
    const auto byName = [](const ArchiveEntry& a, const ArchiveEntry& b) { return a.name < b.name; };
    std::sort(entries.begin(), firstOfNow, byName);
    std::sort(firstOfNow, entries.end(), byName);
}

std::vector<ArchiveEntry> ListArchive(const std::string& folder, std::string_view suffix, bool withSizes,
                                      std::time_t now)
{
    std::vector<ArchiveEntry> entries;
    // The pattern is "<folder>/*-Cam..": an empty folder means the root, as
    // it does for the names the image thread writes.
    const std::string dirPath = folder + "/";
    DIR* dir = opendir(dirPath.c_str());
    if (!dir)
        return entries;
    const int fd = dirfd(dir);

    while (const dirent* e = readdir(dir)) {
        const std::string_view name(e->d_name);
        if (!MatchesArchivePattern(name, suffix))
            continue;
        ArchiveEntry entry{std::string(name)};
        const bool typeKnown = e->d_type != DT_UNKNOWN && e->d_type != DT_LNK;
        if (withSizes || !typeKnown) {
            struct stat st;
            if (fstatat(fd, e->d_name, &st, 0) == 0) {
                entry.folder = S_ISDIR(st.st_mode);
                if (!entry.folder)
                    entry.bytes = st.st_size;
            } else if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue; // gone since the listing
            }
            // else a dangling link: a file of no size
        } else {
            entry.folder = e->d_type == DT_DIR;
        }
        entries.push_back(std::move(entry));
    }
    closedir(dir);

    SortOldestFirst(entries, now);
    return entries;
}

DeleteResult DeleteArchiveFile(const std::string& folder, const std::string& name, int64_t& bytes)
{
    // Both refusals concern the folder (its permissions, its file system),
    // not the file: every other image there would be refused the same way.
    const auto failure = [](int error) {
        if (error == ENOENT || error == ENOTDIR)
            return DeleteResult::Vanished;
        return error == EACCES || error == EROFS ? DeleteResult::FolderRefused : DeleteResult::Failed;
    };
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return failure(errno);
    if (!S_ISREG(st.st_mode))
        return DeleteResult::NotAFile;
    // unlink never removes a folder, even one that took the file's place since lstat.
    if (unlink(path.c_str()) != 0)
        return failure(errno);
    bytes = st.st_size;
    return DeleteResult::Deleted;
}

} // namespace vistrel
