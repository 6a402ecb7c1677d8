// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/playback.h"

#include <algorithm>

namespace vistrel {

void PlaybackPacer::Start(size_t index, int64_t nowMs)
{
    index_ = index;
    shownAtMs_ = nowMs;
}

void PlaybackPacer::SetSpeed(int speed, int64_t nowMs)
{
    speed_ = std::clamp(speed, kMinSpeed, kMaxSpeed);
    // The image on screen starts its (new, shorter or longer) turn afresh.
    shownAtMs_ = nowMs;
}

int64_t PlaybackPacer::WaitAfter(const ArchiveIndex& index, size_t i) const
{
    int64_t recordedMs = kMaxWaitMs;
    if (i + 1 < index.size())
        recordedMs = index.TimeMs(i + 1) - index.TimeMs(i);
    else if (i > 0 && i < index.size())
        recordedMs = index.TimeMs(i) - index.TimeMs(i - 1); // the last image: as long as the one before
    return std::clamp<int64_t>(recordedMs / speed_, 0, kMaxWaitMs);
}

size_t PlaybackPacer::Advance(const ArchiveIndex& index, size_t end, int64_t nowMs, bool& atEnd)
{
    end = std::min(end, index.size());
    atEnd = false;
    if (end == 0)
        return 0;
    index_ = std::min(index_, end - 1);
    while (true) {
        const int64_t due = shownAtMs_ + WaitAfter(index, index_);
        if (due > nowMs)
            break;
        if (index_ + 1 >= end) {
            atEnd = true;
            break;
        }
        shownAtMs_ = due;
        ++index_;
    }
    return index_;
}

} // namespace vistrel
