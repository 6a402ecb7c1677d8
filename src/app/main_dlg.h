// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/instance_lock.h"
#include "app/manual.h"
#include "app/window_placement.h"
#include "app/worker_display.h"
#include "settings/instance_settings.h"
#include "settings/registry_key.h"
#include "settings/registry_store.h"
#include "common/message_reporter.h"
#include "common/thread_registry.h"
#include "common/worker_thread.h"
#include "options/dialog_host.h"
#include "tray/system_tray.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QUrl;

namespace vistrel {

class CModelessDlg;
class ICaptureBackend;
class IWorkerFactory;
class RecorderEvents;
class LiveFrames;
class RemoteAccess;
class ReviewWindow;

// What the main window takes from the process. Tests substitute any of it;
// an empty member means the program's own.
struct MainDlgEnvironment {
    InstanceSettings* settings = nullptr;   // InstanceSettings::Instance()
    CThreadRegistry* registry = nullptr;    // CThreadRegistry::Instance()
    IMessageReporter* reporter = nullptr;   // message boxes over the main window (stderr offscreen)
    IWorkerFactory* workers = nullptr;      // the archive and image threads
    std::vector<std::string> arguments;     // the command line after the program path
    int instance = 0;                       // --instance: only this number; 0: the lowest free one
    std::string lockDir;                    // InstanceLockDir(): the settings store's folder
    std::function<bool()> trayAvailable;    // asks the desktop
    std::function<bool(const QUrl&)> openUrl; // OpenWithDesktop; false: the program's own manual window
    std::function<void()> quit;             // QCoreApplication::quit
    std::function<std::unique_ptr<ICaptureBackend>()> captureBackend; // V4L2 and the test pattern
    // SaveInstanceSettings
    std::function<SaveStatus(InstanceSettings&, CRegistryKey&, int32_t camView, std::optional<bool> videoOn)>
        saveSettings;
};

// The main window: eight camera panes with their meters and labels in views
// of 1, 4, 6 or 8 cameras, the menus and their commands, start-up and the
// exit sequence. It owns the two workers, the display they write to, the
// Video Device Setup window and the tray icon. Lives on the user-interface
// thread; the workers reach its controls only through the WorkerDisplay.
class CMainDlg : public QMainWindow, public IDialogHost, public ITrayTarget {
    Q_OBJECT
public:
    explicit CMainDlg(MainDlgEnvironment environment = {});
    ~CMainDlg() override;

    // Start-up: takes the instance number, reads the command line, creates
    // the workers suspended and the setup window hidden, loads the settings
    // (which may start capture), adds the tray icon and resumes the workers.
    // False when no instance number could be taken: the message has been
    // shown, nothing was created and the application has been asked to quit.
    bool OnInitDialog();

    // A menu command (menu 129 or the tray menu 134).
    void OnCommand(int commandId);
    // WM_RELAYOUT from the setup window.
    void OnRelayout(int view, uint32_t frameSize);
    // Reads every setting, lays out the panes and restarts capture if it was on.
    void LoadSettings();
    // The exit sequence: stops the workers on a short-lived thread, then saves
    // and quits on timer 5. Only the first request counts.
    void StartExit();

    // IDialogHost. A save that fails is shown as a recording fault is (on
    // standard error once, on the archive meters and in the tray) until a
    // save works again; key files kept aside are said on standard error.
    void SaveSettings() override;
    void LayoutPanes(int view, uint32_t frameSize) override;
    void PostCommand(int commandId) override;
    int VideoInputCount() override;
    ThreadId ImageThreadId() const override;
    ThreadId ArchiveThreadId() const override;
    IMessageReporter& Reporter() override;
    void OpenManual() override;

    // ITrayTarget
    const QMenuBar* TrayMenuBar() const override;

    bool exitStarted() const { return exitStarted_; }
    // The exit sequence has saved and asked the event loop to end.
    bool exitFinished() const { return exitFinished_; }
    // After the exit sequence: a worker outlived its wait and still writes
    // to this window's display.
    bool workerHung() const;
    // The exit sequence's save failed: the process ends with status 1.
    bool finalSaveFailed() const { return finalSaveFailed_; }

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateMenu();
    void CreateControls();
    void PrepareMeters();
    void StartUp();
    void ShowSetupWindow();
    void OpenCameraOptions(int camera);
    void OpenMultiplexer();
    void OpenEvents();
    void OpenRemoteAccess();
    void StopRemoteAccess();
    void OpenStorage();
    // The camera's review window, opened or brought to the front.
    ReviewWindow* OpenReview(int camera);
    // Reads the events settings again; the image thread reloads when a gap changed.
    void ReloadEvents();
    void CloseReviews();
    void ShowAbout();
    void Restore();
    void SendToTray();
    void CycleView();
    // Tells the web pages which cameras the window shows, and the device.
    void ShowToRemoteViewers();
    void OnExitTimer();
    // Closes open popups, message boxes and dialogs; true when any was open.
    bool CloseModalWindows();

    MainDlgEnvironment env_;
    InstanceSettings& settings_;
    CThreadRegistry& registry_;
    std::unique_ptr<IMessageReporter> ownReporter_;
    IMessageReporter* reporter_;
    std::unique_ptr<IWorkerFactory> ownWorkers_;
    IWorkerFactory* workers_;
    CRegistryKey key_;

    std::unique_ptr<InstanceLock> instanceLock_;
    int instanceNumber_ = 0;
    bool hidden_ = false;
    int camView_ = 1;
    int singleWidth_ = 0;  // frame width + 2; 0 until a frame size is known
    int singleHeight_ = 0; // frame height + 2
    int rotationA_ = 0;    // camera A's rotation as last read
    int shownCameras_ = 1; // cameras in the view laid out last
    std::vector<QAction*> viewActions_; // "&1 Camera" .. "&8 Cameras", checked by the view shown
    WindowPlacement placement_;

    std::array<CameraControls, kCameraCount> controls_{}; // children of the client area
    std::unique_ptr<WorkerDisplay> display_; // outlives the workers that write to it
    // Made before the workers and the setup window, which post to it, and
    // destroyed after them.
    std::unique_ptr<RecorderEvents> events_;
    // The image thread's pictures for remote viewers; outlives the image thread.
    std::unique_ptr<LiveFrames> liveFrames_;

    std::unique_ptr<CModelessDlg> setupWindow_;
    std::unique_ptr<CWorkerThread> archiveThread_;
    std::unique_ptr<CWorkerThread> imageThread_;
    std::unique_ptr<CSystemTray> tray_;
    // The web server and what it reads; gone before the workers and the display.
    std::unique_ptr<RemoteAccess> remoteAccess_;
    // Top-level windows of their own, so they stay when this one goes to
    // the tray; closed (and their exports cancelled) at exit.
    std::vector<QPointer<ReviewWindow>> reviewWindows_;

    QPointer<CManualWindow> manualWindow_; // owned by this window or by the dialog that asked for it
    QTimer exitTimer_; // timer 5: the last steps of the exit sequence
    bool exitStarted_ = false;
    bool exitFinished_ = false;
    bool lastSaveFailed_ = false;
    bool finalSaveFailed_ = false;
};

} // namespace vistrel
