#pragma once

#include "settings/instance_settings.h"
#include "common/recorder_display.h"
#include "common/timed_lock.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace vistrel {

// Counts every camera's archive, deletes the oldest images beyond each
// camera's retention count, and shows the archive bar and forecast line.
// Lives on the archive thread, which alone calls it (CArchiveThread drives
// it; tests drive it directly). It reads the settings only inside
// TakeSettingsSnapshot and touches each archive counter only under that
// counter's lock, never holding two locks at once.
class ArchiveKeeper {
public:
    enum class Pass { Done, Quit };

    // `dispatch` delivers the messages waiting in the thread's queue; it is
    // called after every file of a pass, so a stop or a settings change can
    // arrive (through RequestQuit and NotifySettingsChanged) in mid-pass.
    ArchiveKeeper(InstanceSettings& settings, IRecorderDisplay& display, std::function<void()> dispatch,
                  std::chrono::milliseconds lockWait = kLockWait);

    void RequestQuit() { quitRequested_ = true; }
    void NotifySettingsChanged() { settingsChanged_ = true; }
    bool QuitRequested() const { return quitRequested_; }
    bool SettingsChanged() const { return settingsChanged_; }
    // The next tick must snapshot and count: the settings changed, or a
    // snapshot or count could not get its lock in time.
    bool CountDue() const { return settingsChanged_ || countRetry_; }

    // Copies what the passes use from the settings. False when SettingsLock
    // was not obtained in time; the copy is then retried at the next tick.
    bool TakeSettingsSnapshot();
    // Counts the handled cameras not counted since their path last changed.
    // Quit: a stop arrived; the thread must end and nothing of the camera
    // being counted was stored.
    Pass CountArchives();
    // Shows each handled camera's bar and forecast and deletes its surplus,
    // oldest first. Quit: a stop arrived in mid-pass.
    Pass PruneArchives();

    // What the last snapshot made of the settings.
    int32_t IntervalMs() const { return intervalMs_; }
    int32_t MaxImageCount(int camera) const { return maxImageCount_[camera]; }
    int32_t ExpectedCount(int camera) const { return expectedCount_[camera]; }
    bool Counted(int camera) const { return counted_[camera]; }
    // Folder listings made so far; the steady state makes none.
    int64_t ListingCount() const { return listings_; }

private:
    enum class CameraCount { Stored, Quit, Restart };

    bool Handled(int camera) const;
    CameraCount CountCamera(int camera);
    bool ReadCounters(int camera, int32_t& count, int64_t& bytes, uint32_t& lastBytes);
    void StoreCount(int camera, int32_t count, int64_t bytes, uint32_t lastBytes);
    void SubtractDeleted(int camera, int64_t bytes);
    Pass DeleteSurplus(int camera, int32_t surplus, bool resize);
    void ListForDeletion(int camera, const std::deque<std::string>& setAside);

    InstanceSettings& settings_;
    IRecorderDisplay& display_;
    const std::function<void()> dispatch_;
    const std::chrono::milliseconds lockWait_;

    // Set by the thread's message handlers, read by the passes; one thread only.
    bool quitRequested_ = false;
    bool settingsChanged_ = false;
    bool countRetry_ = false;

    // The snapshot.
    bool haveSnapshot_ = false;
    bool muxEnabled_ = false;
    int32_t instance_ = 1;
    int32_t intervalMs_ = 1000;
    std::array<int32_t, kCameraCount> muxInputs_{};
    std::array<int32_t, kCameraCount> expectedCount_{};
    std::array<int32_t, kCameraCount> maxImageCount_{};
    std::array<std::string, kCameraCount> archivePath_;
    std::array<std::string, kCameraCount> suffix_;

    std::array<bool, kCameraCount> counted_{};
    // Names of the last listing still to be deleted, oldest first, so that
    // one deletion per tick does not list a folder of many thousand images.
    std::array<std::deque<std::string>, kCameraCount> kept_;
    // Deleted but not yet subtracted from the counters: their lock wait ran out.
    std::array<int32_t, kCameraCount> pendingCount_{};
    std::array<int64_t, kCameraCount> pendingBytes_{};
    int64_t listings_ = 0;
};

} // namespace vistrel
