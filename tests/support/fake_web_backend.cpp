// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fake_web_backend.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace vistrel::test {

FakeWebBackend::FakeWebBackend(std::filesystem::path exportFolder)
    : exportFolder_(std::move(exportFolder))
{
}

uint64_t FakeWebBackend::PushFrame(int camera, size_t bytes)
{
    std::lock_guard lock(mutex_);
    const uint64_t sequence = ++sequence_;
    auto* block = new std::vector<uint8_t>(std::max<size_t>(bytes, sizeof sequence), 0x5a);
    std::memcpy(block->data(), &sequence, sizeof sequence);
    livePictures_->fetch_add(1);
    const std::shared_ptr<std::atomic<int>> live = livePictures_;
    latest_[camera] = WebFrame{sequence, std::shared_ptr<const std::vector<uint8_t>>(block, [live](const std::vector<uint8_t>* b) {
                                           live->fetch_sub(1);
                                           delete b;
                                       })};
    if (listener_ && viewers_[camera] > 0)
        listener_->FrameReady(camera, latest_[camera]);
    return sequence;
}

void FakeWebBackend::PushEvent(const std::string& eventJson)
{
    std::lock_guard lock(mutex_);
    events_.push_back(eventJson);
    if (listener_)
        listener_->EventAdded(eventJson);
}

void FakeWebBackend::AddArchiveImage(int camera, const std::string& name, int64_t timeMs, std::vector<uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    archive_[camera].push_back({name, timeMs, std::move(bytes)});
}

int FakeWebBackend::Viewers(int camera)
{
    std::lock_guard lock(mutex_);
    return viewers_[camera];
}

std::vector<std::string> FakeWebBackend::NamesAsked()
{
    std::lock_guard lock(mutex_);
    return namesAsked_;
}

std::pair<int64_t, int64_t> FakeWebBackend::LastArchiveSpan()
{
    std::lock_guard lock(mutex_);
    return lastArchiveSpan_;
}

bool FakeWebBackend::HasListener()
{
    std::lock_guard lock(mutex_);
    return listener_ != nullptr;
}

WebRecorderStatus FakeWebBackend::Status()
{
    WebRecorderStatus status;
    status.instance = 1;
    status.capturing = true;
    status.device = "Vistrel Test Pattern";
    for (char letter : {'A', 'B'}) {
        WebCameraStatus camera;
        camera.letter = letter;
        camera.enabled = true;
        camera.motionLevel = 12;
        camera.frameRateLine = "10.0 fps";
        camera.archiveLine = "1.00 MB";
        camera.forecastLine = "0days 1hr 0min 0sec";
        status.cameras.push_back(camera);
    }
    return status;
}

WebFrame FakeWebBackend::LatestFrame(int camera)
{
    std::lock_guard lock(mutex_);
    return latest_[camera];
}

void FakeWebBackend::SetListener(IWebListener* listener)
{
    std::lock_guard lock(mutex_);
    listener_ = listener;
}

void FakeWebBackend::SetViewers(int camera, int viewers)
{
    std::lock_guard lock(mutex_);
    viewers_[camera] = viewers;
}

std::vector<WebArchiveImage> FakeWebBackend::Archive(int camera, int64_t fromSeconds, int64_t toSeconds, size_t limit)
{
    std::lock_guard lock(mutex_);
    lastArchiveSpan_ = {fromSeconds, toSeconds};
    std::vector<WebArchiveImage> images;
    for (const StoredImage& image : archive_[camera]) {
        if (image.timeMs >= fromSeconds * 1000 && image.timeMs < toSeconds * 1000 && images.size() < limit)
            images.push_back({image.name, image.timeMs});
    }
    return images;
}

int FakeWebBackend::ReadArchiveImage(int camera, const std::string& name, size_t maxBytes, std::vector<uint8_t>* bytes)
{
    std::lock_guard lock(mutex_);
    namesAsked_.push_back(name);
    for (const StoredImage& image : archive_[camera]) {
        if (image.name == name) {
            if (image.bytes.size() > maxBytes)
                return -EFBIG;
            *bytes = image.bytes;
            return 0;
        }
    }
    return -ENOENT;
}

std::vector<std::string> FakeWebBackend::Events(int64_t, int64_t, size_t limit)
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> events(events_.begin(), events_.begin() + std::min(limit, events_.size()));
    return events;
}

int FakeWebBackend::StartExport(const WebExportRequest& request, std::string* id)
{
    std::lock_guard lock(mutex_);
    *id = "job" + std::to_string(exports_.size() + 1);
    WebExportJob job;
    job.state = WebExportState::Done;
    job.progressPercent = 100;
    job.format = request.format;
    job.file = exportFolder_ / (*id + (request.format == WebExportFormat::Mp4 ? ".mp4" : ".zip"));
    std::ofstream(job.file, std::ios::binary) << "export of camera " << char('A' + request.camera) << " from "
                                              << request.fromSeconds << " to " << request.toSeconds;
    exports_[*id] = job;
    return 0;
}

bool FakeWebBackend::Export(const std::string& id, WebExportJob* job)
{
    std::lock_guard lock(mutex_);
    const auto it = exports_.find(id);
    if (it == exports_.end())
        return false;
    *job = it->second;
    return true;
}

} // namespace vistrel::test
