// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "review/archive_index.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace vistrel {

class ArchiveWatcher;

inline constexpr int kArchiveCameras = 8;

// The archive index of each camera remote viewers ask about: a watcher per
// camera, made on first use and made again when the camera's folder changes,
// so the index follows the recorder's saves and retention without listing
// the folder at every request.
//
// Any thread may call it; the watchers' own threads only wake the waiters.
class CameraArchives {
public:
    explicit CameraArchives(std::chrono::milliseconds firstListingWait = std::chrono::seconds(5));
    ~CameraArchives();
    CameraArchives(const CameraArchives&) = delete;
    CameraArchives& operator=(const CameraArchives&) = delete;

    // The camera's current index of `folder`, waiting at most the first
    // listing's bound for a watcher just made; null for a camera out of range.
    std::shared_ptr<const ArchiveIndex> Index(int camera, const std::string& folder, const std::string& suffix);

private:
    const std::chrono::milliseconds firstListingWait_;

    std::mutex watchersMutex_; // guards watchers_; never held while waiting for a listing
    std::array<std::shared_ptr<ArchiveWatcher>, kArchiveCameras> watchers_;

    std::mutex listedMutex_; // pairs with listed_
    std::condition_variable listed_;
};

} // namespace vistrel
