// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/recorder_display.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vistrel {

// The meter and label values the worker threads set, gathered until the
// user-interface thread applies them. Per control only the latest value of
// each property is kept, so a burst of updates costs one repaint. Any thread
// may set; the user-interface thread takes.
class DisplayUpdateQueue {
public:
    struct MeterUpdate {
        std::optional<std::pair<int, int>> range;
        std::optional<uint32_t> barColour;
        std::optional<std::string> text;
        std::optional<int> pos;
    };
    struct Pending {
        std::array<std::array<MeterUpdate, 2>, kCameraCount> meters;               // [camera][Meter]
        std::array<std::array<std::optional<std::string>, 2>, kCameraCount> labels; // [camera][Label]
        std::array<bool, kCameraCount> faults{}; // the camera's faults changed
        std::array<std::optional<std::string>, kCameraCount> forecastToolTips;
        bool storageFloorChanged = false;
    };

    // Each returns true when the caller must post a flush: the first update
    // since the last Take(). Updates for cameras outside 0..7 are dropped.
    bool SetMeterRange(int camera, Meter meter, int lower, int upper);
    bool SetMeterPos(int camera, Meter meter, int pos);
    bool SetMeterText(int camera, Meter meter, std::string text);
    bool SetMeterBarColour(int camera, Meter meter, uint32_t colour);
    bool SetLabelText(int camera, Label label, std::string text);
    bool SetFaultChanged(int camera);
    bool SetForecastToolTip(int camera, std::string text);
    bool SetStorageFloorChanged();

    // Everything set since the last call; afterwards the next update asks for a new flush.
    Pending Take();

private:
    template <typename Fn>
    bool Update(int camera, Fn&& fn);

    std::mutex mutex_; // guards pending_ and flushPosted_
    Pending pending_;
    bool flushPosted_ = false;
};

} // namespace vistrel
