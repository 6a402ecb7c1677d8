// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_updates.h"

namespace vistrel {

template <typename Fn>
bool DisplayUpdateQueue::Update(int camera, Fn&& fn)
{
    if (camera < 0 || camera >= kCameraCount)
        return false;
    std::lock_guard guard(mutex_);
    fn();
    const bool post = !flushPosted_;
    flushPosted_ = true;
    return post;
}

bool DisplayUpdateQueue::SetMeterRange(int camera, Meter meter, int lower, int upper)
{
    return Update(camera, [&] { pending_.meters[camera][int(meter)].range = std::make_pair(lower, upper); });
}

bool DisplayUpdateQueue::SetMeterPos(int camera, Meter meter, int pos)
{
    return Update(camera, [&] { pending_.meters[camera][int(meter)].pos = pos; });
}

bool DisplayUpdateQueue::SetMeterText(int camera, Meter meter, std::string text)
{
    return Update(camera, [&] { pending_.meters[camera][int(meter)].text = std::move(text); });
}

bool DisplayUpdateQueue::SetMeterBarColour(int camera, Meter meter, uint32_t colour)
{
    return Update(camera, [&] { pending_.meters[camera][int(meter)].barColour = colour; });
}

bool DisplayUpdateQueue::SetLabelText(int camera, Label label, std::string text)
{
    return Update(camera, [&] { pending_.labels[camera][int(label)] = std::move(text); });
}

bool DisplayUpdateQueue::SetFaultChanged(int camera)
{
    return Update(camera, [&] { pending_.faults[camera] = true; });
}

bool DisplayUpdateQueue::SetForecastToolTip(int camera, std::string text)
{
    return Update(camera, [&] { pending_.forecastToolTips[camera] = std::move(text); });
}

bool DisplayUpdateQueue::SetStorageFloorChanged()
{
    return Update(0, [&] { pending_.storageFloorChanged = true; });
}

DisplayUpdateQueue::Pending DisplayUpdateQueue::Take()
{
    std::lock_guard guard(mutex_);
    Pending taken = std::move(pending_);
    pending_ = Pending{};
    flushPosted_ = false;
    return taken;
}

} // namespace vistrel
