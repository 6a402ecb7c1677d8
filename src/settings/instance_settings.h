// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/logfont.h"
#include "common/recorder_display.h"
#include "common/timed_lock.h"
#include "settings/archive_name.h" // ArchiveStamp, and ArchiveSuffix for those who name images
#include "settings/storage_room.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace vistrel {

// Every setting of the running process and the per-camera archive counters.
// One instance for the whole process (Instance()), reachable from every thread.
// SettingsLock guards every field from InstanceNumber on; each archive counter
// has its own per-camera lock. Code that needs SettingsLock and a counter lock
// takes SettingsLock first. Per-camera arrays are indexed by camera letter
// (A = 0 ... H = 7). Colours are 0x00BBGGRR.
struct InstanceSettings {
    static InstanceSettings& Instance();

    InstanceSettings();

    // Archive counters, each with its own lock per camera.
    std::array<TimedMutex, kCameraCount> ArchiveBytesLock;
    std::array<int64_t, kCameraCount> ArchiveBytes{};
    std::array<TimedMutex, kCameraCount> ArchiveCountLock;
    std::array<int32_t, kCameraCount> ArchiveCount{};
    std::array<TimedMutex, kCameraCount> LastImageBytesLock;
    std::array<uint32_t, kCameraCount> LastImageBytes{};

    // Which of the image thread's own archive images each counter holds: the
    // key of the last image it added there (none yet: not Valid()), under that
    // counter's lock. With the keys of its first and last image of this run,
    // set before each file appears and read without a lock, a count pass that
    // lists the folder while images are saved counts every file exactly once.
    std::array<ArchiveStamp, kCameraCount> ArchiveBytesLastStamp{};
    std::array<ArchiveStamp, kCameraCount> ArchiveCountLastStamp{};
    std::array<AtomicArchiveStamp, kCameraCount> ArchiveFirstSavedStamp{};
    std::array<AtomicArchiveStamp, kCameraCount> ArchiveLastSavedStamp{};
    // How often the image thread made a camera's missing archive folder
    // again: the folder the archive thread counted is gone. No lock.
    std::array<std::atomic<uint32_t>, kCameraCount> ArchiveFolderMade{};
    // Room on a full disk, asked for by the image thread, made by the archive thread.
    StorageRoom Room;

    TimedMutex SettingsLock; // guards every field below

    int32_t InstanceNumber = 1;
    int32_t EnableMux = 0;
    std::array<int32_t, kCameraCount> MuxerInputs{};
    int32_t MuxerSpeed = 250;
    int32_t Device = 0;
    int32_t InputPin = 0;
    std::string VideoFormat = "320x240 24 bit";
    // The chosen device's identity (empty in stores written before it was
    // kept: then Device alone decides) and the video standard of analog
    // inputs ("Auto", "PAL", "NTSC", "SECAM").
    std::string DeviceName;
    std::string DeviceBusInfo;
    std::string DeviceLink;
    std::string VideoStandard = "Auto";
    // The free space to keep on each file system holding an archive folder
    // of this instance, in MB: kKeepFreeAutomatic works it out per file
    // system, 0 keeps none (the oldest images then go by retention alone).
    uint32_t KeepFreeMB = kKeepFreeAutomatic;
    std::array<std::string, kCameraCount> OverlayText;
    std::array<LOGFONTA, kCameraCount> OverlayFont;
    std::array<std::string, kCameraCount> HORZ;
    std::array<std::string, kCameraCount> VERT;
    std::array<uint32_t, kCameraCount> TextColor{};
    std::array<uint32_t, kCameraCount> BackgroundColor{};
    std::array<int32_t, kCameraCount> OverlayEffect{};
    std::array<int32_t, kCameraCount> EnableOverlay{};
    std::array<std::string, kCameraCount> Rotation;
    std::array<int32_t, kCameraCount> HorzFlip{};
    std::array<int32_t, kCameraCount> VertFlip{};
    int32_t SaveEvery = 1000;
    std::array<int32_t, kCameraCount> EnableStaticSave{};
    std::array<int32_t, kCameraCount> EnableArchving{};
    std::array<int32_t, kCameraCount> EnableStaticMotion{};
    std::array<int32_t, kCameraCount> EnableArchiveMotion{};
    std::array<std::string, kCameraCount> StaticPathFile;
    std::array<std::string, kCameraCount> ArchivePath;
    std::array<int32_t, kCameraCount> LoadedArchiveCount{};
    std::array<int32_t, kCameraCount> JpegQuality{};
    std::array<int32_t, kCameraCount> Days{};
    std::array<int32_t, kCameraCount> Hours{};
    std::array<int32_t, kCameraCount> Minutes{};
    std::array<int32_t, kCameraCount> TriggerLevel{};
    std::array<int32_t, kCameraCount> SaveCount{};
    // Seconds within which motion that starts again carries on the same
    // motion event ("EventGapS"). Not part of the settings save: the
    // application reads it with the events' settings, whose dialog writes it.
    std::array<int32_t, kCameraCount> EventGapS{10, 10, 10, 10, 10, 10, 10, 10};
    std::array<uint32_t, kCameraCount> MaxArchiveMB{}; // a camera's archive at most this big; 0: no cap

    // The overlay settings of one camera as its pane keeps them (caller holds SettingsLock).
    OverlaySettings Overlay(int camera) const;
};

// The camera letter of an index: 'A' + index.
inline char CameraLetter(int camera) { return char('A' + camera); }

// The shortest time between two frame steps: a stored SaveEvery or MuxerSpeed
// below it (only a hand-written store has one; the dialogs refuse it) is taken
// as this by both workers, so pacing and retention agree.
inline constexpr int32_t kMinFrameIntervalMs = 100;
inline int32_t FrameIntervalMs(int32_t storedMs) { return storedMs < kMinFrameIntervalMs ? kMinFrameIntervalMs : storedMs; }

} // namespace vistrel
