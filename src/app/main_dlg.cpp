// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_dlg.h"

#include "app/about_dlg.h"
#include "app/command_line.h"
#include "common/commands.h"
#include "common/control_id.h"
#include "app/manual.h"
#include "app/pane_layout.h"
#include "app/recorder_events.h"
#include "app/remote_access.h"
#include "settings/settings_io.h"
#include "app/setup_window.h"
#include "app/stderr_reporter.h"
#include "app/worker_factory.h"
#include "capture/capture_backend.h"
#include "common/eliding_label.h"
#include "common/label_progress_ctrl.h"
#include "common/timed_lock.h"
#include "display/picture_box.h"
#include "events/event_listener.h"
#include "options/events_dlg.h"
#include "options/muxer_dlg.h"
#include "options/options_dlg.h"
#include "options/remote_access_dlg.h"
#include "options/storage_dlg.h"
#include "pipeline/live_frames.h"
#include "pipeline/transforms.h"
#include "resources/resources.h"
#include "review/review_window.h"
#include "tray/tray_menu.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QShortcut>

#include <cstdio>
#include <optional>

namespace vistrel {

namespace {

// The event hub's edges, passed on to the web server's event pages.
class WebEventForwarder : public IEventListener {
public:
    explicit WebEventForwarder(RecorderWebBackend& backend)
        : backend_(backend)
    {
    }
    void OnEdge(const EventEdge&, const Event& event) override { backend_.EventLogged(event); }

private:
    RecorderWebBackend& backend_;
};

} // namespace

namespace {

constexpr int kExitTimerMs = 100;

} // namespace

CMainDlg::CMainDlg(MainDlgEnvironment environment)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                               | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
    , env_(std::move(environment))
    , settings_(env_.settings ? *env_.settings : InstanceSettings::Instance())
    , registry_(env_.registry ? *env_.registry : CThreadRegistry::Instance())
    , placement_(*this, [this] { CycleView(); }, [this] { LayoutPanes(0, 0); })
{
    if (env_.reporter) {
        reporter_ = env_.reporter;
    } else {
        ownReporter_ = MakeProgramReporter(this);
        reporter_ = ownReporter_.get();
    }
    workers_ = env_.workers; // the recorder's own are made with the events, at start-up
    liveFrames_ = std::make_unique<LiveFrames>();

    setWindowTitle(QStringLiteral("Vistrel"));
    setWindowIcon(ApplicationIcon());
    CreateMenu();
    CreateControls();
    display_ = std::make_unique<WorkerDisplay>(controls_);
    connect(display_.get(), &WorkerDisplay::trayToolTipChanged, this, [this](const QString& toolTip) {
        if (tray_)
            tray_->SetToolTip(toolTip);
    });

    exitTimer_.setInterval(kExitTimerMs);
    connect(&exitTimer_, &QTimer::timeout, this, &CMainDlg::OnExitTimer);

    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &CMainDlg::OpenManual);
}

CMainDlg::~CMainDlg()
{
    StopRemoteAccess();
    CloseReviews();
    if (tray_) {
        tray_->RemoveFromTray();
        tray_.reset();
    }
    // A worker still running after the exit sequence has waited for it is
    // hung: leave it (and what it uses) to the end of the process rather
    // than block here for ever.
    const bool hung = exitStarted_ && registry_.IsClosing();
    bool leftRunning = false;
    if (archiveThread_ && archiveThread_->isRunning() && hung) {
        (void)archiveThread_.release();
        leftRunning = true;
    }
    archiveThread_.reset();
    if (imageThread_ && imageThread_->isRunning() && hung) {
        (void)imageThread_.release();
        (void)setupWindow_.release();
        leftRunning = true;
        (void)liveFrames_.release();
    }
    imageThread_.reset();
    setupWindow_.reset();
    // A hung worker may still post to the events.
    if (leftRunning)
        (void)events_.release();
    events_.reset();
}

void CMainDlg::CreateMenu()
{
    auto add = [this](QMenu* menu, const QString& text, int id) {
        QAction* action = menu->addAction(text);
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        return action;
    };
    QMenuBar* bar = menuBar();
    add(bar->addMenu(QStringLiteral("&File")), QStringLiteral("&Exit"), kExitCommand);
    QAction* select = add(bar->addMenu(QStringLiteral("&Device")), QStringLiteral("&Select Device\tF2"),
                          kSelectDeviceCommand);
    select->setShortcut(QKeySequence(Qt::Key_F2));
    select->setShortcutContext(Qt::WindowShortcut);
    QMenu* options = bar->addMenu(QStringLiteral("&Options"));
    add(options, QStringLiteral("&Multiplexing"), kMultiplexingCommand);
    add(options, QStringLiteral("&Events..."), kEventsCommand);
    add(options, QStringLiteral("&Remote Access..."), kRemoteAccessCommand);
    add(options, QStringLiteral("&Storage..."), kStorageCommand);
    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    auto* views = new QActionGroup(this);
    for (auto [text, id] : {std::pair{"&1 Camera", kView1Command}, std::pair{"&4 Cameras", kView4Command},
                            std::pair{"&6 Cameras", kView6Command}, std::pair{"&8 Cameras", kView8Command}}) {
        QAction* action = add(view, QString::fromLatin1(text), id);
        action->setCheckable(true);
        views->addAction(action);
        viewActions_.push_back(action);
    }
    view->addSeparator();
    add(view, QStringLiteral("&Review Archive"), kReviewArchiveCommand);
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    add(help, QStringLiteral("&About..."), kAboutCommand);
    add(help, QStringLiteral("&Manual"), kManualCommand);
}

void CMainDlg::CreateControls()
{
    auto* client = new QWidget(this);
    setCentralWidget(client);
    for (int camera = 0; camera < kCameraCount; ++camera) {
        CameraControls& controls = controls_[camera];
        auto* pane = new CPictureBoxEx(client);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        SetControlId(pane, kPaneIdBase + camera);
        connect(pane, &CPictureBoxEx::doubleClicked, this, [this, camera](Qt::KeyboardModifiers modifiers) {
            if (modifiers & Qt::ShiftModifier)
                OpenReview(camera);
            else
                OpenCameraOptions(camera);
        });
        controls.pane = pane;

        auto* frameRate = new CElidingLabel(client);
        frameRate->setAlignment(Qt::AlignCenter);
        frameRate->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        SetControlId(frameRate, kFrameRateLabelIdBase + camera);
        controls.frameRateLabel = frameRate;

        auto* motion = new CLabelProgressCtrl(client);
        SetControlId(motion, kMotionMeterIdBase + camera);
        controls.motionMeter = motion;

        auto* forecast = new CElidingLabel(client);
        forecast->setAlignment(Qt::AlignCenter);
        SetControlId(forecast, kForecastLabelIdBase + camera);
        controls.forecastLabel = forecast;

        auto* archive = new CLabelProgressCtrl(client);
        SetControlId(archive, kArchiveMeterIdBase + camera);
        controls.archiveMeter = archive;
    }
}

bool CMainDlg::OnInitDialog()
{
    setWindowIcon(ApplicationIcon());

    InstanceLock::Result result
        = InstanceLock::Acquire(env_.lockDir.empty() ? InstanceLockDir() : env_.lockDir, env_.instance);
    if (!result.lock) {
        hidden_ = true;
        // Asked for by a service: its manager reads standard error.
        if (result.wantedHeld)
            std::fprintf(stderr, "vistrel: instance %d is already running\n", env_.instance);
        else if (result.allTaken)
            reporter_->ShowMessage("You already have 100 instances of this programming running!", "Vistrel",
                                   MessageIcon::None);
        else
            reporter_->ShowMessage(result.error, "Vistrel", MessageIcon::Error);
        if (env_.quit)
            env_.quit();
        else
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
        return false;
    }
    instanceLock_ = std::move(result.lock);
    instanceNumber_ = instanceLock_->number();
    display_->SetInstance(instanceNumber_);
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            settings_.InstanceNumber = instanceNumber_;
    }
    setWindowTitle(QString::asprintf("Vistrel %d   ", instanceNumber_));
    StartUp();
    return true;
}

void CMainDlg::PrepareMeters()
{
    for (const CameraControls& controls : controls_) {
        for (CLabelProgressCtrl* meter : {controls.motionMeter, controls.archiveMeter}) {
            meter->SetStaticEdge(true);
            meter->SetShowText(true);
            meter->SetWindowText(QStringLiteral(" "));
        }
        controls.motionMeter->SetRange(0, 128);
        controls.archiveMeter->SetRange(0, 100);
    }
}

void CMainDlg::StartUp()
{
    hidden_ = IsStartHidden(env_.arguments);
    PrepareMeters();

    // The events come first: the workers and the setup window post to them.
    events_ = std::make_unique<RecorderEvents>(instanceNumber_, env_.lockDir.empty() ? InstanceLockDir() : env_.lockDir,
                                               settings_);
    connect(events_.get(), &RecorderEvents::gapsChanged, this, [this] {
        PostThreadMessage(ImageThreadId(), WM_SETTINGS_CHANGED, 0, 0);
    });
    connect(events_.get(), &RecorderEvents::notificationActivated, this, [this](char camera, qint64 startS) {
        if (ReviewWindow* review = OpenReview(camera - 'A'))
            review->JumpTo(startS * 1000);
    });
    display_->SetEventSink(&events_->Sink());
    if (!workers_) {
        ownWorkers_ = std::make_unique<RecorderWorkerFactory>(&events_->Sink(), liveFrames_.get());
        workers_ = ownWorkers_.get();
    }

    archiveThread_ = workers_->CreateArchiveThread(*display_, settings_, registry_);

    // The setup window is made before the image thread, which takes it as its
    // video source; both stay idle until the settings are loaded.
    setupWindow_ = std::make_unique<CModelessDlg>(
        *reporter_, settings_, [this](int view, uint32_t frameSize) { OnRelayout(view, frameSize); },
        [this] { OpenManual(); }, env_.captureBackend ? env_.captureBackend() : nullptr);
    if (QScreen* screen = setupWindow_->screen()) {
        QRect frame = setupWindow_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        setupWindow_->move(frame.topLeft());
    }

    setupWindow_->SetEventSink(&events_->Sink());
    imageThread_ = workers_->CreateImageThread(*display_, *setupWindow_, settings_, registry_);
    setupWindow_->SetThreadIds(ImageThreadId(), ArchiveThreadId());

    LoadSettings();
    // Once the settings gave the events their listeners, so the hook and the
    // broker hear of the start too.
    events_->PostRecorderEdge(EdgeKind::RecorderStart);

    RecorderWebBackend::Parts web;
    web.display = display_.get();
    web.live = liveFrames_.get();
    web.settings = &settings_;
    web.video = setupWindow_.get();
    web.storeFolder = env_.lockDir.empty() ? InstanceLockDir() : env_.lockDir;
    remoteAccess_ = std::make_unique<RemoteAccess>(std::move(web), WebExportFolder(instanceNumber_));
    ShowToRemoteViewers();
    remoteAccess_->Start(instanceNumber_);
    events_->SetWebListener(std::make_unique<WebEventForwarder>(remoteAccess_->Backend()));

    QString toolTip = QString::asprintf("Vistrel %d", instanceNumber_);
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            toolTip = QString::asprintf("Vistrel %d", settings_.InstanceNumber);
    }
    if (!tray_) {
        tray_ = std::make_unique<CSystemTray>(*this, env_.trayAvailable, this);
        tray_->ShowInTray(toolTip, windowIcon(), kTrayIconId);
    }
    if (hidden_ && !tray_->isIconShown()) {
        // Started hidden on a desktop without a notification area: nothing
        // could bring the window back, so it starts minimised instead, as
        // closing it does there.
        hidden_ = false;
        setWindowState(windowState() | Qt::WindowMinimized);
    }

    // A stop requested while start-up waited in a message box has found no
    // worker registered; resumed now, they would only end at once.
    if (exitStarted_)
        return;
    if (archiveThread_)
        archiveThread_->Resume();
    if (imageThread_)
        imageThread_->Resume();
}

void CMainDlg::LoadSettings()
{
    const bool videoOn = LoadInstanceSettings(settings_, key_, camView_);
    if (events_)
        events_->Reload(); // before the workers start or hear of the new settings
    LayoutPanes(0, 0);
    if (!setupWindow_ || !videoOn)
        return;
    int device = 0;
    int input = 0;
    std::string format;
    DeviceIdentity identity;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return;
        device = settings_.Device;
        input = settings_.InputPin;
        format = settings_.VideoFormat;
        identity = {settings_.DeviceName, settings_.DeviceBusInfo, settings_.DeviceLink};
    }
    setupWindow_->Initialize(device, format, input, identity);
}

void CMainDlg::SaveSettings()
{
    std::optional<bool> videoOn;
    if (setupWindow_)
        videoOn = setupWindow_->Video().IsRunning();
    const SaveStatus status = env_.saveSettings ? env_.saveSettings(settings_, key_, camView_, videoOn)
                                                : SaveInstanceSettings(settings_, key_, camView_, videoOn);
    lastSaveFailed_ = !status.ok();
    for (const KeptAsideFile& kept : status.keptAside)
        std::fprintf(stderr, "Vistrel %d: settings file %s could not be read (%s); kept as %s\n", instanceNumber_,
                     kept.file.c_str(), kept.reason.c_str(), kept.keptAs.c_str());
    std::fflush(stderr);
    display_->SetSettingsFault(SaveFailureText(status));
    // A dialog changed the settings: the retention that bounds the log may
    // be new. The dialog tells the workers itself.
    if (events_ && !exitStarted_)
        events_->Reload();
}

void CMainDlg::OnCommand(int commandId)
{
    // Once exit has begun, nothing may open a dialog or save again.
    if (exitStarted_)
        return;
    switch (commandId) {
    case kExitCommand:
    case kTrayExitCommand:
        StartExit();
        break;
    case kSelectDeviceCommand:
        ShowSetupWindow();
        break;
    case kMultiplexingCommand:
        OpenMultiplexer();
        break;
    case kEventsCommand:
        OpenEvents();
        break;
    case kRemoteAccessCommand:
        OpenRemoteAccess();
        break;
    case kStorageCommand:
        OpenStorage();
        break;
    case kView1Command:
        LayoutPanes(1, 0);
        break;
    case kView4Command:
        LayoutPanes(4, 0);
        break;
    case kView6Command:
        LayoutPanes(6, 0);
        break;
    case kView8Command:
        LayoutPanes(8, 0);
        break;
    case kReviewArchiveCommand:
        OpenReview(0);
        break;
    case kAboutCommand:
        ShowAbout();
        break;
    case kManualCommand:
        OpenManual();
        break;
    case kTrayRestoreCommand:
        Restore();
        break;
    default:
        break;
    }
}

void CMainDlg::PostCommand(int commandId)
{
    QMetaObject::invokeMethod(this, [this, commandId] { OnCommand(commandId); }, Qt::QueuedConnection);
}

void CMainDlg::OnRelayout(int view, uint32_t frameSize)
{
    LayoutPanes(view, frameSize);
}

void CMainDlg::LayoutPanes(int view, uint32_t frameSize)
{
    if (view != 0)
        camView_ = view;
    if (frameSize != 0) {
        singleWidth_ = int(frameSize & 0xFFFFu) + 2;
        singleHeight_ = int(frameSize >> 16) + 2;
    }
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            rotationA_ = RotationDegrees(settings_.Rotation[0]);
    }

    const PaneLayout layout = ComputePaneLayout(camView_, singleWidth_, singleHeight_, rotationA_);
    const int shownView = layout.cameraCount;
    for (QAction* action : viewActions_) {
        const int id = CommandId(action);
        action->setChecked((id == kView1Command && shownView == 1) || (id == kView4Command && shownView == 4)
                           || (id == kView6Command && shownView == 6) || (id == kView8Command && shownView == 8));
    }
    QRect extent;
    for (int camera = 0; camera < kCameraCount; ++camera) {
        const bool shown = camera < layout.cameraCount;
        const CameraRects& rects = layout.cameras[camera];
        const CameraControls& controls = controls_[camera];
        const std::pair<QWidget*, QRect> placed[] = {
            {controls.pane, rects.pane},
            {controls.frameRateLabel, rects.frameRateLabel},
            {controls.motionMeter, rects.motionMeter},
            {controls.forecastLabel, rects.forecastLabel},
            {controls.archiveMeter, rects.archiveMeter},
        };
        for (const auto& [widget, rect] : placed) {
            widget->setVisible(shown);
            if (shown) {
                widget->setGeometry(rect);
                widget->update();
                extent |= rect;
            }
        }
    }

    placement_.FitToLayout(layout.windowSize, extent);
    update();
    shownCameras_ = layout.cameraCount;
    ShowToRemoteViewers();
}

void CMainDlg::ShowToRemoteViewers()
{
    if (!remoteAccess_)
        return;
    std::string device;
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            device = settings_.DeviceName;
    }
    remoteAccess_->Backend().SetShown(instanceNumber_, shownCameras_, device);
}

void CMainDlg::CycleView()
{
    switch (camView_) {
    case 1: camView_ = 4; break;
    case 4: camView_ = 6; break;
    case 6: camView_ = 8; break;
    case 8: camView_ = 1; break;
    default: break; // any other stored view stays as it is
    }
    LayoutPanes(0, 0);
}

void CMainDlg::ShowSetupWindow()
{
    if (!setupWindow_)
        return;
    setupWindow_->move(pos() + QPoint(25, 25));
    setupWindow_->ShowSetupWindow();
}

void CMainDlg::OpenCameraOptions(int camera)
{
    if (exitStarted_)
        return;
    COptionsDlg dialog(*this, settings_, camera, this);
    dialog.exec();
}

void CMainDlg::OpenMultiplexer()
{
    CMuxerDlg dialog(*this, settings_, this);
    dialog.exec();
}

void CMainDlg::OpenStorage()
{
    if (exitStarted_)
        return;
    CStorageDlg dialog(*this, settings_, this);
    // What the archive thread last said of each camera's disk.
    std::string space;
    for (int camera = 0; camera < kCameraCount; ++camera) {
        const QString tip = controls_[size_t(camera)].forecastLabel->toolTip();
        if (!tip.isEmpty())
            space += std::string(space.empty() ? "" : "\n") + "Camera " + CameraLetter(camera) + ": " + tip.toStdString();
    }
    dialog.SetSpaceText(space);
    dialog.exec();
}

// The hub lets go of the backend before the backend goes.
void CMainDlg::StopRemoteAccess()
{
    if (events_)
        events_->SetWebListener(nullptr);
    remoteAccess_.reset();
}

void CMainDlg::OpenRemoteAccess()
{
    if (exitStarted_ || !remoteAccess_)
        return;
    CRemoteAccessDlg dialog(*this, instanceNumber_, remoteAccess_->StoreFolder(), remoteAccess_->StateText(), this);
    connect(&dialog, &CRemoteAccessDlg::settingsWritten, remoteAccess_.get(), &RemoteAccess::Reload);
    dialog.exec();
}

void CMainDlg::OpenEvents()
{
    CEventsDlg dialog(*this, instanceNumber_, [this] { ReloadEvents(); }, this);
    dialog.exec();
}

void CMainDlg::ReloadEvents()
{
    if (events_ && events_->Reload())
        PostThreadMessage(ImageThreadId(), WM_SETTINGS_CHANGED, 0, 0);
}

ReviewWindow* CMainDlg::OpenReview(int camera)
{
    if (exitStarted_ || camera < 0 || camera >= kCameraCount)
        return nullptr;
    std::erase_if(reviewWindows_, [](const QPointer<ReviewWindow>& window) { return window.isNull(); });
    for (const QPointer<ReviewWindow>& window : reviewWindows_) {
        if (window->camera() == camera) {
            window->showNormal();
            window->raise();
            window->activateWindow();
            return window;
        }
    }
    ReviewEnvironment environment;
    environment.settings = &settings_;
    auto* window = new ReviewWindow(camera, environment);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowIcon(windowIcon());
    reviewWindows_.emplace_back(window);
    window->show();
    return window;
}

void CMainDlg::CloseReviews()
{
    for (const QPointer<ReviewWindow>& window : reviewWindows_) {
        if (!window || !window->close())
            continue;
        // Closing deletes it (WA_DeleteOnClose), and so cancels its export;
        // that happens now rather than at the next turn of the event loop,
        // because the export reads the settings this window was given.
        QCoreApplication::sendPostedEvents(window, QEvent::DeferredDelete);
    }
    reviewWindows_.clear();
}

void CMainDlg::ShowAbout()
{
    CAboutDlg about([this] { OpenManual(); }, ManualPath(), this);
    about.exec();
}

void CMainDlg::OpenManual()
{
    const QString path = ManualPath();
    const QUrl url = QUrl::fromLocalFile(path);
    if (env_.openUrl ? env_.openUrl(url) : OpenWithDesktop(url))
        return;
    // A modal dialog that asked for it (F1 in the About box) would block a
    // window of anyone else: the manual window then belongs to that dialog.
    QWidget* modal = QApplication::activeModalWidget();
    QWidget* owner = modal ? modal : this;
    if (!manualWindow_ || manualWindow_->parentWidget() != owner) {
        if (manualWindow_)
            manualWindow_->close();
        manualWindow_ = new CManualWindow(path, owner);
        manualWindow_->setAttribute(Qt::WA_DeleteOnClose);
    }
    manualWindow_->show();
    manualWindow_->raise();
    manualWindow_->activateWindow();
}

void CMainDlg::Restore()
{
    hidden_ = false;
    if (tray_)
        tray_->ShowFromTray(this, false);
    else
        show();
}

void CMainDlg::SendToTray()
{
    // Without an icon to bring it back from, hiding would lose the window.
    if (tray_ && tray_->isIconShown())
        tray_->HideToTray(this, false);
    else if (isVisible())
        showMinimized();
}

void CMainDlg::StartExit()
{
    if (exitStarted_)
        return;
    exitStarted_ = true;
    StartExitThread(registry_, this, [this] { exitTimer_.start(); });
}

void CMainDlg::OnExitTimer()
{
    // A message box or dialog still open means the code that opened it waits
    // inside its loop, and that code may belong to the setup window (an "Init
    // Failed" box during a start). Close them and keep the timer running: the
    // next tick comes once they have returned, and only then is anything
    // torn down.
    if (CloseModalWindows())
        return;
    exitTimer_.stop();
    StopRemoteAccess();
    CloseReviews();
    if (events_)
        events_->PostRecorderEdge(EdgeKind::RecorderExit);
    if (setupWindow_) {
        SaveSettings();
        finalSaveFailed_ = lastSaveFailed_;
        setupWindow_->Video().StopCapture();
        // The image thread uses the setup window as its video source; it has
        // ended unless it outlived the exit thread's wait.
        if (!imageThread_ || !imageThread_->isRunning())
            setupWindow_.reset();
        else
            setupWindow_->hide();
    }
    // exit(), not quit(): quit() first asks every window to close, and the
    // main window refuses (closing only hides it to the tray).
    exitFinished_ = true;
    if (env_.quit)
        env_.quit();
    else
        QCoreApplication::exit(0);
}

bool CMainDlg::CloseModalWindows()
{
    bool open = false;
    if (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
        open = true;
    }
    while (QWidget* modal = QApplication::activeModalWidget()) {
        open = true;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal)
            break; // it refuses to close: wait for the user
    }
    return open;
}

bool CMainDlg::workerHung() const
{
    const auto running = [](const auto& worker) { return worker && worker->isRunning(); };
    return exitFinished_ && (running(imageThread_) || running(archiveThread_));
}

int CMainDlg::VideoInputCount()
{
    return setupWindow_ ? setupWindow_->Video().ListInputs(nullptr) : -1;
}

ThreadId CMainDlg::ImageThreadId() const
{
    return imageThread_ ? imageThread_->threadId() : 0;
}

ThreadId CMainDlg::ArchiveThreadId() const
{
    return archiveThread_ ? archiveThread_->threadId() : 0;
}

IMessageReporter& CMainDlg::Reporter()
{
    return *reporter_;
}

const QMenuBar* CMainDlg::TrayMenuBar() const
{
    return menuBar();
}

void CMainDlg::setVisible(bool visible)
{
    // Started with -m: everything works, but the window stays invisible
    // until "&Restore" clears the flag.
    if (visible && hidden_)
        return;
    QMainWindow::setVisible(visible);
}

void CMainDlg::closeEvent(QCloseEvent* event)
{
    // Closing only sends the window to the tray; "&Exit" ends the program.
    event->ignore();
    SendToTray();
}

void CMainDlg::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        SendToTray();
        return;
    default:
        QMainWindow::keyPressEvent(event);
    }
}

} // namespace vistrel
