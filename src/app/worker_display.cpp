// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/worker_display.h"

#include "common/label_progress_ctrl.h"
#include "display/picture_box.h"

#include <QLabel>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

namespace vistrel {

WorkerDisplay::WorkerDisplay(const std::array<CameraControls, kCameraCount>& controls)
    : controls_(controls)
{
}

void WorkerDisplay::SetInstance(int instance)
{
    faults_.SetInstance(instance);
}

void WorkerDisplay::SetSettingsFault(const std::string& reason)
{
    if (const std::optional<std::string> line = faults_.SetSettingsFault(reason)) {
        std::fprintf(stderr, "%s\n", line->c_str());
        std::fflush(stderr);
    }
    const bool failing = !reason.empty();
    if (settingsFailing_ || failing) {
        for (int camera = 0; camera < kCameraCount; ++camera)
            QueueFlush(updates_.SetFaultChanged(camera));
    }
    settingsFailing_ = failing;
}

ICameraPane& WorkerDisplay::Pane(int camera)
{
    return *controls_[std::clamp(camera, 0, kCameraCount - 1)].pane;
}

void WorkerDisplay::SetMeterRange(int camera, Meter meter, int lower, int upper)
{
    QueueFlush(updates_.SetMeterRange(camera, meter, lower, upper));
}

void WorkerDisplay::SetMeterPos(int camera, Meter meter, int pos)
{
    if (meter == Meter::Motion)
        NoteText(camera, [pos](CameraStatusTexts& texts) { texts.motionLevel = pos; });
    QueueFlush(updates_.SetMeterPos(camera, meter, pos));
}

void WorkerDisplay::SetMeterText(int camera, Meter meter, const std::string& text)
{
    if (meter == Meter::Archive)
        NoteText(camera, [&text](CameraStatusTexts& texts) { texts.archive = text; });
    QueueFlush(updates_.SetMeterText(camera, meter, text));
}

void WorkerDisplay::SetMeterBarColour(int camera, Meter meter, uint32_t colour)
{
    QueueFlush(updates_.SetMeterBarColour(camera, meter, colour));
}

void WorkerDisplay::SetLabelText(int camera, Label label, const std::string& text)
{
    NoteText(camera, [label, &text](CameraStatusTexts& texts) {
        (label == Label::FrameRate ? texts.frameRate : texts.forecast) = text;
    });
    QueueFlush(updates_.SetLabelText(camera, label, text));
}

void WorkerDisplay::SetFault(int camera, Fault fault, const std::string& reason)
{
    // Said at once, on the worker's thread: a failure over before the next
    // flush is still told.
    if (const std::optional<std::string> line = faults_.Set(camera, fault, reason)) {
        std::fprintf(stderr, "%s\n", line->c_str());
        std::fflush(stderr);
    }
    QueueFlush(updates_.SetFaultChanged(camera));
    TellStatusChanged();
}

void WorkerDisplay::SetLabelToolTip(int camera, Label label, const std::string& text)
{
    if (label == Label::Forecast)
        QueueFlush(updates_.SetForecastToolTip(camera, text));
}

void WorkerDisplay::SetStorageFloor(bool deleting, const std::string& detail)
{
    if (const std::optional<std::string> line = faults_.SetStorageFloor(deleting, detail)) {
        std::fprintf(stderr, "%s\n", line->c_str());
        std::fflush(stderr);
    }
    QueueFlush(updates_.SetStorageFloorChanged());
}

void WorkerDisplay::SetStatusChanged(std::function<void()> changed)
{
    std::function<void()> old;
    {
        std::lock_guard lock(statusChangedMutex_);
        statusWatched_ = changed != nullptr;
        old = std::exchange(statusChanged_, std::move(changed));
    }
}

void WorkerDisplay::TellStatusChanged()
{
    if (!statusWatched_.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(statusChangedMutex_);
    if (statusChanged_)
        statusChanged_();
}

std::array<CameraStatusTexts, kCameraCount> WorkerDisplay::StatusTexts() const
{
    std::array<CameraStatusTexts, kCameraCount> texts;
    {
        std::lock_guard lock(textsMutex_);
        texts = texts_;
    }
    for (int camera = 0; camera < kCameraCount; ++camera)
        texts[size_t(camera)].fault = faults_.MeterToolTip(camera);
    return texts;
}

// On a worker's thread: the change is kept for StatusTexts and told, outside the lock.
void WorkerDisplay::NoteText(int camera, const std::function<void(CameraStatusTexts&)>& change)
{
    if (camera < 0 || camera >= kCameraCount)
        return;
    {
        std::lock_guard lock(textsMutex_);
        change(texts_[size_t(camera)]);
    }
    TellStatusChanged();
}

// Called on the worker's thread: the first change since the last flush queues
// one flush to the user-interface thread, later ones ride along with it.
void WorkerDisplay::QueueFlush(bool firstSinceFlush)
{
    if (firstSinceFlush)
        QMetaObject::invokeMethod(this, &WorkerDisplay::Flush, Qt::QueuedConnection);
}

void WorkerDisplay::Flush()
{
    DisplayUpdateQueue::Pending pending = updates_.Take();
    bool faultsChanged = false;
    for (int camera = 0; camera < kCameraCount; ++camera) {
        for (Meter which : {Meter::Motion, Meter::Archive}) {
            const DisplayUpdateQueue::MeterUpdate& update = pending.meters[camera][int(which)];
            CLabelProgressCtrl* ctrl = MeterControl(camera, which);
            if (update.range)
                ctrl->SetRange32(update.range->first, update.range->second);
            if (update.barColour)
                ctrl->SetBarColour(*update.barColour);
            if (update.text)
                ctrl->SetWindowText(QString::fromStdString(*update.text));
            if (update.pos)
                ctrl->SetPos(*update.pos);
        }
        for (Label which : {Label::FrameRate, Label::Forecast}) {
            if (const auto& text = pending.labels[camera][int(which)])
                LabelControl(camera, which)->setText(QString::fromStdString(*text));
        }
        if (const auto& tip = pending.forecastToolTips[camera])
            controls_[camera].forecastLabel->setToolTip(QString::fromStdString(*tip));
        if (pending.faults[camera]) {
            // Red while the camera's footage is not kept, the reasons on hover.
            const bool failing = faults_.Failing(camera);
            CLabelProgressCtrl* archive = controls_[camera].archiveMeter;
            archive->SetBarColour(failing ? Rgb(255, 0, 0) : CLabelProgressCtrl::kDefaultColour);
            archive->SetBkColour(failing ? Rgb(255, 200, 200) : CLabelProgressCtrl::kDefaultColour);
            archive->setToolTip(QString::fromStdString(faults_.MeterToolTip(camera)));
            faultsChanged = true;
        }
    }
    if (faultsChanged || pending.storageFloorChanged)
        Q_EMIT trayToolTipChanged(QString::fromStdString(faults_.TrayToolTip()));
}

CLabelProgressCtrl* WorkerDisplay::MeterControl(int camera, Meter meter) const
{
    return meter == Meter::Motion ? controls_[camera].motionMeter : controls_[camera].archiveMeter;
}

QLabel* WorkerDisplay::LabelControl(int camera, Label label) const
{
    return label == Label::FrameRate ? controls_[camera].frameRateLabel : controls_[camera].forecastLabel;
}

} // namespace vistrel
