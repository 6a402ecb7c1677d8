// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "review/archive_index.h"
#include "review/exporter.h"
#include "review/playback.h"
#include "review/timeline.h"

#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QPushButton;
class QScrollArea;
class QScrollBar;

namespace vistrel {

class ArchiveWatcher;
class ExportPanel;
class ImageLoader;
class ImagePane;
class TimelineWidget;
struct InstanceSettings;

// What the review window takes from the process; tests substitute it.
struct ReviewEnvironment {
    InstanceSettings* settings = nullptr; // InstanceSettings::Instance()
    // Where to export to (empty: not now). A save dialog unless replaced.
    std::function<QString(QWidget* parent, ExportFormat format, const QString& suggested)> chooseOutput;
    // The camera's motion, lost-camera and fault events of an instance,
    // oldest first. The instance's event log unless replaced.
    std::function<std::vector<Event>(int instance, char camera)> loadEvents;
};

// The events of one camera of an instance as the review shows them, read
// from the instance's log in the settings store; none when it has no log.
std::vector<Event> LoadCameraEvents(int instance, char camera);

// Reviews one camera's archive while the recorder goes on: a timeline by
// local time built from the image names, the image at the cursor fitted or
// 1:1, stepping and playback at 1x to 64x the recorded pace with a loop over
// the selected range, and export of that range as MP4 or ZIP (run by its
// ExportPanel). It reads the camera's folder and the instance number from
// the settings once (a short hold of SettingsLock) and then only the folder.
// Lives on the user-interface thread; the listing, the image decoding and
// the export each run on a thread of their own and only post their results
// here, so nothing the window does waits on the disk, but for reading the
// camera's events from the event log (a small indexed database) when the
// camera is chosen and at most every few seconds as the archive grows.
class ReviewWindow : public QWidget {
    Q_OBJECT
public:
    explicit ReviewWindow(int camera, ReviewEnvironment environment = {}, QWidget* parent = nullptr);
    ~ReviewWindow() override; // cancels an export (its temporary file goes) and stops the threads

    void SetCamera(int camera);
    int camera() const { return camera_; }

    // The image at the cursor (an index into index()), if any.
    std::optional<size_t> cursor() const { return cursor_; }
    std::shared_ptr<const ArchiveIndex> index() const { return index_; }
    const TimelineView& view() const;
    std::optional<std::pair<int64_t, int64_t>> selection() const { return selection_; }
    bool playing() const { return playTimer_.isActive(); }
    bool exporting() const;
    // The last export's outcome, once it has finished.
    const std::optional<ExportResult>& lastExport() const;
    QImage shownImage() const;

    // What the controls do.
    void StepBy(int images);
    void Play();
    void Pause();
    void SetSpeed(int speed);
    void SetLoop(bool loop);
    void SetFitted(bool fitted);
    // The image at or after a time (else the last one before it), centred.
    // Asked before the archive is listed, it is done once images are known.
    void JumpTo(int64_t ms);
    // The cursor to the start of the next (or previous) event of the camera.
    void NextEvent();
    void PreviousEvent();
    const std::vector<Event>& events() const { return events_; }
    void SetView(const TimelineView& view);
    void SetSelection(int64_t fromMs, int64_t toMs);
    void ClearSelection();
    // Exports the selected range to `path` while the window goes on.
    void StartExport(ExportFormat format, const QString& path);
    // Keeps the selected images in the camera's kept folder, where neither
    // the retention nor the storage floor deletes them; the outcome is said
    // under the export line.
    void KeepSelection();
    // Shows the kept images instead of the archive (or the archive again).
    void SetShowKept(bool kept);
    bool showingKept() const { return showKept_; }

    QLabel* timeLabel() const { return timeLabel_; }
    QLabel* viewLabel() const { return viewLabel_; }
    QLabel* exportLabel() const;
    TimelineWidget* timeline() const { return timeline_; }

Q_SIGNALS:
    void exportFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildControls();
    void StartWatching();
    void OnArchiveChanged();
    void OnImageLoaded(uint64_t ticket, QImage image, QString whyNot);
    void MoveCursor(std::optional<size_t> image, bool keepInView = true);
    void RequestCursorImage();
    void UpdateTimeLabel();
    void UpdateViewLabel();
    void UpdateSelectionLabel();
    void UpdateScrollBar();
    void OnPlayTick();
    void LoadEvents();
    int64_t CursorSeconds() const;
    int64_t NowMs() const { return clock_.elapsed(); }
    // The selection as images [first, last), if it holds any.
    std::optional<std::pair<size_t, size_t>> SelectedImages() const;
    void ChooseAndExport(ExportFormat format);

    ReviewEnvironment env_;
    InstanceSettings& settings_;
    int camera_ = 0;
    int instance_ = 1;
    std::string folder_;
    std::string suffix_;
    bool showKept_ = false;

    std::unique_ptr<ArchiveWatcher> watcher_;
    std::atomic<bool> archiveNewsQueued_{false}; // a snapshot notice is on its way to this thread
    std::shared_ptr<const ArchiveIndex> index_;
    bool viewPlaced_ = false; // the view was put on the newest images once
    QTimer listingTimer_;     // shows the listing's progress
    std::optional<size_t> cursor_;
    std::optional<ArchiveKey> cursorKey_; // the same image in the next snapshot
    std::optional<std::pair<int64_t, int64_t>> selection_;
    std::optional<int64_t> pendingJumpMs_; // asked for before any image was known
    std::vector<Event> events_;
    QElapsedTimer eventsAge_; // since the events were read

    std::unique_ptr<ImageLoader> loader_;
    std::optional<ArchiveKey> requestedKey_;
    uint64_t requestedTicket_ = 0;
    uint64_t shownTicket_ = 0;

    PlaybackPacer pacer_;
    QTimer playTimer_;
    QElapsedTimer clock_;
    bool loop_ = false;

    QComboBox* cameraBox_ = nullptr;
    QDateTimeEdit* jumpEdit_ = nullptr;
    QComboBox* zoomBox_ = nullptr;
    QScrollArea* imageArea_ = nullptr;
    ImagePane* imagePane_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    TimelineWidget* timeline_ = nullptr;
    QScrollBar* scrollBar_ = nullptr;
    int64_t scrollOriginMs_ = 0;
    QLabel* viewLabel_ = nullptr;
    QPushButton* playButton_ = nullptr;
    QComboBox* speedBox_ = nullptr;
    QCheckBox* loopBox_ = nullptr;
    QCheckBox* fitBox_ = nullptr;
    QLabel* selectionLabel_ = nullptr;
    QPushButton* exportMp4Button_ = nullptr;
    QPushButton* exportZipButton_ = nullptr;
    ExportPanel* exportPanel_ = nullptr;
    QPushButton* keepButton_ = nullptr;
    QCheckBox* keptBox_ = nullptr;
};

} // namespace vistrel
