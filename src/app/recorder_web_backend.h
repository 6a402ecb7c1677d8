// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/camera_archives.h"
#include "common/event.h"
#include "web/web_backend.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>

namespace vistrel {

class IVideoSource;
struct InstanceSettings;
class LiveFrames;
class WebExports;
class WorkerDisplay;

// The recorder as the web server sees it: the window's texts, the pictures
// the image thread hands over, the archive indexes, the event log and the
// exports. It never waits on the user-interface thread: what that thread
// knows (the cameras shown, the device) it hands over here, and the rest
// comes from objects any thread may read.
//
// Made and destroyed on the user-interface thread, after and before the web
// server; the server's threads call the IWebBackend methods, the workers
// only reach it through the display's and LiveFrames' notices.
class RecorderWebBackend : public IWebBackend {
public:
    struct Parts {
        WorkerDisplay* display = nullptr;
        LiveFrames* live = nullptr;
        InstanceSettings* settings = nullptr;
        IVideoSource* video = nullptr; // whether capture runs; may be null
        WebExports* exports = nullptr;
        std::filesystem::path storeFolder; // where the event log lies
    };
    explicit RecorderWebBackend(Parts parts);
    ~RecorderWebBackend() override;

    // What the window shows now; user-interface thread.
    void SetShown(int instance, int cameraCount, const std::string& device);

    // A new event as the log has it, from the event hub's thread: pushed to
    // the pages that follow the events.
    void EventLogged(const Event& event);

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
    struct CameraArchive {
        std::string folder;
        std::string suffix;
    };
    // The camera's archive folder from the settings, or the last one known
    // while another thread holds the settings.
    CameraArchive ArchiveOf(int camera);
    std::shared_ptr<const ArchiveIndex> IndexOf(int camera);
    void StatusChanged();

    Parts parts_;
    CameraArchives archives_;

    std::mutex shownMutex_; // guards instance_, cameraCount_, device_ and folders_
    int instance_ = 1;
    int cameraCount_ = 1;
    std::string device_;
    std::array<CameraArchive, kWebCameras> folders_;

    // Held while the listener is called, so clearing it waits for a call under way.
    std::mutex listenerMutex_; // guards listener_
    IWebListener* listener_ = nullptr;
    std::atomic<bool> listening_{false}; // listener_ is set: lets the workers skip the lock
};

} // namespace vistrel
