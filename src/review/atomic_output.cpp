#include "review/atomic_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

namespace {

// Room left in a 255-byte file name for the dot and the random tail.
constexpr size_t kMaxStem = 200;

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
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tail[16];
        std::snprintf(tail, sizeof tail, ".%08x", unsigned(entropy()));
        std::string temporary = folder + "/." + stem + tail + ".part";
        // 0666 less the umask, as any new file of the user's.
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return std::unique_ptr<AtomicOutput>(new AtomicOutput(path, std::move(temporary), fd));
        if (errno != EEXIST) {
            error = WriteError(path, errno);
            return nullptr;
        }
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
    if (fsync(fd_) != 0 || close(std::exchange(fd_, -1)) != 0) {
        error = WriteError(path_, errno);
        return false;
    }
    if (rename(temporary_.c_str(), path_.c_str()) != 0) {
        error = WriteError(path_, errno);
        return false;
    }
    committed_ = true;
    // The rename itself reaches the disk with the folder.
    const int folder = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

} // namespace vistrel
