// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/archive_watcher.h"

#include "review/review_log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMissingRetryMs = 2000;  // a missing folder is looked for again
constexpr int kIdentityCheckMs = 2000; // the path is checked to still name the folder watched
constexpr int kRelistMs = 5000;        // without inotify the folder is listed again
constexpr int kGatherMs = 200;         // a burst of changes makes one snapshot
constexpr size_t kSizeChunk = 256;        // sizes read between two looks at a stop

// IN_CREATE for images linked in (a hard link is never written or moved).
constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<int64_t>(left, 0));
}

} // namespace

ArchiveWatcher::ArchiveWatcher(std::string folder, std::string suffix, std::function<void()> changed)
    : folder_(std::move(folder))
    , suffix_(std::move(suffix))
    , changed_(std::move(changed))
    , wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , inotifyFd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , current_(std::make_shared<const ArchiveIndex>())
    , snapshot_(current_)
{
    if (inotifyFd_ < 0)
        qCInfo(lcReview, "no inotify (%s): the archive is listed again every %d ms", std::strerror(errno), kRelistMs);
    thread_ = std::thread([this] { Run(); });
}

ArchiveWatcher::~ArchiveWatcher()
{
    stop_ = true;
    const uint64_t one = 1;
    if (wakeFd_ >= 0)
        (void)!write(wakeFd_, &one, sizeof one);
    thread_.join();
    CloseFolder();
    if (inotifyFd_ >= 0)
        close(inotifyFd_);
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

std::shared_ptr<const ArchiveIndex> ArchiveWatcher::Snapshot() const
{
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void ArchiveWatcher::Run()
{
    while (!stop_) {
        if (!OpenFolder()) {
            if (current_->state() != ArchiveIndex::State::Missing)
                Publish({}, ArchiveIndex::State::Missing);
            if (Wait(kMissingRetryMs) == Wake::Stop)
                break;
            continue;
        }
        Follow();
        CloseFolder();
    }
}

bool ArchiveWatcher::OpenFolder()
{
    const std::string path = folder_ + "/";
    dirFd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0)
        return false;
    struct stat st;
    if (fstat(dirFd_, &st) == 0)
        opened_ = {true, uint64_t(st.st_dev), uint64_t(st.st_ino)};
    if (inotifyFd_ >= 0) {
        watch_ = inotify_add_watch(inotifyFd_, path.c_str(), kWatchMask);
        if (watch_ < 0)
            qCInfo(lcReview, "cannot watch %s (%s): listing it again every %d ms", path.c_str(), std::strerror(errno),
                   kRelistMs);
    }
    return true;
}

void ArchiveWatcher::CloseFolder()
{
    if (watch_ >= 0)
        inotify_rm_watch(inotifyFd_, watch_);
    watch_ = -1;
    if (dirFd_ >= 0)
        close(dirFd_);
    dirFd_ = -1;
    opened_ = {};
}

ArchiveWatcher::Wake ArchiveWatcher::Wait(int timeoutMs)
{
    if (stop_)
        return Wake::Stop;
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watch_ >= 0 ? inotifyFd_ : -1, POLLIN, 0}};
    int ready;
    do {
        ready = poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (stop_ || (fds[0].revents & POLLIN))
        return Wake::Stop;
    return ready > 0 && (fds[1].revents & POLLIN) ? Wake::Events : Wake::Timeout;
}

bool ArchiveWatcher::ReadEvents(Changes& changes)
{
    alignas(inotify_event) char buffer[64 * 1024];
    while (true) {
        const ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
        if (n <= 0)
            return n == 0 || errno == EAGAIN || errno == EINTR;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW)
                return false; // events were lost: only a new listing knows the folder now
            if (event->wd != watch_)
                continue; // left over from a watch given up before
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                return false;
            if (event->len == 0)
                continue;
            const std::optional<ArchiveKey> key = ParseArchiveName(event->name, suffix_);
            if (!key)
                continue;
            // Whatever the name holds now that is not a regular file (a link
            // is not followed) is no image.
            struct stat st;
            if (!(event->mask & (IN_DELETE | IN_MOVED_FROM))
                && fstatat(dirFd_, event->name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                changes[*key] = uint32_t(std::min<uint64_t>(uint64_t(st.st_size), ArchiveImage::kUnknownBytes - 1));
            else
                changes[*key] = std::nullopt;
        }
    }
}

namespace {

// The images of `old` with the changes applied, still sorted.
std::vector<ArchiveImage> Merge(const std::vector<ArchiveImage>& old, const std::map<ArchiveKey, std::optional<uint32_t>>& changes)
{
    std::vector<ArchiveImage> merged;
    merged.reserve(old.size() + changes.size());
    auto change = changes.begin();
    const auto takeChange = [&] {
        if (change->second)
            merged.push_back({change->first, *change->second});
        ++change;
    };
    for (const ArchiveImage& image : old) {
        while (change != changes.end() && change->first < image.key)
            takeChange();
        if (change != changes.end() && change->first == image.key)
            takeChange();
        else
            merged.push_back(image);
    }
    while (change != changes.end())
        takeChange();
    return merged;
}

} // namespace

void ArchiveWatcher::Follow()
{
    // The watch is in place before the listing starts, so whatever happens
    // while a large folder is read arrives as events afterwards.
    listed_ = 0;
    if (current_->state() != ArchiveIndex::State::Ready)
        Publish({}, ArchiveIndex::State::Listing);
    std::vector<ArchiveImage> images;
    if (!ListArchiveImages(folder_, suffix_, images, stop_, &listed_) || stop_)
        return;
    const size_t namesRead = images.size();
    Publish(std::move(images), ArchiveIndex::State::Ready);
    qCDebug(lcReview, "listed %zu images in %s", namesRead, folder_.c_str());

    // Then the sizes, on a copy published once: the names alone already
    // make the timeline. Changes meanwhile wait in the kernel's queue.
    std::vector<ArchiveImage> sized = current_->images();
    for (size_t at = 0; at < sized.size(); at += kSizeChunk) {
        if (stop_)
            return;
        ReadImageSizes(dirFd_, suffix_, sized, at, at + kSizeChunk);
    }
    Publish(std::move(sized), ArchiveIndex::State::Ready);

    while (true) {
        const Wake wake = Wait(watch_ >= 0 ? kIdentityCheckMs : kRelistMs);
        if (wake == Wake::Stop)
            return;
        // Events tell nothing when the path is made to name another folder
        // (a link pointed elsewhere, a folder moved in its place): the
        // path's identity is compared, as the archive thread does.
        if (wake == Wake::Timeout && (watch_ < 0 || IdentifyFolder(folder_) != opened_))
            return; // time to list again
        if (wake == Wake::Timeout)
            continue;
        Changes changes;
        if (!ReadEvents(changes))
            return;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kGatherMs);
        Wake more;
        while ((more = Wait(RemainingMs(deadline))) == Wake::Events)
            if (!ReadEvents(changes))
                return;
        if (more == Wake::Stop)
            return;
        if (!changes.empty())
            Publish(Merge(current_->images(), changes), ArchiveIndex::State::Ready);
    }
}

void ArchiveWatcher::Publish(std::vector<ArchiveImage> images, ArchiveIndex::State state)
{
    auto next = std::make_shared<const ArchiveIndex>(std::move(images), state, listed_.load());
    {
        std::lock_guard lock(snapshotMutex_);
        snapshot_ = next;
    }
    // The old snapshot is freed here unless a reader still holds it.
    current_ = std::move(next);
    if (changed_)
        changed_();
}

} // namespace vistrel
