// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/atomic_output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

namespace {

// Room left in a 255-byte file name for the dot and the random tail.
constexpr size_t kMaxStem = 200;
constexpr size_t kTailDigits = 8; // hexadecimal, random

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".<stem>.<eight hex digits>.part", the temporary's name.
bool IsTemporaryName(std::string_view name, std::string_view stem)
{
    constexpr std::string_view kTail = ".part";
    const size_t tailAt = 1 + stem.size() + 1 + kTailDigits;
    if (name.size() != tailAt + kTail.size() || name[0] != '.' || name.substr(1, stem.size()) != stem
        || name[1 + stem.size()] != '.' || name.substr(tailAt) != kTail)
        return false;
    const std::string_view digits = name.substr(2 + stem.size(), kTailDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// Removes the temporaries of this output that earlier exports left (killed
// before they could clean up). Every export holds a lock on its temporary
// while it writes, so one in progress, in this process or another, is left
// alone; the kernel drops the lock of a process however it ends.
void RemoveLeftovers(const std::string& folder, const std::string& stem)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir)) {
        if (!IsTemporaryName(entry->d_name, stem))
            continue;
        const int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlinkat(dirfd(dir), entry->d_name, 0);
        close(fd);
    }
    closedir(dir);
}

// True while `fd` is still the file at `path` (no other export took it for
// a leftover between its creation and its lock).
bool StillNamed(int fd, const std::string& path)
{
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev
        && opened.st_ino == named.st_ino;
}

} // namespace

std::string WriteError(const std::string& path, int error)
{
    return "cannot write \"" + path + "\": " + std::strerror(error);
}

std::unique_ptr<AtomicOutput> AtomicOutput::Create(const std::string& path, std::string& error)
{
    struct stat st;
    if (path.empty() || path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
        error = WriteError(path, EISDIR);
        return nullptr;
    }
    const std::string folder = FolderOf(path);
    const std::string stem = NameOf(path).substr(0, kMaxStem);
    RemoveLeftovers(folder, stem);
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tail[16];
        std::snprintf(tail, sizeof tail, ".%0*x", int(kTailDigits), unsigned(entropy()));
        std::string temporary = folder + "/." + stem + tail + ".part";
        // 0666 less the umask, as any new file of the user's.
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            error = WriteError(path, errno);
            return nullptr;
        }
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd, temporary))
            return std::unique_ptr<AtomicOutput>(new AtomicOutput(path, std::move(temporary), fd));
        close(fd);
    }
    error = WriteError(path, EEXIST);
    return nullptr;
}

AtomicOutput::AtomicOutput(std::string path, std::string temporary, int fd)
    : path_(std::move(path))
    , temporary_(std::move(temporary))
    , fd_(fd)
{
}

AtomicOutput::~AtomicOutput()
{
    if (fd_ >= 0)
        close(fd_);
    if (!committed_)
        unlink(temporary_.c_str());
}

bool AtomicOutput::Commit(std::string& error)
{
    // Renamed before it is closed, so the lock that tells it from a leftover
    // holds until it has its final name; fsync has reported any write error.
    if (fsync(fd_) != 0 || rename(temporary_.c_str(), path_.c_str()) != 0) {
        error = WriteError(path_, errno);
        return false;
    }
    committed_ = true;
    close(std::exchange(fd_, -1));
    // The rename itself reaches the disk with the folder.
    const int folder = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

} // namespace vistrel
