// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/setup_window.h"

#include "app/format_probe.h"
#include "app/network_cameras_dlg.h"
#include "capture/capture_backend.h"
#include "capture/capture_preview.h"
#include "common/combo_box.h"
#include "common/dialog_units.h"
#include "common/timed_lock.h"
#include "common/worker_thread.h"
#include "settings/registry_store.h"
#include "ui_setup_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>

namespace vistrel {

namespace {

const QString kUnInitialized = QStringLiteral("Video UnInitialized");
constexpr int kWatchdogIntervalMs = 1000;

} // namespace

CModelessDlg::CModelessDlg(IMessageReporter& reporter, InstanceSettings& settings,
                           std::function<void(int, uint32_t)> relayout, std::function<void()> openManual,
                           std::unique_ptr<ICaptureBackend> backend)
    : QWidget(nullptr, Qt::Dialog)
    , ui_(std::make_unique<Ui::SetupWindow>())
    , settings_(settings)
    , relayout_(std::move(relayout))
    , openManual_(std::move(openManual))
    , reporter_(reporter)
    , video_(std::make_unique<CDXVideo>(reporter_, std::move(backend)))
{
    ui_->setupUi(this);
    ApplyDialogUnits(*this);
    baseHeight_ = height(); // the standard list lies below it
    ui_->standardLabel->hide();
    ui_->standardList->hide();

    auto* previewLayout = new QVBoxLayout(ui_->previewArea);
    previewLayout->setContentsMargins(1, 1, 1, 1);
    preview_ = new CapturePreview(ui_->previewArea);
    previewLayout->addWidget(preview_);

    connect(ui_->deviceList, &QComboBox::activated, this, &CModelessDlg::OnDeviceChosen);
    connect(ui_->inputList, &QComboBox::activated, this, &CModelessDlg::OnInputChosen);
    connect(ui_->inputList, &QComboBox::currentIndexChanged, this,
            [this](int index) { inputSelection_.store(index); });
    connect(ui_->standardList, &QComboBox::activated, this, &CModelessDlg::OnStandardChosen);
    connect(ui_->initializeButton, &QPushButton::clicked, this, &CModelessDlg::OnInitializeClicked);
    connect(ui_->unInitializeButton, &QPushButton::clicked, this, &CModelessDlg::UnInitialize);
    connect(ui_->networkButton, &QPushButton::clicked, this, &CModelessDlg::OpenNetworkCameras);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [this] {
        if (openManual_)
            openManual_();
    });
    watchdog_ = new QTimer(this);
    watchdog_->setInterval(kWatchdogIntervalMs);
    connect(watchdog_, &QTimer::timeout, this, &CModelessDlg::OnWatchdog);

    OnInitDialog();
}

CModelessDlg::~CModelessDlg()
{
    StopWatchdog();
    formatProbe_.reset();
    // The preview widget must not outlive the capture that feeds it.
    if (video_)
        video_->StopCapture();
}

void CModelessDlg::OnInitDialog()
{
    video_->InitCom();
    video_->ListDevices(ui_->deviceList);
    ListFormatsOf(0);
    ui_->inputList->setEnabled(false);
    SetStatus(kUnInitialized);
}

void CModelessDlg::SetThreadIds(ThreadId imageThread, ThreadId archiveThread)
{
    imageThread_ = imageThread;
    archiveThread_ = archiveThread;
}

void CModelessDlg::ShowSetupWindow()
{
    show();
    raise();
    activateWindow();
}

void CModelessDlg::OnDeviceChosen(int index)
{
    if (index >= 0)
        ListFormatsOf(index);
}

void CModelessDlg::ListFormatsOf(int device)
{
    formatProbe_.reset();
    if (FormatQuery query = video_->RemoteFormatQuery(device)) {
        // A network camera answers in seconds, if at all: the list stays
        // empty and disabled until it has.
        CDXVideo::FillFormatList({}, ui_->formatList);
        formatProbe_ = std::make_unique<FormatProbe>(device, std::move(query));
        connect(formatProbe_.get(), &FormatProbe::finished, this, &CModelessDlg::OnFormatsProbed);
        formatProbe_->Start();
        return;
    }
    video_->ListFormats(device, ui_->formatList);
}

void CModelessDlg::OnFormatsProbed()
{
    // Answers for a device no longer chosen are left; the probe ends with
    // the next choice.
    if (formatProbe_ && ui_->deviceList->currentIndex() == formatProbe_->device())
        CDXVideo::FillFormatList(formatProbe_->formats(), ui_->formatList);
}

void CModelessDlg::OnInputChosen(int index)
{
    if (index < 0 || video_->SelectInput(index) == 0)
        return;
    TimedLock lock(settings_.SettingsLock);
    if (lock)
        settings_.InputPin = index;
}

void CModelessDlg::OnStandardChosen(int index)
{
    if (index < 0)
        return;
    const std::string name = ui_->standardList->itemText(index).toStdString();
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            settings_.VideoStandard = name;
    }
    video_->SetVideoStandard(VideoStandardFromName(name));
}

void CModelessDlg::ApplyStoredStandard()
{
    std::string name;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return;
        name = settings_.VideoStandard;
    }
    const VideoStandard standard = VideoStandardFromName(name);
    ui_->standardList->setCurrentText(QString::fromLatin1(VideoStandardName(standard)));
    video_->SetVideoStandard(standard);
}

void CModelessDlg::UpdateStandardList()
{
    // Only a device with analog inputs has standards to choose from.
    const bool shown = video_->IsRunning() && video_->HasStandards();
    ui_->standardLabel->setVisible(shown);
    ui_->standardList->setVisible(shown);
    setFixedSize(width(), shown ? ui_->standardList->geometry().bottom() + 5 : baseHeight_);
}

void CModelessDlg::OnInitializeClicked()
{
    const int device = ui_->deviceList->currentIndex();
    if (device < 0)
        return;
    Initialize(device, ui_->formatList->currentText().toStdString(), -1);
}

void CModelessDlg::Initialize(int device, const std::string& formatText, int input, const DeviceIdentity& identity)
{
    Start(device, formatText, input, identity, true);
}

void CModelessDlg::Start(int device, const std::string& formatText, int input, const DeviceIdentity& identity,
                         bool toFront)
{
    StopWatchdog();
    ApplyStoredStandard();
    if (!identity.name.empty()) {
        const int found = video_->FindDeviceByIdentity(identity, device);
        if (found < 0) {
            WaitForDevice(identity, device, formatText, input);
            return;
        }
        device = found;
    }
    ShowChoice(device, formatText);

    SetStatus(kUnInitialized);
    if (video_->StartCapture(device, preview_, formatText) != 0) {
        // A text the device cannot use leaves a running capture running: say so.
        if (video_->IsRunning()) {
            ShowRunningStatus();
            StartWatchdog();
        }
        return;
    }

    const bool muxing = CompleteStart(device, formatText, input, false);
    BITMAPINFOHEADER header;
    video_->GetFrameFormat(header);
    if (!muxing && relayout_) {
        const uint32_t frameSize = (uint32_t(header.biWidth) & 0xFFFFu) | ((uint32_t(header.biHeight) & 0xFFFFu) << 16);
        relayout_(1, frameSize);
    }
    SetStatus(RunningText());
    UpdateStandardList();
    NotifyWorkers();
    StartWatchdog();
    if (toFront && isVisible()) {
        raise();
        activateWindow();
    }
}

void CModelessDlg::ShowChoice(int device, const std::string& formatText)
{
    ui_->deviceList->setCurrentIndex(device);
    const int shown = ui_->deviceList->currentIndex();
    DeviceEntry entry;
    if (shown >= 0 && video_->DeviceEntryOf(shown, entry) && entry.Remote()) {
        // A stream has the one format it sends: the one it starts in. Asking
        // the camera would wait on the network.
        formatProbe_.reset();
        int width = 0, height = 0, bitCount = 0;
        CDXVideo::ParseFormat(formatText, width, height, bitCount);
        std::vector<CaptureFormat> formats;
        if (width > 0 && height > 0)
            formats.push_back({width, height, bitCount});
        CDXVideo::FillFormatList(formats, ui_->formatList);
    } else if (shown >= 0) {
        ListFormatsOf(shown);
    }

    SelectByPrefix(*ui_->formatList, QString::fromStdString(formatText));
}

bool CModelessDlg::CompleteStart(int device, const std::string& formatText, int input, bool reconnect)
{
    runningDevice_ = device;
    runningFormat_ = formatText;
    const int inputCount = video_->ListInputs(ui_->inputList);
    const DeviceIdentity identity = video_->RunningDeviceIdentity();
    bool muxing = false;
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock) {
            if (inputCount < 1)
                settings_.EnableMux = 0;
            muxing = settings_.EnableMux != 0;
            settings_.Device = device;
            settings_.DeviceName = identity.name;
            settings_.DeviceBusInfo = identity.busInfo;
            settings_.DeviceLink = identity.link;
            // A reconnect keeps what the user chose; a new start begins at input 0.
            if (!reconnect) {
                settings_.InputPin = 0;
                settings_.VideoFormat = formatText;
            }
        }
    }

    if (muxing) {
        ui_->inputList->setEnabled(false);
    } else if (input >= 0 && input < inputCount && video_->SelectInput(input) != 0) {
        if (!reconnect) {
            TimedLock lock(settings_.SettingsLock);
            if (lock)
                settings_.InputPin = input;
        }
        // The image thread routes the list's position when it reloads.
        ui_->inputList->setCurrentIndex(input);
    }
    return muxing;
}

void CModelessDlg::WaitForDevice(const DeviceIdentity& identity, int device, const std::string& formatText, int input)
{
    video_->StopCapture();
    StartWatchdog();
    LostCapture lost;
    lost.identity = identity;
    lost.device = device;
    lost.formatText = formatText;
    lost.input = input;
    lost.lostAt = QTime::currentTime();
    lost.startPending = true;
    SetStatus(QStringLiteral("Video Device Lost at %1, Reconnecting...").arg(lost.lostAt.toString("HH:mm:ss")));
    lost_ = std::move(lost);
    PostCameraEdges(EdgeKind::CameraLost);
}

void CModelessDlg::UnInitialize()
{
    StopWatchdog();
    video_->StopCapture();
    UpdateStandardList();
    SetStatus(kUnInitialized);
    NotifyWorkers();
}

void CModelessDlg::ShowRunningStatus()
{
    const QString text = RunningText();
    if (!text.isEmpty())
        SetStatus(text);
}

QString CModelessDlg::RunningText()
{
    BITMAPINFOHEADER header;
    if (!video_->GetFrameFormat(header))
        return {};
    return QString::asprintf("Decompressed Video Running at %dx%d %dbit", int(header.biWidth),
                             int(header.biHeight), int(header.biBitCount));
}

void CModelessDlg::SetWatchdogIntervalMs(int intervalMs)
{
    watchdog_->setInterval(std::max(1, intervalMs));
}

bool CModelessDlg::WatchdogActive() const
{
    return watchdog_->isActive();
}

void CModelessDlg::StartWatchdog()
{
    watchdog_->start();
}

void CModelessDlg::StopWatchdog()
{
    watchdog_->stop();
    // No longer waited for: the lost camera's event ends here.
    if (lost_)
        PostCameraEdges(EdgeKind::CameraBack);
    lost_.reset();
}

void CModelessDlg::OnWatchdog()
{
    // Stopped elsewhere (the exit path stops the capture object directly);
    // only a device missing since start-up is waited for with nothing running.
    if (!video_->IsRunning() && !(lost_ && lost_->startPending)) {
        StopWatchdog();
        return;
    }
    CaptureFormat changedTo;
    if (video_->IsRunning() && video_->FormatChanged(changedTo)) {
        RestartInFormat(changedTo);
        return;
    }
    if (lost_) {
        if (!lost_->reconnectsItself)
            TryReconnect();
        else if (!video_->DeviceLost())
            ShowReconnected();
        return;
    }
    if (!video_->DeviceLost())
        return;

    LostCapture lost;
    lost.identity = video_->RunningDeviceIdentity();
    lost.device = runningDevice_;
    lost.formatText = runningFormat_;
    lost.input = ui_->inputList->currentIndex();
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            lost.input = settings_.InputPin;
    }
    lost.lostAt = QTime::currentTime();
    // It keeps trying on its own thread: restarting it would only begin its
    // back-off again.
    lost.reconnectsItself = video_->ReconnectsItself();
    SetStatus(QStringLiteral("Video Device Lost at %1, Reconnecting...").arg(lost.lostAt.toString("HH:mm:ss")));
    lost_ = std::move(lost);
    PostCameraEdges(EdgeKind::CameraLost);
}

void CModelessDlg::ShowReconnected()
{
    lost_.reset();
    SetStatus(RunningText() + QStringLiteral(" (reconnected at %1)").arg(QTime::currentTime().toString("HH:mm:ss")));
}

void CModelessDlg::RestartInFormat(const CaptureFormat& format)
{
    // As a start from this window in the new size: the panes are laid out
    // for it and the stored format follows. The device is found by its
    // identity, as its number may have moved since it started.
    const std::string text = QString::asprintf("%dx%d %d bit", format.width, format.height, format.bitCount).toStdString();
    Start(runningDevice_, text, -1, video_->RunningDeviceIdentity(), false);
}

void CModelessDlg::TryReconnect()
{
    // Only a device that is there again is opened, so a tick stays short.
    const int device = video_->FindDeviceByIdentity(lost_->identity, lost_->device);
    if (device < 0)
        return;
    reporter_.quiet = true;
    const int result = video_->RestartCapture(device, preview_, lost_->formatText);
    reporter_.quiet = false;
    if (result != 0)
        return; // the lost device stays in place; tried again at the next tick

    LostCapture lost = std::move(*lost_);
    lost_.reset();
    if (!lost.startPending) {
        // An input chosen while the device was away counts.
        TimedLock lock(settings_.SettingsLock);
        if (lock)
            lost.input = settings_.InputPin;
    }
    video_->ListDevices(ui_->deviceList);
    ShowChoice(device, lost.formatText);
    const bool muxing = CompleteStart(device, lost.formatText, lost.input, true);
    if (lost.startPending && !muxing && relayout_) {
        // The start the program made without the device, completed now.
        BITMAPINFOHEADER header;
        video_->GetFrameFormat(header);
        relayout_(1, (uint32_t(header.biWidth) & 0xFFFFu) | ((uint32_t(header.biHeight) & 0xFFFFu) << 16));
    }
    UpdateStandardList();
    SetStatus(RunningText() + QStringLiteral(" (reconnected at %1)").arg(QTime::currentTime().toString("HH:mm:ss")));
    PostCameraEdges(EdgeKind::CameraBack);
    // The image thread re-applies the input and multiplexing on reload.
    NotifyWorkers();
}

void CModelessDlg::PostCameraEdges(EdgeKind kind)
{
    if (!events_)
        return;
    std::string cameras = "A";
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock && settings_.EnableMux) {
            cameras.clear();
            for (int k = 0; k < kCameraCount; ++k)
                if (settings_.MuxerInputs[size_t(k)])
                    cameras += CameraLetter(k);
        }
    }
    const int64_t now = int64_t(std::time(nullptr));
    for (const char camera : cameras) {
        EventEdge edge;
        edge.kind = kind;
        edge.camera = camera;
        edge.time = now;
        events_->Post(std::move(edge));
    }
}

void CModelessDlg::NotifyWorkers()
{
    PostThreadMessage(imageThread_, WM_SETTINGS_CHANGED, 0, 0);
    PostThreadMessage(archiveThread_, WM_SETTINGS_CHANGED, 0, 0);
}

void CModelessDlg::SetStatus(const QString& text)
{
    ui_->statusLine->setText(text);
}

bool CModelessDlg::IsRunning()
{
    return video_->IsRunning();
}

std::unique_ptr<Frame> CModelessDlg::GrabFrame()
{
    return video_->GrabFrame();
}

int CModelessDlg::ListInputs()
{
    return video_->ListInputs(nullptr);
}

int CModelessDlg::SelectInput(int input)
{
    return video_->SelectInput(input);
}

void CModelessDlg::SetInputListEnabled(bool enabled)
{
    // Called on the image thread: the list belongs to the user-interface thread.
    QMetaObject::invokeMethod(
        this, [this, enabled] { ui_->inputList->setEnabled(enabled); }, Qt::QueuedConnection);
}

int CModelessDlg::InputListSelection()
{
    return inputSelection_.load();
}

void CModelessDlg::SetGrabIntervalMs(int intervalMs)
{
    video_->SetGrabIntervalMs(intervalMs);
}

void CModelessDlg::OpenNetworkCameras()
{
    if (networkCameras_) {
        networkCameras_->raise();
        networkCameras_->activateWindow();
        return;
    }
    auto* dialog = new CNetworkCamerasDlg(reporter_, DefaultRegistryFolder(), openManual_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, &CModelessDlg::RefreshDevices);
    networkCameras_ = dialog;
    dialog->open();
}

CNetworkCamerasDlg* CModelessDlg::networkCamerasDialog() const
{
    return networkCameras_.data();
}

void CModelessDlg::RefreshDevices()
{
    DeviceIdentity chosen = video_->RunningDeviceIdentity();
    int number = runningDevice_;
    if (!video_->IsRunning()) {
        number = ui_->deviceList->currentIndex();
        if (!video_->DeviceIdentityOf(number, chosen))
            chosen = {};
    }
    // The devices as they are now: the chosen one may be numbered anew, or gone.
    const std::string format = ui_->formatList->currentText().toStdString();
    video_->ListDevices(ui_->deviceList);
    const int found = chosen.name.empty() ? -1 : video_->FindDeviceByIdentity(chosen, number);
    if (found >= 0 && video_->IsRunning()) {
        runningDevice_ = found;
        ShowChoice(found, format);
    } else if (found >= 0) {
        ui_->deviceList->setCurrentIndex(found);
    } else if (ui_->deviceList->count() > 0) {
        ui_->deviceList->setCurrentIndex(0);
        ListFormatsOf(0);
    }
}

void CModelessDlg::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept(); // never closes the window
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        hide();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CModelessDlg::closeEvent(QCloseEvent* event)
{
    // The close box only hides: the window lives until the program ends.
    event->ignore();
    hide();
}

} // namespace vistrel
