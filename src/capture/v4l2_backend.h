#pragma once

#include "capture/capture_backend.h"
#include "capture/v4l2_mapping.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    };
    std::vector<Node> CaptureNodes() const;

    std::string directory_;
};

// One opened V4L2 capture device, streamed with mmap buffers by its own
// capture thread, which keeps a copy of the latest frame only. Stepped
// through a start on the user-interface thread; LatestFrame, Crossbar and
// Route may be called from any thread. Frames are converted only when asked for.
class V4l2Device : public ICaptureDevice {
public:
    ~V4l2Device() override;

    // Opens `path`; 0 or -errno.
    static int Open(const std::string& path, std::unique_ptr<ICaptureDevice>& device);

    std::vector<CaptureFormat> Formats() override;
    int SetFormat(const CaptureFormat& format) override;
    int SetDeliveredBitCount(int bitCount) override;
    int PrepareStreaming() override;
    int Start() override;
    void Stop() override;

    bool Crossbar(CrossbarInfo& info) override;
    void Route(int outputPin, int inputPin) override;

    std::unique_ptr<Frame> LatestFrame() override;
    uint64_t FrameSequence() const override { return sequence_.load(); }
    BITMAPINFOHEADER DeliveredHeader() const override;
    int FrameIntervalMs() const override { return intervalMs_; }
    bool Lost() const override { return lost_.load(); }

private:
    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };
    struct RawFrame {
        std::vector<uint8_t> bytes;
        size_t used = 0;
    };

    explicit V4l2Device(int fd);
    int Xioctl(unsigned long request, void* arg) const;
    void ReleaseBuffers();
    void Run();
    void Publish(const Buffer& buffer, size_t used);

    // Opened on the user-interface thread; closed by Stop after the capture
    // thread has ended, under fdMutex_ so a concurrent Route never uses a closed descriptor.
    std::mutex fdMutex_; // Protects fd_ against closing
    int fd_ = -1;
    int wakeFd_ = -1; // eventfd that ends the capture thread's wait

    std::vector<V4l2Mode> modes_;
    std::vector<int> inputTypes_;
    bool hasInputs_ = false;
    V4l2Mode mode_;
    int deliveredBitCount_ = 0;
    v4l2_pix_format pix_{};
    int intervalMs_ = 33;
    std::vector<Buffer> buffers_;
    bool streaming_ = false;

    std::thread thread_;
    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> sequence_{0};
    mutable std::mutex latestMutex_; // Protects latest_
    std::shared_ptr<const RawFrame> latest_;
    std::shared_ptr<RawFrame> spare_; // capture thread only
};

} // namespace vistrel
