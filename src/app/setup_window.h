#pragma once

#include "app/settings/instance_settings.h"
#include "capture/dxvideo.h"
#include "common/messages.h"
#include "common/message_reporter.h"
#include "common/video_source.h"

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QLabel;

namespace Ui {
class SetupWindow;
}

namespace vistrel {

class CapturePreview;
class ICaptureBackend;

// The "Video Device Setup" window: picks the device, format and input,
// starts and stops capture and shows the live preview. It owns the process's
// capture object. Lives on the user-interface thread and is only hidden and
// shown between start-up and exit. The image thread reaches it through
// IVideoSource, whose methods never block on the user-interface thread.
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

    // Shows the window and brings it to the front.
    void ShowSetupWindow();
    // Starts capture on `device` with the first format beginning with
    // `formatText`, and routes `input` when it is a valid input (-1: none).
    void Initialize(int device, const std::string& formatText, int input);
    void UnInitialize();

    CDXVideo& Video() { return *video_; }

    // IVideoSource, for the image thread.
    bool IsRunning() override;
    std::unique_ptr<Frame> GrabFrame() override;
    int ListInputs() override;
    int SelectInput(int input) override;
    void SetInputListEnabled(bool enabled) override;
    int InputListSelection() override;

    QString statusText() const;
    QComboBox* deviceList() const;
    QComboBox* formatList() const;
    QComboBox* inputList() const;
    CapturePreview* preview() const { return preview_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnInitDialog();
    void OnDeviceChosen(int index);
    void OnInputChosen(int index);
    void OnInitializeClicked();
    void SetStatus(const QString& text);
    void ShowRunningStatus();
    void NotifyWorkers();

    std::unique_ptr<Ui::SetupWindow> ui_;
    InstanceSettings& settings_;
    std::function<void(int, uint32_t)> relayout_;
    std::function<void()> openManual_;
    std::unique_ptr<CDXVideo> video_;
    CapturePreview* preview_ = nullptr; // child of the preview area
    ThreadId imageThread_ = 0;
    ThreadId archiveThread_ = 0;
    // The input list's current position, mirrored on the user-interface
    // thread so the image thread can read it without waiting.
    std::atomic<int> inputSelection_{-1};
};

} // namespace vistrel
