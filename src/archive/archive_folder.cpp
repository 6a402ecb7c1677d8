// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_folder.h"

#include "common/temporary_name.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
    return key.seconds > farAhead_ ? 0 : 2;
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
        const bool leftover = !image && name.starts_with('.')
            && MatchesArchivePattern(TemporaryTarget(name, &token), suffix_) && token != TemporaryToken();
        if (!image && !leftover)
            continue;
        // Regular files only: a folder or link so named is no image of ours.
        int64_t bytes = 0;
        if (sizes_ || e->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(dir_), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
                continue; // gone since the listing, or not a file
            bytes = st.st_size;
        } else if (e->d_type != DT_REG) {
            continue;
        }
        entry.name.assign(name);
        entry.key = image ? ArchiveNameStamp(name) : ArchiveStamp();
        entry.bytes = sizes_ ? bytes : 0;
        if (leftover)
            entry.kind = ArchiveEntry::Kind::Leftover;
        else
            entry.kind = sizes_ && bytes == 0 ? ArchiveEntry::Kind::Empty : ArchiveEntry::Kind::Image;
        return true;
    }
    return false;
}

FileStatus ArchiveFolderReader::Remove(const ArchiveEntry& entry)
{
    if (!dir_)
        return FileStatus::Failed(EBADF);
    return ::unlinkat(::dirfd(dir_), entry.name.c_str(), 0) == 0 ? FileStatus() : FileStatus::Failed(errno);
}

bool ArchiveFolderReader::Torn(const ArchiveEntry& entry)
{
    if (!dir_)
        return false;
    // Never blocks on a FIFO nor follows a link that took the name since.
    const int fd = ::openat(::dirfd(dir_), entry.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool torn = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        uint8_t end[2] = {};
        torn = st.st_size < 2
            || (::pread(fd, end, 2, st.st_size - 2) == 2 && (end[0] != 0xFF || end[1] != 0xD9));
    }
    ::close(fd);
    return torn;
}

FolderId IdentifyFolder(const std::string& folder)
{
    struct stat st;
    if (::stat((folder + "/").c_str(), &st) != 0)
        return {};
    return {true, uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

ArchiveDeletion DeleteArchiveFile(const std::string& folder, const std::string& name)
{
    // Both refusals concern the folder (its permissions, its file system),
    // not the file: every other image there would be refused the same way.
    const auto failure = [](int error) {
        ArchiveDeletion deletion;
        deletion.status = FileStatus::Failed(error);
        if (error == ENOENT || error == ENOTDIR)
            deletion.result = DeleteResult::Vanished;
        else
            deletion.result = error == EACCES || error == EROFS ? DeleteResult::FolderRefused : DeleteResult::Failed;
        return deletion;
    };
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return failure(errno);
    if (!S_ISREG(st.st_mode))
        return {DeleteResult::NotAFile, {}, 0};
    // unlink never removes a folder, even one that took the file's place since lstat.
    if (unlink(path.c_str()) != 0)
        return failure(errno);
    return {DeleteResult::Deleted, {}, int64_t(st.st_size), st.st_nlink <= 1};
}

} // namespace vistrel
