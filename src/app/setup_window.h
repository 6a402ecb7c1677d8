// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/instance_settings.h"
#include "capture/dxvideo.h"
#include "common/event.h"
#include "common/messages.h"
#include "common/message_reporter.h"
#include "common/video_source.h"

#include <QPointer>
#include <QTime>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTimer;

namespace Ui {
class SetupWindow;
}

namespace vistrel {

class CapturePreview;
class CNetworkCamerasDlg;
class FormatProbe;
class ICaptureBackend;

// The "Video Device Setup" window: picks the device, format and input,
// starts and stops capture and shows the live preview. It owns the process's
// capture object. Lives on the user-interface thread and is only hidden and
// shown between start-up and exit. The image thread reaches it through
// IVideoSource, whose methods never block on the user-interface thread.
// While capture runs, a watchdog on the user-interface thread notices a lost
// device and starts it again, with the same format and input, once the same
// device (by its identity, never another one) is back; a stored device that
// is missing at start-up is waited for the same way. A device that comes
// back by itself (a network camera) is shown lost until its frames flow
// again, without a restart; one whose picture size changed is started again
// in the new size. Nothing here waits on the network: a network camera's
// formats are asked for on a thread of their own.
//
// A lost device is a lost camera for each camera it records, told as
// camera-lost and camera-back events.
class CModelessDlg : public QWidget, public IVideoSource {
    Q_OBJECT
public:
    // `relayout` stands for WM_RELAYOUT to the main window (view, frame width
    // in the low 16 bits and height in the high 16 bits); it is called
    // synchronously. `openManual` answers F1. With no backend, CDXVideo uses
    // the V4L2 devices and the test-pattern device.
    CModelessDlg(IMessageReporter& reporter, InstanceSettings& settings,
                 std::function<void(int view, uint32_t frameSize)> relayout, std::function<void()> openManual,
                 std::unique_ptr<ICaptureBackend> backend = nullptr);
    ~CModelessDlg() override;

    // The workers that hear WM_SETTINGS_CHANGED from this window.
    void SetThreadIds(ThreadId imageThread, ThreadId archiveThread);
    // Where lost and found devices are told (none: nowhere); it must outlive
    // this window or be unset first.
    void SetEventSink(IEventSink* events) { events_ = events; }

    // Shows the window and brings it to the front.
    void ShowSetupWindow();
    // Starts capture on `device` with the first format beginning with
    // `formatText`, and routes `input` when it is a valid input (-1: none).
    // With an identity (the stored one, at start-up) the device with that
    // identity is started wherever it is numbered now; while it is missing
    // the window shows it lost and waits for it.
    void Initialize(int device, const std::string& formatText, int input, const DeviceIdentity& identity = {});
    void UnInitialize();

    // How often the watchdog looks at the running capture (1000 ms unless set).
    void SetWatchdogIntervalMs(int intervalMs);
    // True from the watchdog noticing a lost device until it runs again or
    // capture is stopped or started anew.
    bool Reconnecting() const { return lost_.has_value(); }
    bool WatchdogActive() const;

    CDXVideo& Video() { return *video_; }

    // IVideoSource, for the image thread.
    bool IsRunning() override;
    std::unique_ptr<Frame> GrabFrame() override;
    int ListInputs() override;
    int SelectInput(int input) override;
    void SetInputListEnabled(bool enabled) override;
    int InputListSelection() override;
    void SetGrabIntervalMs(int intervalMs) override;

    // Opens the "Network Cameras" dialog (window-modal, without waiting for
    // it); the device list follows what it changed once it closes.
    void OpenNetworkCameras();
    // Lists the devices again, keeping the running device (or the one
    // chosen) chosen wherever it is numbered now.
    void RefreshDevices();
    // The dialog OpenNetworkCameras opened, while it is open.
    CNetworkCamerasDlg* networkCamerasDialog() const;
    // True while a network camera's formats are being asked for.
    bool ProbingFormats() const { return formatProbe_ != nullptr; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnInitDialog();
    void OnDeviceChosen(int index);
    // Fills the format list for `device`: at once for a local device; for a
    // network camera when its stream has answered (FormatProbe).
    void ListFormatsOf(int device);
    void OnFormatsProbed();
    void OnInputChosen(int index);
    void OnStandardChosen(int index);
    // Puts the stored standard into the list and the capture object.
    void ApplyStoredStandard();
    void UpdateStandardList();
    // Shows the stored device as lost and lets the watchdog wait for it.
    void WaitForDevice(const DeviceIdentity& identity, int device, const std::string& formatText, int input);
    // Initialize, with `toFront` false for a start the user did not ask for.
    void Start(int device, const std::string& formatText, int input, const DeviceIdentity& identity, bool toFront);
    void OnInitializeClicked();
    void SetStatus(const QString& text);
    void ShowRunningStatus();
    QString RunningText();
    void NotifyWorkers();
    // Points the device and format lists at what is about to start.
    void ShowChoice(int device, const std::string& formatText);
    // After a successful start: lists the inputs, stores the device and
    // routes `input` unless multiplexing is on. Returns whether it is on.
    bool CompleteStart(int device, const std::string& formatText, int input, bool reconnect);
    void StartWatchdog();
    void StopWatchdog();
    void OnWatchdog();
    void TryReconnect();
    // A device that reconnects itself delivers again.
    void ShowReconnected();
    // The running device's frames now have the size `format`.
    void RestartInFormat(const CaptureFormat& format);
    // camera-lost or camera-back for every camera the device records.
    void PostCameraEdges(EdgeKind kind);

    // Passes the capture object's messages on, except while quiet: a
    // reconnect attempt runs every tick and must never pile up boxes.
    // User-interface thread only, like every reporter.
    class QuietableReporter : public IMessageReporter {
    public:
        explicit QuietableReporter(IMessageReporter& target)
            : target_(target)
        {
        }
        void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override
        {
            if (!quiet)
                target_.ShowMessage(text, caption, icon);
        }
        bool quiet = false;

    private:
        IMessageReporter& target_;
    };

    // What ran when the device was lost, to start it again the same way.
    struct LostCapture {
        DeviceIdentity identity;
        int device = 0;
        std::string formatText;
        int input = -1;
        QTime lostAt;
        bool startPending = false;    // missing at start-up: nothing ran yet
        bool reconnectsItself = false; // still running: waits for its frames
    };

    std::unique_ptr<Ui::SetupWindow> ui_;
    InstanceSettings& settings_;
    std::function<void(int, uint32_t)> relayout_;
    std::function<void()> openManual_;
    QuietableReporter reporter_; // before video_, which reports through it
    std::unique_ptr<CDXVideo> video_;
    CapturePreview* preview_ = nullptr; // child of the preview area
    ThreadId imageThread_ = 0;
    ThreadId archiveThread_ = 0;
    // The input list's current position, mirrored on the user-interface
    // thread so the image thread can read it without waiting.
    std::atomic<int> inputSelection_{-1};

    // User-interface thread only.
    QTimer* watchdog_ = nullptr; // child of this window
    int runningDevice_ = -1;
    std::string runningFormat_;
    std::optional<LostCapture> lost_;
    IEventSink* events_ = nullptr;
    int baseHeight_ = 0; // the window's height without the standard list
    std::unique_ptr<FormatProbe> formatProbe_; // the network camera whose formats are asked for
    QPointer<CNetworkCamerasDlg> networkCameras_; // child of this window while open
};

} // namespace vistrel
