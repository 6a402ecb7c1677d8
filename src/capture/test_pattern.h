// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

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
// user-interface thread; LatestFrame, FrameSequence, Lost, Crossbar and Route
// may be called from any thread. A new frame begins every 40 ms from the
// start, but a frame is drawn only when it is asked for, straight into the
// caller's copy: a camera saved once a second costs one picture a second,
// not 25.
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
    uint64_t FrameSequence() const override;
    BITMAPINFOHEADER DeliveredHeader() const override;
    int FrameIntervalMs() const override { return kTestPatternIntervalMs; }
    bool Lost() const override;

private:
    // Brings the latest frame up to the present: the frame of the current
    // 40 ms step, unless the device stalls (the last frame stays) or has
    // vanished (lost for good). Returns the latest frame's number, 0 for none.
    uint64_t CatchUp() const;

    CaptureFormat format_;
    int deliveredBitCount_ = 0;

    mutable std::mutex mutex_; // Protects everything below
    bool started_ = false;
    std::chrono::steady_clock::time_point startedAt_;
    int input_ = 0;
    mutable uint64_t latest_ = 0;  // the latest frame's number since the start, 0 before the first
    uint64_t routedAfter_ = 0;     // frames up to this one were drawn for the input before a route
    mutable bool lost_ = false;
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
