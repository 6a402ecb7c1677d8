// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/web_backend.h"

#include <array>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vistrel::test {

// The recorder as the web server sees it, in memory: two cameras, pictures
// pushed by the test, an archive index per camera, an event log and export
// jobs that finish at once. It calls FrameReady only while someone watches,
// as the recorder does.
//
// Any thread may call it; one mutex guards it all.
class FakeWebBackend : public IWebBackend {
public:
    explicit FakeWebBackend(std::filesystem::path exportFolder);

    // A new picture of `bytes` bytes whose first eight hold its sequence
    // number; handed to the listener when the camera has viewers.
    uint64_t PushFrame(int camera, size_t bytes);
    void PushEvent(const std::string& eventJson);
    void AddArchiveImage(int camera, const std::string& name, int64_t timeMs, std::vector<uint8_t> bytes);

    // Picture blocks still alive anywhere (here, in the server, in flight).
    int LivePictures() const { return livePictures_->load(); }
    int Viewers(int camera);
    std::vector<std::string> NamesAsked();
    std::pair<int64_t, int64_t> LastArchiveSpan();
    bool HasListener();

    WebRecorderStatus Status() override;
    WebFrame LatestFrame(int camera) override;
    void SetListener(IWebListener* listener) override;
    void SetViewers(int camera, int viewers) override;
    std::vector<WebArchiveImage> Archive(int camera, int64_t fromSeconds, int64_t toSeconds, size_t limit) override;
    int ReadArchiveImage(int camera, const std::string& name, size_t maxBytes, std::vector<uint8_t>* bytes) override;
    std::vector<std::string> Events(int64_t fromSeconds, int64_t toSeconds, size_t limit) override;
    int StartExport(const WebExportRequest& request, std::string* id) override;
    bool Export(const std::string& id, WebExportJob* job) override;

private:
    struct StoredImage {
        std::string name;
        int64_t timeMs;
        std::vector<uint8_t> bytes;
    };

    const std::filesystem::path exportFolder_;
    std::shared_ptr<std::atomic<int>> livePictures_ = std::make_shared<std::atomic<int>>(0);
    std::mutex mutex_; // guards everything below
    IWebListener* listener_ = nullptr;
    std::array<int, kWebCameras> viewers_{};
    std::array<WebFrame, kWebCameras> latest_;
    uint64_t sequence_ = 0;
    std::array<std::vector<StoredImage>, kWebCameras> archive_;
    std::vector<std::string> namesAsked_;
    std::pair<int64_t, int64_t> lastArchiveSpan_{0, 0};
    std::vector<std::string> events_;
    std::map<std::string, WebExportJob> exports_;
};

} // namespace vistrel::test
