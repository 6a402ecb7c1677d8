// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "archive/archive_folder.h"
#include "review/archive_index.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vistrel {

// Lists one camera's archive folder once and then follows it: images the
// recorder adds, images retention (or a person) deletes, the folder itself
// vanishing and coming back, its path made to name another folder. Sizes
// are read after the names, so the names alone open the timeline. Runs its
// own thread, started by the constructor and joined by the destructor;
// Snapshot() and namesListed() may be called from any thread, and `changed`
// is called on the watcher's thread after every new snapshot, so it must
// only hand the news on.
class ArchiveWatcher {
public:
    ArchiveWatcher(std::string folder, std::string suffix, std::function<void()> changed);
    ~ArchiveWatcher();
    ArchiveWatcher(const ArchiveWatcher&) = delete;
    ArchiveWatcher& operator=(const ArchiveWatcher&) = delete;

    std::shared_ptr<const ArchiveIndex> Snapshot() const;
    // Names read so far by a listing in progress.
    size_t namesListed() const { return listed_.load(std::memory_order_relaxed); }
    const std::string& folder() const { return folder_; }
    const std::string& suffix() const { return suffix_; }

private:
    // Pending changes by key, in the order seen: a size for an image that
    // appeared (or was rewritten), none for one that went.
    using Changes = std::map<ArchiveKey, std::optional<uint32_t>>;
    enum class Wake { Events, Timeout, Stop };

    void Run();
    bool OpenFolder();
    void CloseFolder();
    void Follow();
    Wake Wait(int timeoutMs);
    // Reads every waiting event into `changes`; false when the folder went
    // away or events were lost, so it must be listed again.
    bool ReadEvents(Changes& changes);
    void Publish(std::vector<ArchiveImage> images, ArchiveIndex::State state);

    const std::string folder_;
    const std::string suffix_;
    const std::function<void()> changed_;

    std::atomic<bool> stop_{false};
    std::atomic<size_t> listed_{0};
    int wakeFd_ = -1;    // eventfd: the destructor's stop request
    int inotifyFd_ = -1; // -1: no inotify; the folder is listed again now and then
    int watch_ = -1;
    int dirFd_ = -1;
    FolderId opened_; // the folder dirFd_ holds open
    std::shared_ptr<const ArchiveIndex> current_; // the watcher thread's own reference

    mutable std::mutex snapshotMutex_; // guards snapshot_
    std::shared_ptr<const ArchiveIndex> snapshot_;

    std::thread thread_; // last: starts once everything above is ready
};

} // namespace vistrel
