// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/archive_counters.h"
#include "settings/instance_settings.h"
#include "common/frame.h"
#include "common/recorder_display.h"
#include "common/timed_lock.h"
#include "common/video_source.h"
#include "pipeline/motion.h"
#include "pipeline/motion_events.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vistrel {

class LiveFrames;

// The clocks the image thread reads: a monotonic one for pacing and the
// seconds since 1970 for archive names. Tests substitute their own.
struct ImageClock {
    std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
    std::function<uint32_t()> unixTime = [] { return uint32_t(std::time(nullptr)); };
};

// The work of the image thread, one timer tick at a time: pacing, the
// multiplex cycle, the per-camera steps, the save decisions and the settings
// reload. Lives on the image thread: CImageThread forwards its messages and
// ticks here, and no other thread touches it. It reads InstanceSettings only
// while reloading, under SettingsLock, and writes it only to switch
// multiplexing off. Motion events go to the sink it is given (none: no
// events); posting never blocks.
class ImageStepper {
public:
    static constexpr int kTickMs = 100;
    static constexpr int kIdleMs = 500; // capture not running

    // `counterLockWait` bounds the waits for the archive counters' locks.
    ImageStepper(IRecorderDisplay& display, IVideoSource& source, InstanceSettings& settings, ImageClock clock = {},
                 std::chrono::milliseconds counterLockWait = kLockWait, IEventSink* events = nullptr);

    // Where the pictures for remote viewers go (none: nowhere); set before
    // the thread starts. It must outlive the stepper.
    void SetLiveFrames(LiveFrames* live) { live_ = live; }

    void RequestQuit() { quitRequested_ = true; }
    void RequestReload() { reloadRequested_ = true; }

    // WM_THREAD_START: loads the settings; returns the delay of the first timer.
    int Start();
    // One timer tick. The delay of the next timer in ms, or nothing when the
    // thread is to end.
    std::optional<int> Tick();

    // Copies the settings and resets every camera's displays. False when
    // SettingsLock was not obtained: nothing changed and the reload stays requested.
    bool ReloadSettings();
    // Pacing and one frame; returns the delay of the next timer in ms.
    int FrameStep();
    // Saves pane `camera`'s image under a new archive name and counts it.
    // The image's path once it is written whole, else empty.
    std::string WriteArchiveImage(int camera);
    // Ends the cameras' open motion events (capture stops, settings change,
    // the thread ends).
    void CloseMotionEvents();

    int TickCount() const { return tickCount_; }
    int TicksToWait() const { return ticksToWait_; }
    int MuxPosition() const { return muxPosition_; }
    bool Multiplexing() const { return enableMux_ != 0; }
    bool ReloadRequested() const { return reloadRequested_; }
    int StaticSavesSinceMotion(int camera) const { return cameras_[size_t(camera)].staticSavesSinceMotion; }
    int ArchiveSavesSinceMotion(int camera) const { return cameras_[size_t(camera)].archiveSavesSinceMotion; }

private:
    // The settings of one camera as this thread uses them, and its save counters.
    struct Camera {
        bool muxerInput = false;
        int triggerLevel = 0;
        int saveCount = 0;
        int rotation = 0; // degrees
        bool horzFlip = false;
        bool vertFlip = false;
        bool enableStaticSave = false;
        bool enableArchiving = false;
        bool enableStaticMotion = false;
        bool enableArchiveMotion = false;
        std::string staticPathFile;
        std::string archivePath;
        int jpegQuality = 0;
        int32_t staticSavesSinceMotion = 0;
        int32_t archiveSavesSinceMotion = 0;
    };
    void ProcessFrame(int camera, std::unique_ptr<Frame> frame);
    // The archive image saved, if any.
    std::string SaveDecisions(int camera, bool motion);
    void PostMotionEdges(int camera, int level, const std::string& savedImage);
    void PublishLive(int camera);
    // A save that finds its disk full while the storage floor is on asks the
    // archive thread for room (RequestRoom) and is tried once more at the
    // next tick (`retry`), from the same picture: the pane keeps it until the
    // camera's next frame, which comes after that tick. The image thread
    // never waits for the archive thread.
    bool SaveFile(int camera, const std::string& path, const std::string& folder, Fault fault, bool retry = false);
    void RequestRoom(int camera, Fault fault);
    void RetrySaves();
    void CountArchiveImage(int camera, const std::string& name, ArchiveStamp key);
    void ReportFault(int camera, Fault fault, const std::string& reason);
    int Finish(std::chrono::steady_clock::time_point start, int intervalMs, int camera, bool multiplexed);
    // Clears EnableMux in the settings; retried at later ticks if the lock is busy.
    void StoreMuxOff();

    IRecorderDisplay& display_;
    IVideoSource& source_;
    InstanceSettings& settings_;
    ImageClock clock_;
    // Counter updates whose lock was busy are made at the next tick.
    ArchiveCounters counters_;
    IEventSink* const events_;
    LiveFrames* live_ = nullptr;

    int32_t tickCount_ = 0;
    int32_t ticksToWait_ = 1;
    bool quitRequested_ = false;
    bool reloadRequested_ = false;
    bool muxOffPending_ = false;
    int32_t muxPosition_ = 0;

    int instanceNumber_ = 1;
    int enableMux_ = 0;
    int muxerSpeed_ = 0;
    int saveEvery_ = 0;
    int enabledInputCount_ = 0;
    std::array<Camera, kCameraCount> cameras_;
    std::array<MotionState, kCameraCount> motion_;
    std::array<MotionEvents, kCameraCount> motionEvents_{MotionEvents('A'), MotionEvents('B'), MotionEvents('C'),
                                                        MotionEvents('D'), MotionEvents('E'), MotionEvents('F'),
                                                        MotionEvents('G'), MotionEvents('H')};
    // Why the static file and the archive images of each camera last failed
    // to save; empty while saving works. The display hears of changes only.
    std::array<std::array<std::string, 2>, kCameraCount> faults_;
    // A save that found the disk full, to try once more at the next tick.
    struct Retry {
        bool due = false;
        std::string path;
        std::string folder;
        ArchiveStamp key; // of an archive image
    };
    std::array<std::array<Retry, 2>, kCameraCount> retries_{}; // [camera][static, archive]
    bool floorOn_ = true; // KeepFreeMB is not 0
    // The static files whose folder was cleaned of an earlier run's temporaries.
    std::array<std::string, kCameraCount> cleanedStatic_;
};

} // namespace vistrel
