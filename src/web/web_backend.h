// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vistrel {

// What the web server shows of the recorder, and the hooks through which the
// recorder tells it something changed. Cameras are numbered 0 to 7 ('A' to
// 'H') throughout.

inline constexpr int kWebCameras = 8;

struct WebCameraStatus {
    char letter = 'A';
    bool enabled = false;
    int motionLevel = 0; // 0 to 100, as the motion meter shows it
    std::string frameRateLine;
    std::string archiveLine;
    std::string forecastLine;
    std::string fault; // empty while the camera keeps its footage
};

struct WebRecorderStatus {
    int instance = 1;
    bool capturing = false;
    std::string device;
    std::vector<WebCameraStatus> cameras; // the enabled and shown cameras, in letter order
};

// One encoded picture of a camera. The bytes are shared and never change once
// made, so any number of viewers hold the same block without copying it.
struct WebFrame {
    uint64_t sequence = 0; // grows with every new picture of the camera; 0: none yet
    std::shared_ptr<const std::vector<uint8_t>> jpeg;
};

struct WebArchiveImage {
    std::string name; // the file name the archive index holds
    int64_t timeMs = 0;
};

enum class WebExportFormat { Mp4, Zip };

struct WebExportRequest {
    int camera = 0;
    int64_t fromSeconds = 0;
    int64_t toSeconds = 0;
    WebExportFormat format = WebExportFormat::Mp4;
};

enum class WebExportState { Waiting, Running, Done, Failed };

struct WebExportJob {
    WebExportState state = WebExportState::Waiting;
    int progressPercent = 0;
    WebExportFormat format = WebExportFormat::Mp4;
    std::filesystem::path file; // the finished file, set once Done
    std::string error;          // why it failed, in words fit for the user
};

// Told by the recorder when something the pages show has changed. Called on
// the recorder's threads (image thread, event log); every call returns at once
// without waiting on the web server's clients.
class IWebListener {
public:
    virtual ~IWebListener() = default;
    // A new picture of a camera that someone watches (see SetViewers).
    virtual void FrameReady(int camera, const WebFrame& frame) = 0;
    // Any status value changed (meters, lines, faults); the listener reads
    // Status() again when it needs to.
    virtual void StatusChanged() = 0;
    // One new event of the event log, as its JSON object.
    virtual void EventAdded(const std::string& eventJson) = 0;
};

// Everything the web server needs from the recorder. Called from the server's
// own threads (its polling thread and its worker), never from the
// user-interface or image thread; no call may wait on the user-interface
// thread, and each returns within milliseconds except ReadArchiveImage and
// the listings, which read the disk.
class IWebBackend {
public:
    virtual ~IWebBackend() = default;

    virtual WebRecorderStatus Status() = 0;

    // The camera's latest picture (sequence 0 and no bytes when it has none):
    // the JPEG the recorder already encoded for its static file or archive, or
    // one encoded for viewers while SetViewers holds a count above 0.
    virtual WebFrame LatestFrame(int camera) = 0;

    // Sets (or, with nullptr, clears) the one listener. Once a call with
    // nullptr has returned, no call to the old listener is running or will
    // come.
    virtual void SetListener(IWebListener* listener) = 0;

    // How many clients watch the camera now. While it is 0 the recorder makes
    // no picture for the web and calls no FrameReady for that camera; above 0
    // it encodes a frame the recorder would not save once, however many watch.
    virtual void SetViewers(int camera, int viewers) = 0;

    // The archive images of a camera taken in [fromSeconds, toSeconds), oldest
    // first, from the archive index; at most `limit` of them.
    virtual std::vector<WebArchiveImage> Archive(int camera, int64_t fromSeconds, int64_t toSeconds, size_t limit) = 0;

    // Reads one archive image by a name the camera's archive index lists. 0 on
    // success; -ENOENT for a name the index does not hold, -EFBIG for a file
    // over maxBytes, -EINVAL for anything but a regular file, another -errno
    // when reading fails. No other name ever reaches the file system.
    virtual int ReadArchiveImage(int camera, const std::string& name, size_t maxBytes, std::vector<uint8_t>* bytes) = 0;

    // Events of the event log in [fromSeconds, toSeconds), oldest first, each
    // one JSON object; at most `limit` of them.
    virtual std::vector<std::string> Events(int64_t fromSeconds, int64_t toSeconds, size_t limit) = 0;

    // Queues an export. One export runs at a time, at low priority; the others
    // wait their turn; a finished file is removed an hour after it was made.
    // 0 and the job's id (letters and digits), or -EINVAL for a range with no
    // image, -EBUSY while too many jobs wait, another -errno.
    virtual int StartExport(const WebExportRequest& request, std::string* id) = 0;
    // The job's state, or false for an id that is unknown or gone.
    virtual bool Export(const std::string& id, WebExportJob* job) = 0;
};

} // namespace vistrel
