// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/instance_lock.h"

#include "settings/registry_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

namespace {

std::string ErrnoText(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

// Creates every missing folder of `path` in turn, each with mode 0700.
bool MakeFolders(const std::string& path, int& error)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = errno;
            return false;
        }
    }
    return true;
}

} // namespace

std::string InstanceLockDir()
{
    return DefaultRegistryFolder().string();
}

InstanceLock::Result InstanceLock::Acquire(const std::string& dir, int wanted)
{
    Result result;
    int error = 0;
    if (dir.empty()) {
        result.error = "No settings store: neither VISTREL_REGISTRY nor a home folder is set";
        return result;
    }
    if (!MakeFolders(dir, error)) {
        result.error = ErrnoText("Cannot create the instance folder " + dir, error);
        return result;
    }
    // The folder may sit in a shared place such as /tmp (a test's store):
    // never follow a link there and never use a folder that another user owns.
    const bool shared = dir.rfind("/tmp/", 0) == 0;
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (shared ? O_NOFOLLOW : 0));
    if (dirFd < 0) {
        result.error = ErrnoText("Cannot open the instance folder " + dir, errno);
        return result;
    }
    struct stat info {};
    if (::fstat(dirFd, &info) != 0 || (shared && info.st_uid != ::getuid())) {
        ::close(dirFd);
        result.error = "The instance folder " + dir + " belongs to another user";
        return result;
    }

    const int first = wanted > 0 ? wanted : 1;
    const int last = wanted > 0 ? wanted : kMaxInstances;
    for (int n = first; n <= last; ++n) {
        const std::string name = "instance-" + std::to_string(n) + ".lock";
        // Close-on-exec: a program we start (the manual's viewer) must not
        // inherit the lock and keep the number after we end.
        const int fd = ::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            result.error = ErrnoText("Cannot open " + dir + "/" + name, errno);
            break;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            result.lock.reset(new InstanceLock(n, fd));
            break;
        }
        const int flockError = errno;
        ::close(fd);
        if (flockError != EWOULDBLOCK) {
            result.error = ErrnoText("Cannot lock " + dir + "/" + name, flockError);
            break;
        }
        if (wanted > 0)
            result.wantedHeld = true;
        else if (n == kMaxInstances)
            result.allTaken = true;
    }
    ::close(dirFd);
    return result;
}

InstanceLock::~InstanceLock()
{
    ::close(fd_);
}

} // namespace vistrel
