// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "review/archive_index.h"

#include <cstddef>
#include <cstdint>

namespace vistrel {

// Plays the images of an index at 1x to 64x the pace they were recorded at:
// the time between two images on screen is the time between their saves
// divided by the speed, but never more than kMaxWaitMs, so a gap of hours
// (nothing moved) passes in a moment. Driven by the caller's clock; no
// threads, no timers.
class PlaybackPacer {
public:
    static constexpr int64_t kMaxWaitMs = 1000;
    static constexpr int kMinSpeed = 1;
    static constexpr int kMaxSpeed = 64;

    // Starts (or restarts) playing at image `index`, shown at `nowMs`.
    void Start(size_t index, int64_t nowMs);
    // A new speed from `nowMs` on; the image on screen keeps its place.
    void SetSpeed(int speed, int64_t nowMs);
    int speed() const { return speed_; }
    // The same image at a new place in a newer index; its turn goes on.
    void Rebase(size_t index) { index_ = index; }

    // The image due at `nowMs`: the current one, or a later one if its time
    // has come (images whose turn passed while the caller was busy are
    // skipped). Never goes past `end - 1`; `atEnd` tells when the last image
    // before `end` is on screen and its own time is up too.
    size_t Advance(const ArchiveIndex& index, size_t end, int64_t nowMs, bool& atEnd);

    // The wait in real milliseconds between image i and the next.
    int64_t WaitAfter(const ArchiveIndex& index, size_t i) const;

private:
    size_t index_ = 0;
    int64_t shownAtMs_ = 0; // when the current image's turn began
    int speed_ = 1;
};

} // namespace vistrel
