// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/live_frames.h"

#include <utility>

namespace vistrel {

namespace {

bool IsCamera(int camera)
{
    return camera >= 0 && camera < kCameraCount;
}

} // namespace

void LiveFrames::Activate(bool active)
{
    active_.store(active);
    if (active)
        return;
    // Nothing outlives the server that showed it.
    std::array<Picture, kCameraCount> dropped;
    {
        std::lock_guard lock(latestMutex_);
        dropped.swap(latest_);
    }
}

void LiveFrames::SetViewers(int camera, int viewers)
{
    if (IsCamera(camera))
        viewers_[size_t(camera)].store(viewers, std::memory_order_relaxed);
}

bool LiveFrames::Watched(int camera) const
{
    return IsCamera(camera) && Active() && viewers_[size_t(camera)].load(std::memory_order_relaxed) > 0;
}

void LiveFrames::Publish(int camera, Bytes jpeg)
{
    if (!IsCamera(camera) || !jpeg || !Active())
        return;
    Picture picture;
    picture.jpeg = std::move(jpeg);
    {
        std::lock_guard lock(latestMutex_);
        picture.sequence = ++sequence_;
        // The old picture is freed when its last viewer lets go of it.
        latest_[size_t(camera)] = picture;
    }
    if (!Watched(camera))
        return;
    std::lock_guard lock(listenerMutex_);
    if (listener_)
        listener_(camera, picture);
}

LiveFrames::Picture LiveFrames::Latest(int camera) const
{
    if (!IsCamera(camera))
        return {};
    std::lock_guard lock(latestMutex_);
    return latest_[size_t(camera)];
}

void LiveFrames::SetListener(Listener listener)
{
    Listener old;
    {
        std::lock_guard lock(listenerMutex_);
        old = std::exchange(listener_, std::move(listener));
    }
}

} // namespace vistrel
