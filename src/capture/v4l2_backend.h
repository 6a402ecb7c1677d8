// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"
#include "capture/v4l2_mapping.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct v4lconvert_data;

namespace vistrel {

// The V4L2 video capture nodes, /dev/video0, /dev/video1, ... in numeric
// order. Called on the user-interface thread.
class V4l2Backend : public ICaptureBackend {
public:
    // `directory` holds the device nodes; tests point it elsewhere.
    explicit V4l2Backend(std::string directory = "/dev");

    bool EnumerateDevices(std::vector<DeviceEntry>& devices) override;
    bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) override;
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override;

    // Paths of the nodes named video<N>, by N.
    std::vector<std::string> VideoNodes() const;

private:
    struct Node {
        std::string path;
        DeviceEntry entry;
        bool openable = true;
    };
    std::vector<Node> CaptureNodes() const;

    std::string directory_;
};

// One opened V4L2 capture device, streamed with mmap buffers by its own
// capture thread, which keeps a copy of the latest frame only and owns every
// streaming call once started: a route is a request it carries out between
// two frames. Stepped through a start on the user-interface thread;
// LatestFrame, Crossbar, Route and SetStandard may be called from any
// thread. Frames are converted only when asked for.
class V4l2Device : public ICaptureDevice {
public:
    ~V4l2Device() override;

    // Opens `path`; 0 or -errno.
    static int Open(const std::string& path, std::unique_ptr<ICaptureDevice>& device);

    // How every request reaches the driver: (descriptor, request, argument),
    // 0 or -errno. Open passes libv4l2's; tests pass a driver of their own.
    using DeviceIoctl = std::function<int(int fd, unsigned long request, void* arg)>;
    // Takes over an opened node, which it closes; 0 or -errno.
    static int Adopt(int fd, DeviceIoctl driver, std::unique_ptr<ICaptureDevice>& device);

    std::vector<CaptureFormat> Formats() override;
    int SetFormat(const CaptureFormat& format) override;
    int SetDeliveredBitCount(int bitCount) override;
    int PrepareStreaming() override;
    int Start() override;
    void Stop() override;

    bool Crossbar(CrossbarInfo& info) override;
    int Route(int outputPin, int inputPin) override;
    bool HasStandards() const override { return hasStandards_; }
    int SetStandard(VideoStandard standard) override;

    std::unique_ptr<Frame> LatestFrame() override;
    uint64_t FrameSequence() const override { return sequence_.load(); }
    BITMAPINFOHEADER DeliveredHeader() const override;
    int FrameIntervalMs() const override { return intervalMs_.load(); }
    bool Lost() const override { return lost_.load(); }

    // Buffers the driver flagged as bad (or empty) and that were handed back unread.
    uint64_t SkippedFrames() const { return skipped_.load(); }
    // Selects a listed mode by its V4L2 pixel format as well as its size,
    // instead of the first mode of that size and bit count.
    int SetMode(const V4l2Mode& mode);
    const std::vector<V4l2Mode>& Modes() const { return modes_; }

private:
    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };
    // A copy of one filled buffer, with the layout it was captured in.
    struct RawFrame {
        std::vector<uint8_t> bytes;
        size_t used = 0;
        v4l2_pix_format pix{};
    };

    V4l2Device(int fd, DeviceIoctl ioctl);
    int Xioctl(unsigned long request, void* arg) const;
    int ApplyFormat();
    int AllocateBuffers();
    void ReleaseBuffers();
    int StreamOn();
    void StreamOff();
    int ApplyStandard();
    void Run();
    // A switch request that re-applies the standard on the input streaming now.
    static constexpr int kSameInputAgain = -1;
    int RequestSwitch(int input);
    // Carries out a switch request on the capture thread; 0 or -errno.
    int SwitchInput(int input);
    // Marks the frames from now on as captured after a switch.
    void RestartDelivery(bool buffersFresh);
    bool Deliverable(const v4l2_buffer& buffer);
    void Publish(const Buffer& buffer, size_t used);
    void CloseLost();

    // Opened on the user-interface thread; closed by Stop after the capture
    // thread has ended, or by the capture thread when the device is lost,
    // under fdMutex_ so a direct route never uses a closed descriptor.
    std::mutex fdMutex_; // Protects fd_ against closing
    int fd_ = -1;
    const DeviceIoctl ioctl_;
    int wakeFd_ = -1; // eventfd that wakes the capture thread for a stop or a route

    std::vector<V4l2Mode> modes_;
    std::vector<int> inputTypes_;
    std::vector<bool> analogInputs_; // inputs with video standards
    bool hasInputs_ = false;
    bool hasStandards_ = false;
    V4l2Mode mode_;
    int deliveredBitCount_ = 0;
    v4l2_pix_format pix_{}; // as the driver set it; capture thread once started
    std::atomic<int> intervalMs_{33};
    std::vector<Buffer> buffers_; // capture thread once started
    bool streaming_ = false;      // capture thread once started
    int currentInput_ = 0;        // capture thread once started

    // Frames still to drop after a switch: those captured before it (by
    // timestamp, or a queue's worth when the driver gives no usable one) and
    // the ones a decoder needs to settle on the new input. Capture thread only.
    int64_t switchedAtUs_ = 0;
    int dropFrames_ = 0;

    // Route and standard requests for the capture thread. Every wait for
    // them is bounded: a driver can hang in VIDIOC_S_INPUT.
    std::mutex requestMutex_; // Protects the fields down to threadEnded_
    std::condition_variable requestDone_;
    std::optional<int> requestedInput_; // the one request not yet taken up
    uint64_t requestSerial_ = 0;        // that request's number
    // Results by request while its caller waits; a caller that gave up has
    // no entry, so a late result is dropped.
    std::map<uint64_t, std::optional<int>> awaited_;
    // A switch outlasted its caller's wait and is still in the driver:
    // later requests fail at once instead of queueing behind it.
    bool switchOverdue_ = false;
    bool stopRequested_ = false;
    bool threadEnded_ = true;
    std::atomic<int> standard_{int(VideoStandard::Auto)};

    std::thread thread_;
    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint64_t> skipped_{0};
    mutable std::mutex latestMutex_; // Protects latest_
    std::shared_ptr<const RawFrame> latest_;
    std::shared_ptr<RawFrame> spare_; // capture thread only

    // libv4lconvert for device formats without a conversion of our own.
    std::mutex convertMutex_; // Protects convert_
    v4lconvert_data* convert_ = nullptr;
};

} // namespace vistrel
