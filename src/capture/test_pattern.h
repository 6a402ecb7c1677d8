#pragma once

#include "capture/capture_backend.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace vistrel {

// Switches that make the test-pattern device misbehave, so tests can walk
// every failure path. Process-wide; any thread may set or read them.
class TestPatternFaults {
public:
    static TestPatternFaults& Instance();

    // Clears every fault.
    void Reset();

    // Every later start of the device fails at this step (Open: the device
    // cannot be opened), until cleared with std::nullopt.
    void FailAt(std::optional<CaptureStep> step);
    std::optional<CaptureStep> FailingStep() const;

    // A stalled device: no new frames arrive; the last one stays the latest.
    void SetStalled(bool stalled);
    bool Stalled() const;

    // The device disappears: a running device is lost (no frames from then
    // on), enumeration leaves it out and opening fails. Clearing it brings
    // the device back for a new start; a lost device stays lost.
    void SetVanished(bool vanished);
    bool Vanished() const;

private:
    std::atomic<int> failStep_{-1};
    std::atomic<bool> stalled_{false};
    std::atomic<bool> vanished_{false};
};

// Colours of the test pattern, as 0x00RRGGBB.
inline constexpr uint32_t kTestPatternBackgrounds[4] = {0xC82828, 0x28C828, 0x2828C8, 0xC8C828};
inline constexpr uint32_t kTestPatternSquare = 0xFFFFFF;
inline constexpr int kTestPatternIntervalMs = 40;
// Frames the square takes to cross the picture from the left edge to the right edge.
inline constexpr int kTestPatternSweepFrames = 50;

// The grey level an 8-bit test pattern uses for a colour (integer BT.601 luma).
uint8_t TestPatternGrey(uint32_t rgb);

// Draws frame number `frameIndex` of input `input` into `frame`, whose
// header gives the size and bit count (8, 16, 24 or 32).
void RenderTestPattern(Frame& frame, int input, uint64_t frameIndex);

// The built-in device "Vistrel Test Pattern". Opened and stepped on the
// user-interface thread; frames come from its own thread at 25 a second;
// LatestFrame, Crossbar and Route may be called from any thread.
class TestPatternDevice : public ICaptureDevice {
public:
    TestPatternDevice();
    ~TestPatternDevice() override;

    static std::vector<CaptureFormat> AllFormats();

    std::vector<CaptureFormat> Formats() override { return AllFormats(); }
    int SetFormat(const CaptureFormat& format) override;
    int SetDeliveredBitCount(int bitCount) override;
    int PrepareStreaming() override;
    int SetupPreview() override;
    int Start() override;
    void Stop() override;

    bool Crossbar(CrossbarInfo& info) override;
    int Route(int outputPin, int inputPin) override;

    std::unique_ptr<Frame> LatestFrame() override;
    uint64_t FrameSequence() const override { return sequence_.load(); }
    BITMAPINFOHEADER DeliveredHeader() const override;
    int FrameIntervalMs() const override { return kTestPatternIntervalMs; }
    bool Lost() const override { return lost_.load(); }

private:
    void Run();
    std::shared_ptr<Frame> NextBuffer();

    CaptureFormat format_;
    int deliveredBitCount_ = 0;
    std::atomic<int> input_{0};
    std::atomic<uint64_t> sequence_{0};
    std::atomic<bool> lost_{false};

    std::thread thread_;
    std::mutex stopMutex_; // Protects stopping_
    std::condition_variable stopCondition_;
    bool stopping_ = false;

    mutable std::mutex latestMutex_; // Protects latest_ and routeSerial_
    std::shared_ptr<const Frame> latest_;
    uint64_t routeSerial_ = 0; // counts the routes that changed the input
    // Producer-thread only: the buffer handed out before the latest, reused
    // once no grab holds it any more.
    std::shared_ptr<Frame> spare_;
};

// The backend of the one test-pattern device.
class TestPatternBackend : public ICaptureBackend {
public:
    static constexpr const char* kName = "Vistrel Test Pattern";

    bool EnumerateDevices(std::vector<DeviceEntry>& devices) override;
    bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) override;
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override;
};

} // namespace vistrel
