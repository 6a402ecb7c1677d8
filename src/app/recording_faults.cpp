// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/recording_faults.h"

#include "settings/instance_settings.h" // CameraLetter

#include <algorithm>
#include <ctime>

namespace vistrel {

namespace {

struct FaultTexts {
    const char* starts;  // after "Vistrel %d: camera %c "
    const char* ends;
    const char* tooltip; // before the reason
};

FaultTexts TextsOf(Fault fault)
{
    switch (fault) {
    case Fault::StaticSave:
        return {"cannot update its static file: ", "updates its static file again", "Static file not updated: "};
    case Fault::ArchiveSave:
        return {"is not recording: ", "is recording again", "Not recording: "};
    case Fault::ArchiveDelete:
        return {"cannot delete old archive images: ", "deletes old archive images again", "Old images not deleted: "};
    case Fault::DiskFull:
        return {"is not recording: ", "is recording again", "Not recording: "};
    }
    return {"", "", ""};
}

bool Valid(int camera, Fault fault)
{
    return camera >= 0 && camera < kCameraCount && int(fault) >= 0 && int(fault) < kFaultCount;
}

} // namespace

void RecordingFaults::SetInstance(int instance)
{
    std::lock_guard guard(mutex_);
    instance_ = instance;
}

void RecordingFaults::SetEventSink(IEventSink* events)
{
    std::lock_guard guard(mutex_);
    events_ = events;
}

std::optional<std::string> RecordingFaults::Set(int camera, Fault fault, const std::string& reason)
{
    if (!Valid(camera, fault))
        return std::nullopt;
    std::lock_guard guard(mutex_);
    auto& reasons = reasons_[size_t(camera)];
    const auto anyFailing = [&reasons] {
        return std::any_of(reasons.begin(), reasons.end(), [](const std::string& r) { return !r.empty(); });
    };
    const bool cameraWasFailing = anyFailing();
    std::string& held = reasons[size_t(fault)];
    const bool wasFailing = !held.empty();
    held = reason;
    if (events_ && cameraWasFailing != anyFailing()) {
        EventEdge edge;
        edge.kind = cameraWasFailing ? EdgeKind::FaultEnd : EdgeKind::FaultStart;
        edge.camera = CameraLetter(camera);
        edge.time = int64_t(std::time(nullptr));
        edge.reason = reason;
        events_->Post(std::move(edge));
    }
    if (wasFailing == !reason.empty())
        return std::nullopt;
    const FaultTexts texts = TextsOf(fault);
    std::string line = "Vistrel " + std::to_string(instance_) + ": camera " + CameraLetter(camera) + " ";
    line += reason.empty() ? std::string(texts.ends) : texts.starts + reason;
    return line;
}

std::optional<std::string> RecordingFaults::SetSettingsFault(const std::string& reason)
{
    std::lock_guard guard(mutex_);
    const bool wasFailing = !settingsReason_.empty();
    settingsReason_ = reason;
    if (wasFailing == !reason.empty())
        return std::nullopt;
    const std::string start = "Vistrel " + std::to_string(instance_) + ": ";
    return reason.empty() ? start + "settings saved again" : start + "settings not saved: " + reason;
}

bool RecordingFaults::Failing(int camera) const
{
    std::lock_guard guard(mutex_);
    if (!settingsReason_.empty())
        return true;
    for (const std::string& reason : reasons_[size_t(camera)])
        if (!reason.empty())
            return true;
    return false;
}

std::string RecordingFaults::MeterToolTip(int camera) const
{
    std::lock_guard guard(mutex_);
    std::string tip;
    for (int fault : {3, 1, 0, 2}) { // the archive first: it is the footage
        const std::string& reason = reasons_[size_t(camera)][size_t(fault)];
        if (reason.empty())
            continue;
        if (!tip.empty())
            tip += '\n';
        tip += TextsOf(Fault(fault)).tooltip + reason;
    }
    if (!settingsReason_.empty())
        tip += (tip.empty() ? "" : "\n") + ("Settings not saved: " + settingsReason_);
    return tip;
}

std::string RecordingFaults::TrayToolTip() const
{
    std::lock_guard guard(mutex_);
    std::string cameras;
    int count = 0;
    for (int camera = 0; camera < kCameraCount; ++camera) {
        const auto& reasons = reasons_[size_t(camera)];
        if (reasons[size_t(Fault::ArchiveSave)].empty() && reasons[size_t(Fault::StaticSave)].empty()
            && reasons[size_t(Fault::DiskFull)].empty())
            continue;
        cameras += (count++ ? ", " : "");
        cameras += CameraLetter(camera);
    }
    std::string tip = "Vistrel " + std::to_string(instance_);
    if (count > 0)
        tip += (count == 1 ? " - camera " : " - cameras ") + cameras + " not recording";
    if (!settingsReason_.empty())
        tip += " - settings not saved";
    if (floorDeleting_)
        tip += " - deleting old images beyond their retention to keep disk space free";
    return tip;
}

std::optional<std::string> RecordingFaults::SetStorageFloor(bool deleting, const std::string& detail)
{
    std::lock_guard guard(mutex_);
    if (deleting == floorDeleting_)
        return std::nullopt;
    floorDeleting_ = deleting;
    if (events_) {
        // The floor is the instance's, of no one camera.
        EventEdge edge;
        edge.kind = deleting ? EdgeKind::FloorStart : EdgeKind::FloorEnd;
        edge.time = int64_t(std::time(nullptr));
        edge.reason = detail;
        events_->Post(std::move(edge));
    }
    const std::string start = "Vistrel " + std::to_string(instance_) + ": ";
    return deleting ? start + "deleting archive images beyond their retention, " + detail
                    : start + "no longer deleting archive images beyond their retention";
}

} // namespace vistrel
