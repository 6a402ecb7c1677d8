// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "common/recorder_display.h"

#include <array>
#include <mutex>
#include <optional>
#include <string>

namespace vistrel {

// What keeps each camera from keeping its footage, as the workers report it,
// and a settings save that failed, as the main window reports it: the texts
// behind a camera's red archive meter and its tooltip, the tray tooltip, and
// the one line for standard error when a failure starts and when it ends.
// The workers set from their threads; the main window sets the settings
// fault and reads on the user-interface thread. A camera's faults are also
// one recording-fault event, from its first fault until none is left, posted
// to the event sink (set before the workers start).
class RecordingFaults {
public:
    explicit RecordingFaults(int instance = 1) : instance_(instance) {}
    void SetInstance(int instance);
    // Where a camera's fault-start and fault-end go; none: nowhere.
    void SetEventSink(IEventSink* events);

    // Records the camera's fault (an empty reason: it works again). Returns
    // the line for standard error when the fault starts or ends; a reason
    // that only changes says nothing new there.
    std::optional<std::string> Set(int camera, Fault fault, const std::string& reason);
    // The same for the settings save (an empty reason: the last save worked).
    // Settings not saved are every camera's: each archive meter shows it.
    std::optional<std::string> SetSettingsFault(const std::string& reason);

    // The storage floor started or stopped deleting archive images beyond
    // their retention: the line for standard error when that changes.
    std::optional<std::string> SetStorageFloor(bool deleting, const std::string& detail);

    bool Failing(int camera) const;
    // One line for each of the camera's faults; empty when nothing fails.
    std::string MeterToolTip(int camera) const;
    // "Vistrel %d", followed by the cameras that are not recording, by
    // "settings not saved" and by the storage floor deleting beyond the retention.
    std::string TrayToolTip() const;

private:
    // Guards instance_, reasons_, settingsReason_, floorDeleting_ and
    // events_; held while posting an edge (which never blocks), so a camera's
    // starts and ends reach the sink in the order they happened.
    mutable std::mutex mutex_;
    int instance_;
    std::array<std::array<std::string, kFaultCount>, kCameraCount> reasons_; // [camera][Fault]
    std::string settingsReason_; // why the last settings save failed, or ""
    IEventSink* events_ = nullptr;
    bool floorDeleting_ = false;
};

} // namespace vistrel
