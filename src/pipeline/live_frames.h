// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/recorder_display.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vistrel {

// The latest JPEG of each camera for remote viewers, shared without copying.
// The image thread publishes the bytes it already encoded for the static file
// or the archive; while a camera has viewers it also encodes the frames it
// does not save, once per frame however many watch. Until Activate(true)
// (no server running) every call of the image thread returns at once.
//
// Owned by the application and outliving the image thread; the image thread
// calls Active, Watched and Publish, the web server's threads the rest.
class LiveFrames {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    struct Picture {
        uint64_t sequence = 0; // grows with every picture of the camera; 0: none yet
        Bytes jpeg;
    };
    // Told of every new picture; runs on the image thread and must only hand
    // the picture on.
    using Listener = std::function<void(int camera, const Picture& picture)>;

    // While inactive, nothing is kept and the listener is never called.
    void Activate(bool active);
    bool Active() const { return active_.load(std::memory_order_relaxed); }

    void SetViewers(int camera, int viewers);
    bool Watched(int camera) const;

    // A new picture of the camera, from the image thread.
    void Publish(int camera, Bytes jpeg);
    Picture Latest(int camera) const;

    // Replaces the listener (nullptr: none). Once it has returned, the old
    // listener is not running and will not be called again.
    void SetListener(Listener listener);

private:
    std::atomic<bool> active_{false};
    std::array<std::atomic<int>, kCameraCount> viewers_{};

    mutable std::mutex latestMutex_; // guards latest_ and sequence_
    std::array<Picture, kCameraCount> latest_;
    uint64_t sequence_ = 0;

    // Held while the listener runs, so replacing it waits for a call under way.
    std::mutex listenerMutex_; // guards listener_
    Listener listener_;
};

} // namespace vistrel
