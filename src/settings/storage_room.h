// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/recorder_display.h" // kCameraCount

#include <array>
#include <atomic>
#include <cstdint>

namespace vistrel {

// KeepFreeMB of "automatic": the larger of 1024 MB and 2% of each file
// system, worked out when the file system is known.
inline constexpr uint32_t kKeepFreeAutomatic = 0xFFFFFFFF;

// How the image thread asks for room when a save finds its disk full, and
// how the archive thread tells it that none can be made. Lock-free: the image
// thread sets `wanted` and posts WM_ROOM_WANTED to `archiveThread`; the
// archive thread takes `wanted` and sets `archiveHeld`. Any thread may read.
struct StorageRoom {
    static constexpr uint32_t ArchiveBit(int camera) { return 1u << camera; }
    static constexpr uint32_t StaticBit(int camera) { return 1u << (kCameraCount + camera); }

    // The saves that failed for want of room since the archive thread last looked.
    std::atomic<uint32_t> wanted{0};
    // Nothing of this instance is left to delete and the disk is still below
    // its floor: the camera's archive images wait until there is room again.
    std::array<std::atomic<bool>, kCameraCount> archiveHeld{};
    // The archive thread's id for WM_ROOM_WANTED; 0 until it runs.
    std::atomic<uint32_t> archiveThread{0};
};

} // namespace vistrel
