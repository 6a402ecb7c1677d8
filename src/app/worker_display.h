// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/display_updates.h"
#include "app/recording_faults.h"
#include "common/recorder_display.h"

#include <QObject>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

class QLabel;

namespace vistrel {

class CLabelProgressCtrl;
class CPictureBoxEx;

// One camera's pane and the four status controls under it.
struct CameraControls {
    CPictureBoxEx* pane = nullptr;
    QLabel* frameRateLabel = nullptr;          // row 1
    CLabelProgressCtrl* motionMeter = nullptr;  // row 1
    QLabel* forecastLabel = nullptr;           // row 2
    CLabelProgressCtrl* archiveMeter = nullptr; // row 2
};

// What the window shows under one camera's pane, in words.
struct CameraStatusTexts {
    int motionLevel = 0;   // the motion meter's position
    std::string frameRate; // row 1 label
    std::string archive;   // row 2 meter's text
    std::string forecast;  // row 2 label
    std::string fault;     // why the camera's footage is not kept; empty while it is
};

// The main window's panes, meters and labels as the workers write to them,
// and what keeps each camera (or the settings save) from keeping its data.
// Lives on the user-interface thread, which owns the controls; the workers
// call the IRecorderDisplay methods from their threads. Their updates are
// gathered, the latest value of each control winning, and applied by one
// queued flush a burst, so a worker never waits for the user interface.
class WorkerDisplay : public QObject, public IRecorderDisplay {
    Q_OBJECT
public:
    // The controls belong to the window and must outlive this object.
    explicit WorkerDisplay(const std::array<CameraControls, kCameraCount>& controls);

    // The instance number the fault lines on standard error name.
    void SetInstance(int instance);
    // Where the cameras' recording faults go as events; set before the
    // workers start, and outliving them.
    void SetEventSink(IEventSink* events) { faults_.SetEventSink(events); }
    // The last settings save failed for `reason`, or worked (empty): every
    // archive meter and the tray show it until a save works again, and
    // standard error says it once at each change. User-interface thread.
    void SetSettingsFault(const std::string& reason);

    // The latest texts of every camera as the workers last set them, not as
    // the user interface has shown them yet. Any thread; never waits on the
    // user-interface thread.
    std::array<CameraStatusTexts, kCameraCount> StatusTexts() const;
    // Called on the workers' threads after any of those texts changed; it
    // must only note the change. Once a call with nullptr has returned, the
    // old one is not running and will not be called again.
    void SetStatusChanged(std::function<void()> changed);

    // IRecorderDisplay, from the worker threads.
    ICameraPane& Pane(int camera) override;
    void SetMeterRange(int camera, Meter meter, int lower, int upper) override;
    void SetMeterPos(int camera, Meter meter, int pos) override;
    void SetMeterText(int camera, Meter meter, const std::string& text) override;
    void SetMeterBarColour(int camera, Meter meter, uint32_t colour) override;
    void SetLabelText(int camera, Label label, const std::string& text) override;
    void SetFault(int camera, Fault fault, const std::string& reason) override;
    void SetLabelToolTip(int camera, Label label, const std::string& text) override;
    void SetStorageFloor(bool deleting, const std::string& detail) override;

Q_SIGNALS:
    // The faults changed: the notification area's tooltip to show now.
    void trayToolTipChanged(const QString& toolTip);

private:
    void QueueFlush(bool firstSinceFlush);
    void Flush();
    CLabelProgressCtrl* MeterControl(int camera, Meter meter) const;
    QLabel* LabelControl(int camera, Label label) const;
    void NoteText(int camera, const std::function<void(CameraStatusTexts&)>& change);
    void TellStatusChanged();

    const std::array<CameraControls, kCameraCount> controls_;
    DisplayUpdateQueue updates_;
    RecordingFaults faults_;
    bool settingsFailing_ = false; // user-interface thread only

    mutable std::mutex textsMutex_; // guards texts_
    std::array<CameraStatusTexts, kCameraCount> texts_;

    // Held while it runs, so clearing it waits for a call under way.
    std::mutex statusChangedMutex_; // guards statusChanged_
    std::function<void()> statusChanged_;
    std::atomic<bool> statusWatched_{false}; // statusChanged_ is set: the workers skip the lock otherwise
};

} // namespace vistrel
