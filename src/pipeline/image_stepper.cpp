// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/image_stepper.h"

#include "common/make_path.h"
#include "common/worker_thread.h"
#include "common/text_format.h"
#include "common/timed_lock.h"
#include "pipeline/jpeg.h"
#include "pipeline/live_frames.h"
#include "pipeline/transforms.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

namespace vistrel {

namespace {

constexpr uint32_t kMeterRed = Rgb(255, 0, 0);
constexpr uint32_t kMeterGreen = Rgb(0, 128, 0);
constexpr uint32_t kMeterNavy = Rgb(0, 0, 128);

std::string ArchiveName(const std::string& folder, uint32_t time, uint32_t number, int instance, int camera)
{
    return folder + "/" + ArchiveFileName(time, number, instance, camera);
}

// Any directory entry counts, a dangling link included.
bool NameTaken(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

} // namespace

ImageStepper::ImageStepper(IRecorderDisplay& display, IVideoSource& source, InstanceSettings& settings, ImageClock clock,
                           std::chrono::milliseconds counterLockWait, IEventSink* events)
    : display_(display)
    , source_(source)
    , settings_(settings)
    , clock_(std::move(clock))
    , counters_(settings, counterLockWait)
    , events_(events)
{
}

int ImageStepper::Start()
{
    if (!ReloadSettings())
        reloadRequested_ = true; // tried again at the next tick
    return kTickMs;
}

std::optional<int> ImageStepper::Tick()
{
    if (quitRequested_) {
        CloseMotionEvents();
        return std::nullopt;
    }
    RetrySaves();
    if (muxOffPending_)
        StoreMuxOff();
    // Counter updates that found their lock busy wait no longer than a tick,
    // not until the next archive image, which may be hours away.
    for (int k = 0; k < kCameraCount; ++k)
        counters_.Settle(k);
    if (reloadRequested_)
        ReloadSettings(); // on a lock time-out the request stays for the next tick
    return FrameStep();
}

bool ImageStepper::ReloadSettings()
{
    std::array<OverlaySettings, kCameraCount> overlays;
    std::array<int, kCameraCount> gapS{};
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return false;
        if (muxOffPending_) {
            settings_.EnableMux = 0;
            muxOffPending_ = false;
        }
        enableMux_ = settings_.EnableMux;
        muxerSpeed_ = FrameIntervalMs(settings_.MuxerSpeed);
        saveEvery_ = FrameIntervalMs(settings_.SaveEvery);
        instanceNumber_ = settings_.InstanceNumber;
        floorOn_ = settings_.KeepFreeMB != 0;
        enabledInputCount_ = 0;
        for (size_t k = 0; k < kCameraCount; ++k) {
            Camera& camera = cameras_[k];
            camera.muxerInput = settings_.MuxerInputs[k] != 0;
            if (camera.muxerInput)
                ++enabledInputCount_;
            camera.triggerLevel = settings_.TriggerLevel[k];
            camera.saveCount = settings_.SaveCount[k];
            camera.rotation = RotationDegrees(settings_.Rotation[k]);
            camera.horzFlip = settings_.HorzFlip[k] != 0;
            camera.vertFlip = settings_.VertFlip[k] != 0;
            camera.enableStaticSave = settings_.EnableStaticSave[k] != 0;
            camera.enableArchiving = settings_.EnableArchving[k] != 0;
            camera.enableStaticMotion = settings_.EnableStaticMotion[k] != 0;
            camera.enableArchiveMotion = settings_.EnableArchiveMotion[k] != 0;
            camera.staticPathFile = settings_.StaticPathFile[k];
            camera.archivePath = settings_.ArchivePath[k];
            camera.jpegQuality = settings_.JpegQuality[k];
            // Motion-only saving waits for the first frame with motion.
            camera.staticSavesSinceMotion = camera.saveCount;
            camera.archiveSavesSinceMotion = camera.saveCount;
            overlays[k] = settings_.Overlay(int(k));
            gapS[k] = settings_.EventGapS[k];
        }
    }

    // An event open under the old settings ends at its last kept frame.
    CloseMotionEvents();
    for (size_t k = 0; k < kCameraCount; ++k)
        motionEvents_[k].SetRules(cameras_[k].triggerLevel, cameras_[k].saveCount, gapS[k]);

    // The display resets come after the lock is released: no lock is held
    // while calling into the user interface.
    for (int k = 0; k < kCameraCount; ++k) {
        const Camera& camera = cameras_[size_t(k)];
        // What a crash or a power cut left of a save of the static file;
        // archive folders are the archive thread's to clean.
        if (cleanedStatic_[size_t(k)] != camera.staticPathFile) {
            RemoveLeftoverTemporaries(camera.staticPathFile);
            cleanedStatic_[size_t(k)] = camera.staticPathFile;
        }
        // Saving switched off cannot be failing.
        if (!camera.enableStaticSave)
            ReportFault(k, Fault::StaticSave, {});
        if (!camera.enableArchiving)
            ReportFault(k, Fault::ArchiveSave, {});
        ICameraPane& pane = display_.Pane(k);
        pane.SetHasPicture(false);
        display_.SetMeterBarColour(k, Meter::Motion, kMeterNavy);
        display_.SetMeterText(k, Meter::Motion, " ");
        display_.SetMeterPos(k, Meter::Motion, 0);
        display_.SetMeterText(k, Meter::Archive, " ");
        display_.SetMeterPos(k, Meter::Archive, 0);
        display_.SetLabelText(k, Label::FrameRate, " ");
        display_.SetLabelText(k, Label::Forecast, " ");
        pane.SetOverlaySettings(overlays[size_t(k)]);
    }

    source_.SetGrabIntervalMs(enableMux_ && enabledInputCount_ > 0 ? muxerSpeed_ : saveEvery_);

    // The manual input choice of the setup window holds only without multiplexing.
    if (enableMux_) {
        source_.SetInputListEnabled(false);
    } else if (source_.ListInputs() >= 1) {
        source_.SetInputListEnabled(true);
        const int selection = source_.InputListSelection();
        if (selection >= 0)
            source_.SelectInput(selection);
    }

    tickCount_ = 0;
    reloadRequested_ = false;
    return true;
}

int ImageStepper::FrameStep()
{
    if (!source_.IsRunning()) {
        CloseMotionEvents(); // no frames are coming to end them
        return kIdleMs;      // not counted as a tick
    }

    ++tickCount_;
    if (tickCount_ <= ticksToWait_)
        return kTickMs;
    tickCount_ = 0;
    const auto start = clock_.now();

    // Multiplexing with no input taking part has nowhere to go: frames then
    // belong to camera A as without multiplexing.
    if (!enableMux_ || enabledInputCount_ == 0) {
        std::unique_ptr<Frame> frame = source_.GrabFrame();
        if (!frame)
            return kTickMs;
        ProcessFrame(0, std::move(frame));
        return Finish(start, saveEvery_, 0, false);
    }

    // The frame grabbed now was captured while input `current` was routed.
    const int current = muxPosition_;
    const bool currentTakesPart = cameras_[size_t(current)].muxerInput;
    std::unique_ptr<Frame> frame;
    if (currentTakesPart) {
        frame = source_.GrabFrame();
        if (!frame)
            return kTickMs;
    }

    // At least one input takes part, so this stops within eight steps.
    int next = current;
    for (int step = 0; step < kCameraCount; ++step) {
        next = (next + 1) % kCameraCount;
        if (cameras_[size_t(next)].muxerInput)
            break;
        display_.Pane(next).SetHasPicture(false);
    }
    muxPosition_ = next;
    if (source_.SelectInput(next) == 0) {
        StoreMuxOff();
        enableMux_ = 0;
        muxPosition_ = 0;
        source_.SetGrabIntervalMs(saveEvery_);
    }

    if (currentTakesPart)
        ProcessFrame(current, std::move(frame));
    else
        display_.Pane(current).SetHasPicture(false);
    return Finish(start, muxerSpeed_, currentTakesPart ? current : -1, true);
}

void ImageStepper::ProcessFrame(int k, std::unique_ptr<Frame> frame)
{
    Camera& camera = cameras_[size_t(k)];
    ICameraPane& pane = display_.Pane(k);

    Rotate(*frame, camera.rotation);
    if (camera.horzFlip)
        FlipHorizontal(*frame);
    if (camera.vertFlip)
        FlipVertical(*frame);
    pane.SetHasPicture(true);

    // Measured before the overlay, so the changing clock text is no motion.
    MotionState& state = motion_[size_t(k)];
    const int level = MeasureMotion(state, *frame, camera.triggerLevel);
    const bool motion = level >= camera.triggerLevel;
    display_.SetMeterBarColour(k, Meter::Motion, motion ? kMeterRed : kMeterGreen);
    pane.SetMotionBlocks(motion ? state.MotionBlocks : std::vector<uint32_t> {});

    pane.DrawOverlay(*frame);
    pane.SetImage(std::move(frame), true);
    display_.SetMeterPos(k, Meter::Motion, level);
    display_.SetMeterText(k, Meter::Motion, StringPrintf("Motion Detection Meter: %d", level));

    const std::string saved = SaveDecisions(k, motion);
    // While nothing happens this is all an event costs: no clock, no post.
    if (events_ && (motion || motionEvents_[size_t(k)].Open()))
        PostMotionEdges(k, level, saved);
    if (live_ && live_->Active())
        PublishLive(k);
}

// The bytes a save of this frame made are handed on as they are; a frame that
// was not saved is encoded only while someone watches the camera.
void ImageStepper::PublishLive(int k)
{
    if (auto jpeg = display_.Pane(k).Jpeg(cameras_[size_t(k)].jpegQuality, live_->Watched(k)))
        live_->Publish(k, std::move(jpeg));
}

void ImageStepper::PostMotionEdges(int k, int level, const std::string& savedImage)
{
    MotionEdges edges = motionEvents_[size_t(k)].Step(int64_t(clock_.unixTime()), level, savedImage);
    if (edges.end)
        events_->Post(std::move(*edges.end));
    if (edges.start)
        events_->Post(std::move(*edges.start));
}

void ImageStepper::CloseMotionEvents()
{
    for (MotionEvents& camera : motionEvents_) {
        std::optional<EventEdge> end = camera.Close();
        if (end && events_)
            events_->Post(std::move(*end));
    }
}

std::string ImageStepper::SaveDecisions(int k, bool motion)
{
    Camera& camera = cameras_[size_t(k)];
    if (motion) {
        camera.staticSavesSinceMotion = 0;
        camera.archiveSavesSinceMotion = 0;
    }

    const auto saveStatic = [&] {
        const std::string& path = camera.staticPathFile;
        SaveFile(k, path, path.substr(0, path.rfind('/') + 1), Fault::StaticSave);
    };
    if (camera.enableStaticMotion) {
        if (camera.enableStaticSave && camera.staticSavesSinceMotion < camera.saveCount) {
            saveStatic();
            ++camera.staticSavesSinceMotion;
        }
    } else if (camera.enableStaticSave) {
        saveStatic();
    }

    std::string saved;
    if (camera.enableArchiveMotion) {
        if (camera.enableArchiving && camera.archiveSavesSinceMotion < camera.saveCount) {
            saved = WriteArchiveImage(k);
            ++camera.archiveSavesSinceMotion;
        }
    } else if (camera.enableArchiving) {
        saved = WriteArchiveImage(k);
    }
    return saved;
}

std::string ImageStepper::WriteArchiveImage(int k)
{
    const Camera& camera = cameras_[size_t(k)];
    // Its disk is below the floor with nothing of ours left to delete: the
    // archive thread shows the camera as not recording until there is room.
    if (settings_.Room.archiveHeld[size_t(k)].load())
        return {};
    const uint32_t time = clock_.unixTime();
    uint32_t number = 0;
    std::string name = ArchiveName(camera.archivePath, time, number, instanceNumber_, k);
    while (NameTaken(name))
        name = ArchiveName(camera.archivePath, time, ++number, instanceNumber_, k);

    // Published before the file appears, so that a count pass that sees it
    // knows it is this thread's to count.
    const ArchiveStamp key(time, number);
    ArchiveStamp none;
    settings_.ArchiveFirstSavedStamp[size_t(k)].compare_exchange_strong(none, key);
    settings_.ArchiveLastSavedStamp[size_t(k)].store(key);

    // Only an image that was written whole is counted.
    Retry& retry = retries_[size_t(k)][1];
    retry.key = key;
    if (!SaveFile(k, name, camera.archivePath, Fault::ArchiveSave))
        return {};
    CountArchiveImage(k, name, key);
    return name;
}

void ImageStepper::CountArchiveImage(int k, const std::string& name, ArchiveStamp key)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(name, error);
    if (error)
        return;

    counters_.Add(k, 1, int64_t(size), key);
    counters_.SetLastImageBytes(k, uint32_t(size));
}

// A folder that is missing (deleted, or never made because the settings were
// written by hand or by a script) is made again, and the save tried once more.
bool ImageStepper::SaveFile(int k, const std::string& path, const std::string& folder, Fault fault, bool retry)
{
    ICameraPane& pane = display_.Pane(k);
    const int quality = cameras_[size_t(k)].jpegQuality;
    FileStatus saved = pane.SaveJpeg(path, quality);
    std::string reason;
    if (saved.error() == -ENOENT) {
        if (const FileStatus made = MakePath(folder); made) {
            if (fault == Fault::ArchiveSave)
                settings_.ArchiveFolderMade[size_t(k)].fetch_add(1);
            saved = pane.SaveJpeg(path, quality);
        } else {
            reason = "cannot make the folder " + folder + ": " + made.Reason();
        }
    }
    if (saved.error() == -ENOSPC && floorOn_) {
        RequestRoom(k, fault);
        Retry& again = retries_[size_t(k)][fault == Fault::StaticSave ? 0 : 1];
        if (!retry) {
            again.due = true;
            again.path = path;
            again.folder = folder;
            return false;
        }
        // Room for archive images is the archive thread's to make; where it
        // can make none, it says the disk is full.
        if (fault == Fault::ArchiveSave)
            return false;
    }
    if (!saved && reason.empty()) {
        const std::string what = fault == Fault::ArchiveSave ? "archive images in " + folder : path;
        reason = saved.error() != 0 ? "cannot save " + what + ": " + saved.Reason() : "the picture cannot be encoded";
    }
    ReportFault(k, fault, saved ? std::string() : reason);
    return saved.ok();
}

void ImageStepper::RequestRoom(int k, Fault fault)
{
    settings_.Room.wanted.fetch_or(fault == Fault::StaticSave ? StorageRoom::StaticBit(k) : StorageRoom::ArchiveBit(k));
    if (const uint32_t archiveThread = settings_.Room.archiveThread.load())
        PostThreadMessage(archiveThread, WM_ROOM_WANTED, 0, 0);
}

void ImageStepper::RetrySaves()
{
    for (int k = 0; k < kCameraCount; ++k) {
        for (Fault fault : {Fault::StaticSave, Fault::ArchiveSave}) {
            Retry& retry = retries_[size_t(k)][fault == Fault::StaticSave ? 0 : 1];
            if (!retry.due)
                continue;
            retry.due = false;
            // A camera held for want of room saves no archive image, not even
            // one it tried before the hold.
            if (fault == Fault::ArchiveSave && settings_.Room.archiveHeld[size_t(k)].load())
                continue;
            if (SaveFile(k, retry.path, retry.folder, fault, true) && fault == Fault::ArchiveSave)
                CountArchiveImage(k, retry.path, retry.key);
        }
    }
}

void ImageStepper::ReportFault(int k, Fault fault, const std::string& reason)
{
    std::string& last = faults_[size_t(k)][fault == Fault::StaticSave ? 0 : 1];
    if (last == reason)
        return;
    last = reason;
    display_.SetFault(k, fault, reason);
}

int ImageStepper::Finish(std::chrono::steady_clock::time_point start, int intervalMs, int k, bool multiplexed)
{
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - start).count();
    const int elapsed = int(std::clamp<long long>(elapsedMs, 0, INT_MAX));
    const int remaining = std::max(0, intervalMs - elapsed);

    if (k >= 0) {
        // Seconds between two frames of this camera.
        double delta = std::max(intervalMs, elapsed) * 0.001;
        if (multiplexed)
            delta *= enabledInputCount_;
        const double fps = 1.0 / delta;
        display_.SetLabelText(k, Label::FrameRate, StringPrintf("Frame Rate [%.2f FPS] [%.2f Delta]", fps, delta));
    }

    // Wake at least every 100 ms so that stop and reload requests are seen.
    if (remaining > kTickMs) {
        ticksToWait_ = remaining / kTickMs;
        return remaining % kTickMs;
    }
    ticksToWait_ = 0;
    return remaining;
}

void ImageStepper::StoreMuxOff()
{
    TimedLock lock(settings_.SettingsLock);
    if (!lock) {
        muxOffPending_ = true;
        return;
    }
    settings_.EnableMux = 0;
    muxOffPending_ = false;
}

} // namespace vistrel
