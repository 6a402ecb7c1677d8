// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_file.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

namespace {

ArchiveFileStatus StatusOf(const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        return ArchiveFileStatus::NotAFile;
    return st.st_size > kMaxArchiveImageBytes ? ArchiveFileStatus::TooLarge : ArchiveFileStatus::Read;
}

ArchiveFileStatus StatusOfError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ArchiveFileStatus::Gone;
    case ELOOP: // O_NOFOLLOW met a link
        return ArchiveFileStatus::NotAFile;
    default:
        return ArchiveFileStatus::Unreadable;
    }
}

} // namespace

ArchiveFileStatus ReadArchiveFile(int dirFd, const std::string& name, std::vector<uint8_t>& data, size_t prefixBytes)
{
    data.clear();
    // Looked at before it is opened, so no device is ever opened; checked
    // again once open, in case the name was replaced in between.
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return StatusOfError(errno);
    if (const ArchiveFileStatus status = StatusOf(st); status != ArchiveFileStatus::Read)
        return status;
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return StatusOfError(errno);
    ArchiveFileStatus status = fstat(fd, &st) == 0 ? StatusOf(st) : StatusOfError(errno);
    if (status == ArchiveFileStatus::Read) {
        // What fstat gave bounds the read, even if the file grows meanwhile.
        data.resize(std::min<size_t>(size_t(st.st_size), prefixBytes));
        size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                status = StatusOfError(errno);
            if (n <= 0)
                break;
            got += size_t(n);
        }
        data.resize(got); // a file cut short since fstat: what is there
    }
    close(fd);
    return status;
}

} // namespace vistrel
