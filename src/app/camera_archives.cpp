// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/camera_archives.h"

#include "review/archive_watcher.h"

namespace vistrel {

CameraArchives::CameraArchives(std::chrono::milliseconds firstListingWait)
    : firstListingWait_(firstListingWait)
{
}

CameraArchives::~CameraArchives() = default;

std::shared_ptr<const ArchiveIndex> CameraArchives::Index(int camera, const std::string& folder,
                                                          const std::string& suffix)
{
    if (camera < 0 || camera >= kArchiveCameras)
        return nullptr;
    std::shared_ptr<ArchiveWatcher> watcher;
    std::shared_ptr<ArchiveWatcher> replaced;
    {
        std::lock_guard lock(watchersMutex_);
        std::shared_ptr<ArchiveWatcher>& slot = watchers_[size_t(camera)];
        if (!slot || slot->folder() != folder || slot->suffix() != suffix) {
            replaced = std::move(slot);
            slot = std::make_shared<ArchiveWatcher>(folder, suffix, [this] {
                std::lock_guard wake(listedMutex_);
                listed_.notify_all();
            });
        }
        watcher = slot;
    }
    // A replaced watcher joins its thread here, outside the lock, unless a
    // caller still reads it.
    replaced.reset();

    std::unique_lock lock(listedMutex_);
    listed_.wait_for(lock, firstListingWait_,
                     [&] { return watcher->Snapshot()->state() != ArchiveIndex::State::Listing; });
    return watcher->Snapshot();
}

} // namespace vistrel
