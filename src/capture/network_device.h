// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"
#include "capture/network_camera.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace vistrel {

// How long the stream thread waits on the network at each step, and how it
// backs off between reconnects. Tests lengthen the waits to show that a
// stop does not depend on them.
struct NetworkTimeouts {
    std::chrono::milliseconds open{5000};  // connect, handshake, stream description
    std::chrono::milliseconds read{5000};  // each packet
    // A stream whose packets give no picture for this long (and three
    // key-frame intervals) is garbage and counts as lost.
    std::chrono::milliseconds noPicture{10000};
    std::chrono::milliseconds firstBackoff{1000};
    std::chrono::milliseconds maxBackoff{30000};
};

// One network camera's stream as a capture device: RTSP (H.264, H.265,
// MJPEG), HTTP(S) multipart MJPEG, or an HTTP(S) JPEG snapshot URL fetched
// once a grab interval. Its stream thread, started by Start and joined by
// Stop, connects, reads and keeps only the latest frame; a lost stream
// (gone, stalled, garbage) is reported by Lost and reconnected by that
// thread with a backoff of 1 s doubling to 30 s. Stepped through a start on
// the user-interface thread; LatestFrame, PreviewFrame, FrameSequence,
// Lost, FormatChanged and SetGrabIntervalMs may be called from any thread.
//
// Work is spent on what is grabbed: JPEG pictures stay compressed until a
// grab decodes them on the grabbing thread; H.264 and H.265 are decoded on
// the stream thread, every frame while grabs come more often than key
// frames, otherwise key frames only (the rest dropped undecoded), and
// converted to BGR by the grab. Each frame goes to one grab only.
class NetworkDevice : public ICaptureDevice {
public:
    explicit NetworkDevice(NetworkCamera camera, NetworkTimeouts timeouts = {});
    ~NetworkDevice() override;

    // The format set, or the size the stream's frames have when that differs.
    std::vector<CaptureFormat> Formats() override;
    // Any size at 24 bits is taken as it is, without asking the camera
    // (it is the stored format); frames of another size are a format change.
    int SetFormat(const CaptureFormat& format) override;
    int SetDeliveredBitCount(int bitCount) override;
    int PrepareStreaming() override;
    // Starts the stream thread; never waits on the network.
    int Start() override;
    // Ends every network wait and joins the stream thread, within about a
    // second and a half whatever the server does. Safe to call twice.
    void Stop() override;

    bool Crossbar(CrossbarInfo&) override { return false; }
    int Route(int, int) override { return -EINVAL; }

    // The latest frame if no grab had it yet; null otherwise, while lost,
    // and while the format has changed.
    std::unique_ptr<Frame> LatestFrame() override;
    std::unique_ptr<Frame> PreviewFrame() override;
    uint64_t FrameSequence() const override { return sequence_.load(); }
    BITMAPINFOHEADER DeliveredHeader() const override;
    int FrameIntervalMs() const override { return frameIntervalMs_.load(); }
    bool Lost() const override { return lost_.load(); }

    bool ReconnectsItself() const override { return true; }
    void SetGrabIntervalMs(int intervalMs) override;
    bool FormatChanged(CaptureFormat& now) const override;

    // What the stream thread measured and did, for tests and benchmarks.
    int KeyFrameIntervalMs() const { return keyIntervalMs_.load(); }
    bool DecodesEveryFrame() const;
    uint64_t DecodedPictures() const { return decoded_.load(); }
    uint64_t DroppedUndecoded() const { return droppedUndecoded_.load(); }
    uint64_t DamagedPictures() const { return damaged_.load(); }
    uint64_t Connections() const { return connections_.load(); }

private:
    // One frame as it arrived: a JPEG's bytes, or a decoded picture.
    struct HeldFrame;
    enum class SessionEnd { Stopped, Failed, SnapshotTaken };

    void Run();
    SessionEnd RunSession(bool& pictureSeen);
    bool HandleJpeg(const AVPacket& packet);
    bool HandleCoded(AVCodecContext& decoder, AVPacket* packet, AVPacket& unit);
    bool DecodeUnit(AVCodecContext& decoder, AVPacket& unit);
    void MeasureKeyInterval(int64_t pts, std::chrono::steady_clock::time_point now);
    bool ReceivePictures(AVCodecContext& decoder);
    void Publish(std::shared_ptr<HeldFrame> frame);
    void MarkLost();
    // Waits on the stop flag until `until`; false when stopped.
    bool WaitUntil(std::chrono::steady_clock::time_point until);
    std::unique_ptr<Frame> Convert(const HeldFrame& held);
    std::shared_ptr<const HeldFrame> TakeLatest(bool forGrab);

    const NetworkCamera camera_;
    const NetworkTimeouts timeouts_;
    CaptureFormat format_; // set before Start, fixed while streaming

    std::thread thread_;
    std::atomic<bool> stop_{false}; // read by every network wait of the stream thread
    std::mutex stopMutex_;          // Pairs with stopWake_, so a stop ends a backoff wait at once
    std::condition_variable stopWake_;

    std::atomic<int> grabIntervalMs_{0}; // 0: not told
    std::atomic<int> frameIntervalMs_{40};
    std::atomic<int> keyIntervalMs_{0}; // 0 until two key frames were seen
    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint64_t> decoded_{0};
    std::atomic<uint64_t> droppedUndecoded_{0};
    std::atomic<uint64_t> damaged_{0};
    std::atomic<uint64_t> connections_{0};

    // Stream thread only, per connection.
    bool awaitingKeyFrame_ = true;   // non-key packets are dropped until a key frame
    bool referencesDamaged_ = false; // pictures are dropped until a key picture
    bool decodedEveryFrame_ = true;
    int64_t lastKeyPts_ = 0;
    bool lastKeyPtsValid_ = false;
    std::chrono::steady_clock::time_point lastKeyArrival_{};
    std::chrono::steady_clock::time_point lastPicture_{};
    double timeBaseMs_ = 0;

    mutable std::mutex latestMutex_; // Protects latest_, handedSequence_ and changedTo_
    std::shared_ptr<const HeldFrame> latest_;
    uint64_t handedSequence_ = 0; // the newest frame a grab took
    std::optional<CaptureFormat> changedTo_;

    // Conversion of decoded pictures to BGR, by whichever thread grabs.
    std::mutex convertMutex_; // Protects scaler_ and its colour settings
    SwsContext* scaler_ = nullptr;
    int scalerColorspace_ = -1;
    int scalerFullRange_ = -1;
};

} // namespace vistrel
