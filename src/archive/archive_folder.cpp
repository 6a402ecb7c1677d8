#include "archive/archive_folder.h"

#include "common/temporary_name.h"

#include <algorithm>
#include <cerrno>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

DeletionOrder::DeletionOrder(std::time_t now, int64_t periodSeconds)
    : farAhead_(uint64_t(std::max<int64_t>(int64_t(now) + std::max<int64_t>(periodSeconds, 0), 0)))
{
}

int DeletionOrder::Rank(ArchiveStamp key) const
{
    if (!key.Valid())
        return 1;
    return key.Time() > farAhead_ ? 0 : 2;
}

bool DeletionOrder::Before(ArchiveStamp a, std::string_view nameA, ArchiveStamp b, std::string_view nameB) const
{
    return std::make_tuple(Rank(a), a, nameA) < std::make_tuple(Rank(b), b, nameB);
}

ArchiveFolderReader::ArchiveFolderReader(const std::string& folder, std::string_view suffix, bool sizes)
    : suffix_(suffix)
    , sizes_(sizes)
{
    // The pattern is "<folder>/*-Cam..": an empty folder means the root, as
    // it does for the names the image thread writes.
    dir_ = ::opendir((folder + "/").c_str());
    if (!dir_)
        openError_ = errno;
}

ArchiveFolderReader::~ArchiveFolderReader()
{
    if (dir_)
        ::closedir(dir_);
}

bool ArchiveFolderReader::Next(ArchiveEntry& entry)
{
    if (!dir_)
        return false;
    while (const dirent* e = ::readdir(dir_)) {
        const std::string_view name(e->d_name);
        const bool image = MatchesArchivePattern(name, suffix_);
        std::string_view token;
        const bool temporary = !image && name.starts_with('.')
            && MatchesArchivePattern(TemporaryTarget(name, &token), suffix_);
        if (!image && !(temporary && token != TemporaryToken()))
            continue;
        entry.name.assign(name);
        entry.key = image ? ArchiveNameStamp(name) : ArchiveStamp();
        entry.bytes = 0;
        if (temporary) {
            entry.kind = ArchiveEntry::Kind::Leftover;
            return true;
        }
        if (!sizes_ && (e->d_type == DT_REG || e->d_type == DT_DIR)) {
            entry.kind = e->d_type == DT_REG ? ArchiveEntry::Kind::Image : ArchiveEntry::Kind::Other;
            return true;
        }
        struct stat st;
        if (::fstatat(::dirfd(dir_), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since the listing
        if (!sizes_) {
            entry.kind = S_ISREG(st.st_mode) ? ArchiveEntry::Kind::Image : ArchiveEntry::Kind::Other;
        } else if (S_ISREG(st.st_mode)) {
            entry.kind = st.st_size > 0 ? ArchiveEntry::Kind::Image : ArchiveEntry::Kind::Empty;
            entry.bytes = st.st_size;
        } else {
            entry.kind = ArchiveEntry::Kind::Other;
            // A link counts with what it points to, as the folder's listing shows it.
            struct stat target;
            if (S_ISLNK(st.st_mode) && ::fstatat(::dirfd(dir_), e->d_name, &target, 0) == 0 && S_ISREG(target.st_mode))
                entry.bytes = target.st_size;
        }
        return true;
    }
    return false;
}

bool ArchiveFolderReader::Remove(const ArchiveEntry& entry)
{
    return dir_ && ::unlinkat(::dirfd(dir_), entry.name.c_str(), 0) == 0;
}

FolderId IdentifyFolder(const std::string& folder)
{
    struct stat st;
    if (::stat((folder + "/").c_str(), &st) != 0)
        return {};
    return {true, uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

DeleteResult DeleteArchiveFile(const std::string& folder, const std::string& name, int64_t& bytes)
{
    // Both refusals concern the folder (its permissions, its file system),
    // not the file: every other image there would be refused the same way.
    const auto failure = [](int error) {
        errno = error;
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
