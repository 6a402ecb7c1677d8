// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/recorder_web_backend.h"

#include "app/web_exports.h"
#include "app/worker_display.h"
#include "archive/archive_file.h"
#include "common/timed_lock.h"
#include "common/video_source.h"
#include "events/event_log.h"
#include "pipeline/live_frames.h"
#include "settings/instance_settings.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace vistrel {

namespace {

bool IsCamera(int camera)
{
    return camera >= 0 && camera < kWebCameras;
}

} // namespace

RecorderWebBackend::RecorderWebBackend(Parts parts)
    : parts_(std::move(parts))
{
    parts_.live->SetListener([this](int camera, const LiveFrames::Picture& picture) {
        if (!listening_.load(std::memory_order_relaxed))
            return;
        std::lock_guard lock(listenerMutex_);
        if (listener_)
            listener_->FrameReady(camera, WebFrame{picture.sequence, picture.jpeg});
    });
    parts_.display->SetStatusChanged([this] { StatusChanged(); });
}

RecorderWebBackend::~RecorderWebBackend()
{
    parts_.display->SetStatusChanged(nullptr);
    parts_.live->SetListener(nullptr);
}

void RecorderWebBackend::SetShown(int instance, int cameraCount, const std::string& device)
{
    {
        std::lock_guard lock(shownMutex_);
        instance_ = instance;
        cameraCount_ = std::clamp(cameraCount, 1, kWebCameras);
        device_ = device;
    }
    StatusChanged();
}

void RecorderWebBackend::EventLogged(const Event& event)
{
    if (!listening_.load(std::memory_order_relaxed))
        return;
    const std::string json = EventJson(event);
    std::lock_guard lock(listenerMutex_);
    if (listener_)
        listener_->EventAdded(json);
}

void RecorderWebBackend::StatusChanged()
{
    if (!listening_.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(listenerMutex_);
    if (listener_)
        listener_->StatusChanged();
}

WebRecorderStatus RecorderWebBackend::Status()
{
    WebRecorderStatus status;
    int cameraCount = 1;
    {
        std::lock_guard lock(shownMutex_);
        status.instance = instance_;
        status.device = device_;
        cameraCount = cameraCount_;
    }
    status.capturing = parts_.video && parts_.video->IsRunning();
    const std::array<CameraStatusTexts, kCameraCount> texts = parts_.display->StatusTexts();
    for (int camera = 0; camera < cameraCount; ++camera) {
        const CameraStatusTexts& shown = texts[size_t(camera)];
        WebCameraStatus entry;
        entry.letter = char('A' + camera);
        entry.enabled = true;
        entry.motionLevel = std::clamp(shown.motionLevel, 0, 100);
        entry.frameRateLine = shown.frameRate;
        entry.archiveLine = shown.archive;
        entry.forecastLine = shown.forecast;
        entry.fault = shown.fault;
        status.cameras.push_back(std::move(entry));
    }
    return status;
}

WebFrame RecorderWebBackend::LatestFrame(int camera)
{
    const LiveFrames::Picture picture = parts_.live->Latest(camera);
    return WebFrame{picture.sequence, picture.jpeg};
}

void RecorderWebBackend::SetListener(IWebListener* listener)
{
    std::lock_guard lock(listenerMutex_);
    listener_ = listener;
    listening_ = listener != nullptr;
    // Pictures are kept for the web only while a server shows them.
    parts_.live->Activate(listener != nullptr);
}

void RecorderWebBackend::SetViewers(int camera, int viewers)
{
    parts_.live->SetViewers(camera, viewers);
}

RecorderWebBackend::CameraArchive RecorderWebBackend::ArchiveOf(int camera)
{
    // Never waits: the user-interface thread may hold the settings for a save.
    TimedLock lock(parts_.settings->SettingsLock, std::chrono::milliseconds(0));
    std::lock_guard shown(shownMutex_);
    CameraArchive& known = folders_[size_t(camera)];
    if (lock) {
        known.folder = parts_.settings->ArchivePath[size_t(camera)];
        known.suffix = ArchiveSuffix(parts_.settings->InstanceNumber, camera);
    }
    return known;
}

std::shared_ptr<const ArchiveIndex> RecorderWebBackend::IndexOf(int camera)
{
    if (!IsCamera(camera))
        return nullptr;
    const CameraArchive archive = ArchiveOf(camera);
    if (archive.folder.empty() || archive.suffix.empty())
        return nullptr;
    return archives_.Index(camera, archive.folder, archive.suffix);
}

std::vector<WebArchiveImage> RecorderWebBackend::Archive(int camera, int64_t fromSeconds, int64_t toSeconds,
                                                         size_t limit)
{
    std::vector<WebArchiveImage> images;
    const std::shared_ptr<const ArchiveIndex> index = IndexOf(camera);
    if (!index)
        return images;
    const CameraArchive archive = ArchiveOf(camera);
    const auto [first, last] = index->Range(fromSeconds * 1000, toSeconds * 1000);
    for (size_t i = first; i < last && images.size() < limit; ++i)
        images.push_back({ArchiveImageName(index->images()[i].key, archive.suffix), index->TimeMs(i)});
    return images;
}

int RecorderWebBackend::ReadArchiveImage(int camera, const std::string& name, size_t maxBytes,
                                         std::vector<uint8_t>* bytes)
{
    const std::shared_ptr<const ArchiveIndex> index = IndexOf(camera);
    if (!index)
        return -ENOENT;
    const CameraArchive archive = ArchiveOf(camera);
    const std::optional<ArchiveKey> key = ParseArchiveName(name, archive.suffix);
    if (!key)
        return -ENOENT;
    const size_t at = index->LowerBound(*key);
    if (at >= index->size() || index->images()[at].key != *key)
        return -ENOENT;
    // The path is made from the index's key, never from the request.
    const std::string path = archive.folder + "/" + ArchiveImageName(*key, archive.suffix);
    std::vector<uint8_t> data;
    switch (ReadArchiveFile(AT_FDCWD, path, data, maxBytes + 1)) {
    case ArchiveFileStatus::Read:
        break;
    case ArchiveFileStatus::Gone:
        return -ENOENT;
    case ArchiveFileStatus::NotAFile:
        return -EINVAL;
    case ArchiveFileStatus::TooLarge:
        return -EFBIG;
    case ArchiveFileStatus::Unreadable:
        return -EIO;
    }
    if (data.size() > maxBytes)
        return -EFBIG;
    *bytes = std::move(data);
    return 0;
}

std::vector<std::string> RecorderWebBackend::Events(int64_t fromSeconds, int64_t toSeconds, size_t limit)
{
    std::vector<std::string> events;
    int instance = 1;
    {
        std::lock_guard lock(shownMutex_);
        instance = instance_;
    }
    const std::filesystem::path path = EventLogPath(parts_.storeFolder, instance);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return events; // no event was logged yet
    // A connection of its own each time: a log object belongs to one thread.
    EventLogStatus status;
    const std::unique_ptr<EventLog> log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    std::vector<Event> found;
    if (!log || !log->InRange(fromSeconds, toSeconds, found).ok())
        return events;
    for (const Event& event : found) {
        if (events.size() >= limit)
            break;
        events.push_back(EventJson(event));
    }
    return events;
}

int RecorderWebBackend::StartExport(const WebExportRequest& request, std::string* id)
{
    if (!IsCamera(request.camera) || request.toSeconds <= request.fromSeconds)
        return -EINVAL;
    const std::shared_ptr<const ArchiveIndex> index = IndexOf(request.camera);
    if (!index)
        return -EINVAL;
    const auto [first, last] = index->Range(request.fromSeconds * 1000, request.toSeconds * 1000);
    if (first >= last)
        return -EINVAL;
    const CameraArchive archive = ArchiveOf(request.camera);
    ExportJob job;
    job.folder = archive.folder;
    job.suffix = archive.suffix;
    job.frames = ExportFramesOf(*index, first, last);
    return parts_.exports->Add(std::move(job), request.format, id);
}

bool RecorderWebBackend::Export(const std::string& id, WebExportJob* job)
{
    return parts_.exports->Find(id, job);
}

} // namespace vistrel
