// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/review_window.h"

#include "common/text_format.h"
#include "common/timed_lock.h"
#include "events/event_log.h"
#include "review/archive_watcher.h"
#include "review/export_panel.h"
#include "review/image_loader.h"
#include "review/image_pane.h"
#include "review/kept_images.h"
#include "review/timeline_widget.h"
#include "settings/instance_settings.h"
#include "settings/registry_store.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <climits>
#include <ctime>
#include <filesystem>

namespace vistrel {

namespace {

constexpr int kPlayTickMs = 15;
constexpr int kListingTickMs = 200;
constexpr int64_t kHourMs = 3600 * 1000;
constexpr int64_t kEventsRereadMs = 5000;

struct Zoom {
    const char* name;
    int64_t spanMs;
};
constexpr std::array<Zoom, 6> kZooms = {{
    {"Month", TimelineView::kMaxSpanMs},
    {"Week", 7 * 24 * kHourMs},
    {"Day", 24 * kHourMs},
    {"Hour", kHourMs},
    {"10 Minutes", 10 * 60 * 1000},
    {"Minute", TimelineView::kMinSpanMs},
}};
constexpr std::array<int, 7> kSpeeds = {1, 2, 4, 8, 16, 32, 64};

// As the main window shows the archive's bytes.
QString Bytes(uint64_t bytes)
{
    return QString::fromStdString(FormatSize(double(bytes)));
}

QString Local(int64_t ms, const char* format = "%a %Y-%m-%d %H:%M:%S")
{
    return QString::fromStdString(FormatLocalTime(ms / 1000 - (ms % 1000 < 0 ? 1 : 0), format));
}

} // namespace

std::vector<Event> LoadCameraEvents(int instance, char camera)
{
    const std::filesystem::path path = EventLogPath(DefaultRegistryFolder(), instance);
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return {};
    EventLogStatus status;
    std::unique_ptr<EventLog> log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    std::vector<Event> all;
    if (!log || !log->InRange(INT64_MIN, INT64_MAX, all).ok())
        return {};
    std::vector<Event> shown;
    for (Event& event : all)
        if (event.camera == camera
            && (event.type == EventType::Motion || event.type == EventType::CameraLost
                || event.type == EventType::RecordingFault))
            shown.push_back(std::move(event));
    return shown;
}

ReviewWindow::ReviewWindow(int camera, ReviewEnvironment environment, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , env_(std::move(environment))
    , settings_(env_.settings ? *env_.settings : InstanceSettings::Instance())
{
    clock_.start();
    BuildControls();
    loader_ = std::make_unique<ImageLoader>([this](uint64_t ticket, QImage image, QString whyNot) {
        QMetaObject::invokeMethod(
            this,
            [this, ticket, image = std::move(image), whyNot = std::move(whyNot)]() mutable {
                OnImageLoaded(ticket, std::move(image), std::move(whyNot));
            },
            Qt::QueuedConnection);
    });
    playTimer_.setInterval(kPlayTickMs);
    playTimer_.setTimerType(Qt::PreciseTimer);
    connect(&playTimer_, &QTimer::timeout, this, &ReviewWindow::OnPlayTick);
    listingTimer_.setInterval(kListingTickMs);
    connect(&listingTimer_, &QTimer::timeout, this, &ReviewWindow::UpdateViewLabel);
    SetCamera(camera);
    resize(960, 760);
}

ReviewWindow::~ReviewWindow()
{
    // Stopped before the widgets they report to go; the export panel, a
    // child, gives up an export in progress (its temporary file goes).
    watcher_.reset();
    loader_.reset();
}

void ReviewWindow::BuildControls()
{
    auto* top = new QHBoxLayout;
    cameraBox_ = new QComboBox(this);
    for (int c = 0; c < kCameraCount; ++c)
        cameraBox_->addItem(QStringLiteral("Camera %1").arg(QChar(CameraLetter(c))));
    connect(cameraBox_, &QComboBox::activated, this, &ReviewWindow::SetCamera);
    top->addWidget(cameraBox_);
    top->addSpacing(12);
    top->addWidget(new QLabel(QStringLiteral("Go to:"), this));
    jumpEdit_ = new QDateTimeEdit(this);
    jumpEdit_->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    jumpEdit_->setCalendarPopup(true);
    top->addWidget(jumpEdit_);
    auto* go = new QPushButton(QStringLiteral("&Go"), this);
    const auto jump = [this] {
        const QDateTime at = jumpEdit_->dateTime();
        const LocalDateTime local{at.date().year(), at.date().month(), at.date().day(),
                              at.time().hour(), at.time().minute(), at.time().second()};
        JumpTo(InstantOf(local) * 1000);
    };
    connect(go, &QPushButton::clicked, this, jump);
    connect(jumpEdit_, &QDateTimeEdit::editingFinished, this, jump);
    top->addWidget(go);
    top->addSpacing(12);
    top->addWidget(new QLabel(QStringLiteral("Zoom:"), this));
    zoomBox_ = new QComboBox(this);
    for (const Zoom& zoom : kZooms)
        zoomBox_->addItem(QString::fromLatin1(zoom.name));
    zoomBox_->setCurrentIndex(3);
    connect(zoomBox_, &QComboBox::activated, this, [this](int i) {
        const TimelineView& current = view();
        const int64_t anchor = cursor_ ? index_->TimeMs(*cursor_) : current.startMs + current.spanMs / 2;
        SetView(current.Zoomed(double(kZooms[size_t(i)].spanMs) / double(current.spanMs), anchor).CentredOn(anchor));
    });
    top->addWidget(zoomBox_);
    auto* zoomOut = new QPushButton(QStringLiteral("\u2212"), this);
    auto* zoomIn = new QPushButton(QStringLiteral("+"), this);
    zoomOut->setToolTip(QStringLiteral("Zoom out"));
    zoomIn->setToolTip(QStringLiteral("Zoom in"));
    for (auto [button, factor] : {std::pair{zoomOut, 2.0}, std::pair{zoomIn, 0.5}}) {
        button->setFixedWidth(32);
        connect(button, &QPushButton::clicked, this, [this, factor = factor] {
            const TimelineView& current = view();
            SetView(current.Zoomed(factor, cursor_ ? index_->TimeMs(*cursor_) : current.startMs + current.spanMs / 2));
        });
        top->addWidget(button);
    }
    top->addStretch();

    imageArea_ = new QScrollArea(this);
    imageArea_->setAlignment(Qt::AlignCenter);
    imageArea_->setWidgetResizable(true);
    imageArea_->setBackgroundRole(QPalette::Dark);
    imagePane_ = new ImagePane(imageArea_);
    imageArea_->setWidget(imagePane_);

    timeLabel_ = new QLabel(this);
    timeLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    timeline_ = new TimelineWidget(this);
    connect(timeline_, &TimelineWidget::cursorRequested, this, [this](int64_t ms) {
        Pause();
        if (!index_ || index_->empty())
            return;
        // The nearer of the images either side of the mouse.
        size_t i = index_->AtOrBefore(ms);
        if (i + 1 < index_->size() && index_->TimeMs(i + 1) - ms < std::abs(ms - index_->TimeMs(i)))
            ++i;
        MoveCursor(i, false);
    });
    connect(timeline_, &TimelineWidget::selectionRequested, this, &ReviewWindow::SetSelection);
    connect(timeline_, &TimelineWidget::viewRequested, this, &ReviewWindow::SetView);
    scrollBar_ = new QScrollBar(Qt::Horizontal, this);
    connect(scrollBar_, &QScrollBar::valueChanged, this, [this](int seconds) {
        SetView({scrollOriginMs_ + int64_t(seconds) * 1000, view().spanMs});
    });
    viewLabel_ = new QLabel(this);

    auto* transport = new QHBoxLayout;
    const auto addButton = [this, transport](const QString& text, const QString& tip, auto action) {
        auto* button = new QPushButton(text, this);
        button->setToolTip(tip);
        connect(button, &QPushButton::clicked, this, action);
        transport->addWidget(button);
        return button;
    };
    addButton(QStringLiteral("|<"), QStringLiteral("First image (Home)"),
              [this] { StepBy(-int(index_ ? index_->size() : 0)); });
    addButton(QStringLiteral("<"), QStringLiteral("Previous image (Left)"), [this] { StepBy(-1); });
    playButton_ = addButton(QStringLiteral("Play"), QStringLiteral("Play or pause (Space)"),
                            [this] { playing() ? Pause() : Play(); });
    addButton(QStringLiteral(">"), QStringLiteral("Next image (Right)"), [this] { StepBy(1); });
    addButton(QStringLiteral(">|"), QStringLiteral("Newest image (End)"),
              [this] { StepBy(int(index_ ? index_->size() : 0)); });
    transport->addSpacing(12);
    addButton(QStringLiteral("Previous event"), QStringLiteral("Start of the previous event (Page Up)"),
              [this] { PreviousEvent(); });
    addButton(QStringLiteral("Next event"), QStringLiteral("Start of the next event (Page Down)"),
              [this] { NextEvent(); });
    transport->addSpacing(12);
    transport->addWidget(new QLabel(QStringLiteral("Speed:"), this));
    speedBox_ = new QComboBox(this);
    for (int speed : kSpeeds)
        speedBox_->addItem(QStringLiteral("%1x").arg(speed), speed);
    connect(speedBox_, &QComboBox::activated, this, [this](int i) { SetSpeed(kSpeeds[size_t(i)]); });
    transport->addWidget(speedBox_);
    loopBox_ = new QCheckBox(QStringLiteral("&Loop the selection"), this);
    connect(loopBox_, &QCheckBox::toggled, this, &ReviewWindow::SetLoop);
    transport->addWidget(loopBox_);
    fitBox_ = new QCheckBox(QStringLiteral("&Fit to window"), this);
    fitBox_->setChecked(true);
    connect(fitBox_, &QCheckBox::toggled, this, &ReviewWindow::SetFitted);
    transport->addWidget(fitBox_);
    keptBox_ = new QCheckBox(QStringLiteral("Show ke&pt images"), this);
    connect(keptBox_, &QCheckBox::toggled, this, &ReviewWindow::SetShowKept);
    transport->addWidget(keptBox_);
    transport->addStretch();

    auto* selectionRow = new QHBoxLayout;
    const auto addSelectionButton = [this, selectionRow](const QString& text, auto action) {
        auto* button = new QPushButton(text, this);
        connect(button, &QPushButton::clicked, this, action);
        selectionRow->addWidget(button);
        return button;
    };
    addSelectionButton(QStringLiteral("Set &Start"), [this] {
        if (!cursor_)
            return;
        const int64_t at = index_->TimeMs(*cursor_);
        SetSelection(at, selection_ && selection_->second > at ? selection_->second : at + 1);
    });
    addSelectionButton(QStringLiteral("Set &End"), [this] {
        if (!cursor_)
            return;
        const int64_t at = index_->TimeMs(*cursor_) + 1; // the image itself belongs to the range
        SetSelection(selection_ && selection_->first < at ? selection_->first : at - 1, at);
    });
    addSelectionButton(QStringLiteral("&Clear"), [this] { ClearSelection(); });
    selectionLabel_ = new QLabel(this);
    selectionRow->addWidget(selectionLabel_, 1);
    exportMp4Button_ = addSelectionButton(QStringLiteral("Export &MP4..."), [this] { ChooseAndExport(ExportFormat::Mp4); });
    exportZipButton_ = addSelectionButton(QStringLiteral("Export &ZIP..."), [this] { ChooseAndExport(ExportFormat::Zip); });
    keepButton_ = addSelectionButton(QStringLiteral("&Keep"), [this] { KeepSelection(); });
    keepButton_->setToolTip(QStringLiteral("Keep the selected images in the camera's Kept folder, which neither the "
                                           "retention nor the storage floor deletes"));

    exportPanel_ = new ExportPanel(this);
    connect(exportPanel_, &ExportPanel::finished, this, [this] {
        UpdateSelectionLabel();
        Q_EMIT exportFinished();
    });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(imageArea_, 1);
    layout->addWidget(timeLabel_);
    layout->addWidget(timeline_);
    layout->addWidget(scrollBar_);
    layout->addWidget(viewLabel_);
    layout->addLayout(transport);
    layout->addLayout(selectionRow);
    layout->addWidget(exportPanel_);
}

const TimelineView& ReviewWindow::view() const
{
    return timeline_->view();
}

QImage ReviewWindow::shownImage() const
{
    return imagePane_->image();
}

void ReviewWindow::SetCamera(int camera)
{
    camera_ = std::clamp(camera, 0, kCameraCount - 1);
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock) {
            instance_ = settings_.InstanceNumber;
            folder_ = settings_.ArchivePath[size_t(camera_)];
        }
    }
    if (showKept_)
        folder_ = KeptFolder(settings_.ArchivePath[size_t(camera_)]);
    suffix_ = ArchiveSuffix(instance_, camera_);
    cameraBox_->setCurrentIndex(camera_);
    setWindowTitle(QStringLiteral("Review Archive - Camera %1%2").arg(instance_).arg(QChar(CameraLetter(camera_))));

    Pause();
    index_ = std::make_shared<const ArchiveIndex>();
    viewPlaced_ = false;
    cursor_.reset();
    cursorKey_.reset();
    requestedKey_.reset();
    selection_.reset();
    timeline_->SetIndex(index_);
    timeline_->SetSelection(std::nullopt);
    timeline_->SetCursorTime(std::nullopt);
    imagePane_->SetImage(QImage(), QString());
    LoadEvents();
    StartWatching();
    UpdateTimeLabel();
    UpdateViewLabel();
    UpdateSelectionLabel();
}

void ReviewWindow::StartWatching()
{
    watcher_.reset();
    watcher_ = std::make_unique<ArchiveWatcher>(folder_, suffix_, [this] {
        // Called on the watcher's thread: one notice on its way at a time.
        if (!archiveNewsQueued_.exchange(true))
            QMetaObject::invokeMethod(
                this,
                [this] {
                    archiveNewsQueued_ = false;
                    OnArchiveChanged();
                },
                Qt::QueuedConnection);
    });
}

void ReviewWindow::OnArchiveChanged()
{
    if (!watcher_)
        return;
    if (eventsAge_.hasExpired(kEventsRereadMs))
        LoadEvents();
    const bool wasAtNewest = cursor_ && index_ && *cursor_ + 1 == index_->size();
    index_ = watcher_->Snapshot();
    timeline_->SetIndex(index_);
    if (index_->state() == ArchiveIndex::State::Listing) {
        if (!listingTimer_.isActive())
            listingTimer_.start();
    } else {
        listingTimer_.stop();
    }

    if (index_->empty()) {
        Pause();
        MoveCursor(std::nullopt, false);
    } else if (!cursorKey_ && pendingJumpMs_) {
        viewPlaced_ = true;
        const int64_t at = *pendingJumpMs_;
        pendingJumpMs_.reset();
        JumpTo(at);
    } else if (!cursorKey_) {
        // First sight (or the folder is back): the newest image, the first
        // time with the last hour up to it in view.
        if (!viewPlaced_) {
            viewPlaced_ = true;
            const int64_t newest = index_->TimeMs(index_->size() - 1);
            SetView({newest - kHourMs * 9 / 10, kHourMs});
        }
        MoveCursor(index_->size() - 1);
    } else if (wasAtNewest && !playing()) {
        MoveCursor(index_->size() - 1, false); // watching live: new images come into view
    } else if (cursorKey_) {
        // The same image, or the next one left if retention took it.
        const size_t i = std::min(index_->LowerBound(*cursorKey_), index_->size() - 1);
        MoveCursor(i, false);
        if (playing())
            pacer_.Rebase(i);
    }
    UpdateViewLabel();
    UpdateScrollBar();
    UpdateSelectionLabel();
}

void ReviewWindow::MoveCursor(std::optional<size_t> image, bool keepInView)
{
    if (image && (!index_ || *image >= index_->size()))
        image.reset();
    cursor_ = image;
    cursorKey_ = image ? std::optional(index_->images()[*image].key) : std::nullopt;
    if (!image) {
        timeline_->SetCursorTime(std::nullopt);
        requestedKey_.reset();
        imagePane_->SetImage(QImage(), index_ && index_->state() == ArchiveIndex::State::Listing
                                           ? QStringLiteral("Listing the archive...")
                                           : QStringLiteral("No images."));
        UpdateTimeLabel();
        return;
    }
    const int64_t at = index_->TimeMs(*image);
    timeline_->SetCursorTime(at);
    if (keepInView && (at < view().startMs || at >= view().endMs()))
        SetView(view().CentredOn(at));
    {
        const QSignalBlocker block(jumpEdit_);
        const LocalDateTime local = LocalDateTimeAt(at / 1000);
        jumpEdit_->setDateTime(QDateTime(QDate(local.year, local.month, local.day),
                                         QTime(local.hour, local.minute, local.second)));
    }
    if (requestedKey_ != cursorKey_)
        RequestCursorImage();
    UpdateTimeLabel();
}

void ReviewWindow::RequestCursorImage()
{
    requestedKey_ = cursorKey_;
    if (cursorKey_)
        loader_->Request(++requestedTicket_, folder_ + "/" + ArchiveImageName(*cursorKey_, suffix_));
}

void ReviewWindow::OnImageLoaded(uint64_t ticket, QImage image, QString whyNot)
{
    // An older request may finish after a newer one was made; it is still
    // newer than what is on screen, so playback that cannot keep up shows
    // what it can.
    if (ticket <= shownTicket_)
        return;
    shownTicket_ = ticket;
    imagePane_->SetImage(std::move(image), std::move(whyNot));
}

void ReviewWindow::UpdateTimeLabel()
{
    if (index_ && cursor_) {
        const ArchiveKey& key = index_->images()[*cursor_].key;
        timeLabel_->setText(QStringLiteral("%1     image %L2 of %L3     %4")
                                .arg(Local(index_->TimeMs(*cursor_)))
                                .arg(qulonglong(*cursor_ + 1))
                                .arg(qulonglong(index_->size()))
                                .arg(QString::fromStdString(ArchiveImageName(key, suffix_))));
    } else {
        timeLabel_->clear();
    }
}

void ReviewWindow::UpdateViewLabel()
{
    if (!index_)
        return;
    const QString folder = QString::fromStdString(folder_);
    switch (index_->state()) {
    case ArchiveIndex::State::Listing:
        viewLabel_->setText(QStringLiteral("Listing the archive \"%1\": %L2 images so far")
                                .arg(folder)
                                .arg(qulonglong(watcher_ ? watcher_->namesListed() : 0)));
        return;
    case ArchiveIndex::State::Missing:
        viewLabel_->setText(QStringLiteral("The archive folder \"%1\" does not exist: nothing has been recorded there yet.")
                                .arg(folder));
        return;
    case ArchiveIndex::State::Ready:
        break;
    }
    if (index_->empty()) {
        viewLabel_->setText(QStringLiteral("No images of this camera in \"%1\" yet.").arg(folder));
        return;
    }
    const auto [first, last] = index_->Range(view().startMs, view().endMs());
    const ArchiveIndex::Totals inView = index_->Sum(first, last);
    QString bytes = Bytes(inView.bytes);
    if (inView.unknownSizes > 0)
        bytes = QStringLiteral("at least %1 (sizes still being read)").arg(bytes);
    viewLabel_->setText(QStringLiteral("In view: %L1 images, %2     Archive: %L3 images from %4 to %5")
                            .arg(qulonglong(inView.images))
                            .arg(bytes)
                            .arg(qulonglong(index_->size()))
                            .arg(Local(index_->TimeMs(0), "%Y-%m-%d %H:%M"))
                            .arg(Local(index_->TimeMs(index_->size() - 1), "%Y-%m-%d %H:%M")));
}

void ReviewWindow::UpdateScrollBar()
{
    const QSignalBlocker block(scrollBar_);
    if (!index_ || index_->empty()) {
        scrollBar_->setEnabled(false);
        return;
    }
    // In seconds from a little before the first image, so any date fits an int.
    const TimelineView& current = view();
    scrollOriginMs_ = index_->TimeMs(0) - current.spanMs;
    const int64_t endMs = index_->TimeMs(index_->size() - 1);
    scrollBar_->setEnabled(true);
    scrollBar_->setRange(0, int(std::clamp<int64_t>((endMs - scrollOriginMs_) / 1000, 0, INT32_MAX)));
    scrollBar_->setPageStep(int(std::clamp<int64_t>(current.spanMs / 1000, 1, INT32_MAX)));
    scrollBar_->setSingleStep(std::max(1, scrollBar_->pageStep() / 10));
    scrollBar_->setValue(int(std::clamp<int64_t>((current.startMs - scrollOriginMs_) / 1000, 0, INT32_MAX)));
}

void ReviewWindow::SetView(const TimelineView& requested)
{
    TimelineView next = requested;
    next.spanMs = std::clamp(next.spanMs, TimelineView::kMinSpanMs, TimelineView::kMaxSpanMs);
    timeline_->SetView(next);
    UpdateViewLabel();
    UpdateScrollBar();
}

void ReviewWindow::LoadEvents()
{
    events_ = env_.loadEvents ? env_.loadEvents(instance_, CameraLetter(camera_))
                              : LoadCameraEvents(instance_, CameraLetter(camera_));
    eventsAge_.start();
    timeline_->SetEvents(events_, int64_t(std::time(nullptr)));
}

int64_t ReviewWindow::CursorSeconds() const
{
    const int64_t ms = cursor_ ? index_->TimeMs(*cursor_) : view().startMs + view().spanMs / 2;
    return ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
}

void ReviewWindow::NextEvent()
{
    const int64_t now = CursorSeconds();
    const auto next = std::find_if(events_.begin(), events_.end(), [now](const Event& e) { return e.start > now; });
    if (next != events_.end())
        JumpTo(next->start * 1000);
}

void ReviewWindow::PreviousEvent()
{
    const int64_t now = CursorSeconds();
    const auto previous = std::find_if(events_.rbegin(), events_.rend(), [now](const Event& e) { return e.start < now; });
    if (previous != events_.rend())
        JumpTo(previous->start * 1000);
}

void ReviewWindow::JumpTo(int64_t ms)
{
    Pause();
    SetView(view().CentredOn(ms));
    if (!index_ || index_->empty()) {
        pendingJumpMs_ = ms;
        return;
    }
    const size_t after = index_->Range(ms, ms).first;
    MoveCursor(std::min(after, index_->size() - 1), false);
}

void ReviewWindow::StepBy(int images)
{
    Pause();
    if (!cursor_ || !index_ || index_->empty())
        return;
    const int64_t target = std::clamp<int64_t>(int64_t(*cursor_) + images, 0, int64_t(index_->size()) - 1);
    MoveCursor(size_t(target));
}

void ReviewWindow::Play()
{
    if (!cursor_ || !index_ || index_->empty())
        return;
    if (const auto selected = SelectedImages(); loop_ && selected
        && (*cursor_ < selected->first || *cursor_ >= selected->second))
        MoveCursor(selected->first);
    else if (*cursor_ + 1 >= index_->size())
        MoveCursor(index_->Range(view().startMs, view().startMs).first); // at the end: from the left of the view
    pacer_.Start(*cursor_, NowMs());
    playTimer_.start();
    playButton_->setText(QStringLiteral("Pause"));
}

void ReviewWindow::Pause()
{
    playTimer_.stop();
    if (playButton_)
        playButton_->setText(QStringLiteral("Play"));
}

void ReviewWindow::SetSpeed(int speed)
{
    pacer_.SetSpeed(speed, NowMs());
    const int i = speedBox_->findData(pacer_.speed());
    if (i >= 0)
        speedBox_->setCurrentIndex(i);
}

void ReviewWindow::SetLoop(bool loop)
{
    loop_ = loop;
    const QSignalBlocker block(loopBox_);
    loopBox_->setChecked(loop);
}

void ReviewWindow::SetFitted(bool fitted)
{
    imageArea_->setWidgetResizable(fitted);
    imagePane_->SetFitted(fitted);
    const QSignalBlocker block(fitBox_);
    fitBox_->setChecked(fitted);
}

void ReviewWindow::OnPlayTick()
{
    if (!cursor_ || !index_ || index_->empty()) {
        Pause();
        return;
    }
    size_t begin = 0;
    size_t end = index_->size();
    const auto selected = SelectedImages();
    const bool looping = loop_ && selected && *cursor_ >= selected->first && *cursor_ < selected->second;
    if (looping)
        std::tie(begin, end) = *selected;
    bool atEnd = false;
    const size_t next = pacer_.Advance(*index_, end, NowMs(), atEnd);
    if (next != *cursor_)
        MoveCursor(next);
    if (!atEnd)
        return;
    if (looping) {
        MoveCursor(begin);
        pacer_.Start(begin, NowMs());
    } else {
        Pause();
    }
}

void ReviewWindow::SetSelection(int64_t fromMs, int64_t toMs)
{
    selection_ = std::pair(std::min(fromMs, toMs), std::max(fromMs, toMs));
    timeline_->SetSelection(selection_);
    UpdateSelectionLabel();
}

void ReviewWindow::ClearSelection()
{
    selection_.reset();
    timeline_->SetSelection(std::nullopt);
    UpdateSelectionLabel();
}

std::optional<std::pair<size_t, size_t>> ReviewWindow::SelectedImages() const
{
    if (!selection_ || !index_)
        return std::nullopt;
    const auto range = index_->Range(selection_->first, selection_->second);
    if (range.first >= range.second)
        return std::nullopt;
    return range;
}

void ReviewWindow::UpdateSelectionLabel()
{
    const auto selected = SelectedImages();
    const bool canExport = selected && !exporting();
    exportMp4Button_->setEnabled(canExport);
    exportZipButton_->setEnabled(canExport);
    keepButton_->setEnabled(selected && !showKept_);
    if (!selection_) {
        selectionLabel_->setText(QStringLiteral("No range selected: Shift and drag on the timeline, or Set Start and Set End at the cursor."));
        return;
    }
    QString text = QStringLiteral("Selected %1 to %2: ").arg(Local(selection_->first), Local(selection_->second));
    if (!selected) {
        selectionLabel_->setText(text + QStringLiteral("no images"));
        return;
    }
    const ArchiveIndex::Totals totals = index_->Sum(selected->first, selected->second);
    selectionLabel_->setText(text + QStringLiteral("%L1 images, %2").arg(qulonglong(totals.images)).arg(Bytes(totals.bytes)));
}

void ReviewWindow::KeepSelection()
{
    const auto selected = SelectedImages();
    if (!selected || showKept_)
        return;
    std::vector<std::string> names;
    for (size_t i = selected->first; i < selected->second; ++i)
        names.push_back(ArchiveImageName(index_->images()[i].key, suffix_));
    // Links: a few metadata writes an image, short enough for this thread.
    const KeepResult result = KeepImages(folder_, names);
    QString text = QStringLiteral("Kept %L1 images in %2").arg(qulonglong(result.kept)).arg(QString::fromStdString(KeptFolder(folder_)));
    if (result.failed > 0)
        text += QStringLiteral("; %L1 could not be kept: %2").arg(qulonglong(result.failed)).arg(QString::fromStdString(result.firstFailure.Reason()));
    exportPanel_->label()->setText(text);
}

void ReviewWindow::SetShowKept(bool kept)
{
    if (kept == showKept_)
        return;
    showKept_ = kept;
    keptBox_->setChecked(kept);
    SetCamera(camera_);
}

void ReviewWindow::ChooseAndExport(ExportFormat format)
{
    const auto selected = SelectedImages();
    if (!selected || exporting())
        return;
    const char* extension = format == ExportFormat::Mp4 ? ".mp4" : ".zip";
    const QString suggested = QDir::homePath() + QStringLiteral("/Cam%1%2 %3%4")
                                                     .arg(instance_)
                                                     .arg(QChar(CameraLetter(camera_)))
                                                     .arg(Local(index_->TimeMs(selected->first), "%Y-%m-%d %H-%M-%S"))
                                                     .arg(QLatin1String(extension));
    QString path;
    if (env_.chooseOutput) {
        path = env_.chooseOutput(this, format, suggested);
    } else {
        path = QFileDialog::getSaveFileName(this, format == ExportFormat::Mp4 ? QStringLiteral("Export MP4 Video")
                                                                              : QStringLiteral("Export ZIP of Images"),
                                            suggested,
                                            format == ExportFormat::Mp4 ? QStringLiteral("MP4 video (*.mp4)")
                                                                        : QStringLiteral("ZIP archive (*.zip)"));
    }
    if (path.isEmpty())
        return;
    if (ExportFormatFor(path.toStdString()) != format)
        path += QLatin1String(extension);
    StartExport(format, path);
}

void ReviewWindow::StartExport(ExportFormat format, const QString& path)
{
    const auto selected = SelectedImages();
    if (!selected || exporting())
        return;
    ExportJob job;
    job.folder = folder_;
    job.suffix = suffix_;
    job.frames = ExportFramesOf(*index_, selected->first, selected->second);
    job.output = path.toStdString();
    job.format = format;
    exportPanel_->Start(std::move(job));
    UpdateSelectionLabel();
}

bool ReviewWindow::exporting() const
{
    return exportPanel_->isRunning();
}

const std::optional<ExportResult>& ReviewWindow::lastExport() const
{
    return exportPanel_->lastResult();
}

QLabel* ReviewWindow::exportLabel() const
{
    return exportPanel_->label();
}

void ReviewWindow::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Left: StepBy(-1); break;
    case Qt::Key_Right: StepBy(1); break;
    case Qt::Key_Home: StepBy(-int(index_ ? index_->size() : 0)); break;
    case Qt::Key_End: StepBy(int(index_ ? index_->size() : 0)); break;
    case Qt::Key_Space: playing() ? Pause() : Play(); break;
    case Qt::Key_PageUp: PreviousEvent(); break;
    case Qt::Key_PageDown: NextEvent(); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

} // namespace vistrel
