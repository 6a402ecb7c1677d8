// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/test_pattern.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <utility>

namespace vistrel {

TestPatternFaults& TestPatternFaults::Instance()
{
    static TestPatternFaults faults;
    return faults;
}

void TestPatternFaults::Reset()
{
    failStep_ = -1;
    stalled_ = false;
    vanished_ = false;
}

void TestPatternFaults::FailAt(std::optional<CaptureStep> step)
{
    failStep_ = step ? int(*step) : -1;
}

std::optional<CaptureStep> TestPatternFaults::FailingStep() const
{
    const int step = failStep_.load();
    if (step < 0)
        return std::nullopt;
    return CaptureStep(step);
}

void TestPatternFaults::SetStalled(bool stalled) { stalled_ = stalled; }
bool TestPatternFaults::Stalled() const { return stalled_.load(); }
void TestPatternFaults::SetVanished(bool vanished) { vanished_ = vanished; }
bool TestPatternFaults::Vanished() const { return vanished_.load(); }

namespace {

constexpr int kSizes[][2] = {{160, 120}, {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
constexpr int kBitCounts[] = {8, 16, 24, 32};
constexpr int kInputTypes[] = {connector::kVideoComposite, connector::kVideoComposite, connector::kVideoSVideo,
                               connector::kVideoTuner};
constexpr int kInputCount = int(std::size(kInputTypes));
// The step faults' code; opening fails as a missing device does.
constexpr int kInjectedFailure = -EIO;

bool FailsAt(CaptureStep step)
{
    return TestPatternFaults::Instance().FailingStep() == step;
}

// One pixel of `rgb` in the layout of `bitCount`, as bytes in memory order.
int EncodePixel(uint32_t rgb, int bitCount, uint8_t out[4])
{
    const uint8_t r = uint8_t(rgb >> 16), g = uint8_t(rgb >> 8), b = uint8_t(rgb);
    switch (bitCount) {
    case 8:
        out[0] = TestPatternGrey(rgb);
        return 1;
    case 16: {
        const uint16_t v = uint16_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
        out[0] = uint8_t(v);
        out[1] = uint8_t(v >> 8);
        return 2;
    }
    case 24:
        out[0] = b;
        out[1] = g;
        out[2] = r;
        return 3;
    default:
        out[0] = b;
        out[1] = g;
        out[2] = r;
        out[3] = 0;
        return 4;
    }
}

void FillPixels(uint8_t* dst, int count, const uint8_t* pixel, int bytes)
{
    if (bytes == 1) {
        std::memset(dst, pixel[0], size_t(count));
        return;
    }
    for (int i = 0; i < count; ++i, dst += bytes)
        std::memcpy(dst, pixel, size_t(bytes));
}

} // namespace

uint8_t TestPatternGrey(uint32_t rgb)
{
    const uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    return uint8_t((r * 299 + g * 587 + b * 114 + 500) / 1000);
}

void RenderTestPattern(Frame& frame, int input, uint64_t frameIndex)
{
    const int width = frame.width();
    const int height = frame.height();
    const int bitCount = frame.bitCount();
    input = std::clamp(input, 0, kInputCount - 1);

    uint8_t pixel[4];
    const int bytes = EncodePixel(kTestPatternBackgrounds[input], bitCount, pixel);
    const size_t rowBytes = size_t(width) * size_t(bytes);
    if (frame.size() < rowBytes * size_t(height))
        return;

    // Fill one row, then copy it down the picture.
    uint8_t* first = frame.data();
    FillPixels(first, width, pixel, bytes);
    for (int y = 1; y < height; ++y)
        std::memcpy(first + rowBytes * size_t(y), first, rowBytes);

    if (input >= 3)
        return;
    const int side = width / 5;
    const int top = (height - side) / 2; // from the top of the picture
    const int travel = width - side;
    const int x = int((frameIndex % kTestPatternSweepFrames) * uint64_t(travel) / (kTestPatternSweepFrames - 1));
    EncodePixel(kTestPatternSquare, bitCount, pixel);
    for (int y = top; y < top + side; ++y) {
        const int storedRow = height - 1 - y;
        FillPixels(first + rowBytes * size_t(storedRow) + size_t(x) * size_t(bytes), side, pixel, bytes);
    }
}

TestPatternDevice::TestPatternDevice() = default;

TestPatternDevice::~TestPatternDevice()
{
    Stop();
}

std::vector<CaptureFormat> TestPatternDevice::AllFormats()
{
    std::vector<CaptureFormat> formats;
    for (const auto& size : kSizes)
        for (int bits : kBitCounts)
            formats.push_back({size[0], size[1], bits});
    return formats;
}

int TestPatternDevice::SetFormat(const CaptureFormat& format)
{
    if (FailsAt(CaptureStep::SetFormat))
        return kInjectedFailure;
    const auto formats = AllFormats();
    if (std::find(formats.begin(), formats.end(), format) == formats.end())
        return kNoMatchingFormat;
    format_ = format;
    return 0;
}

int TestPatternDevice::SetDeliveredBitCount(int bitCount)
{
    if (FailsAt(CaptureStep::Grabber))
        return kInjectedFailure;
    // The pattern is drawn in the device format's own layout.
    if (bitCount != format_.bitCount)
        return kEFail;
    deliveredBitCount_ = bitCount;
    return 0;
}

int TestPatternDevice::PrepareStreaming()
{
    return FailsAt(CaptureStep::Render) ? kInjectedFailure : 0;
}

int TestPatternDevice::SetupPreview()
{
    return FailsAt(CaptureStep::Preview) ? kInjectedFailure : 0;
}

int TestPatternDevice::Start()
{
    if (FailsAt(CaptureStep::Start))
        return kInjectedFailure;
    std::lock_guard lock(mutex_);
    if (started_)
        return 0;
    started_ = true;
    startedAt_ = std::chrono::steady_clock::now();
    latest_ = 0;
    routedAfter_ = 0;
    lost_ = false;
    return 0;
}

void TestPatternDevice::Stop()
{
    std::lock_guard lock(mutex_);
    started_ = false;
}

bool TestPatternDevice::Crossbar(CrossbarInfo& info)
{
    info.inputTypes.assign(std::begin(kInputTypes), std::end(kInputTypes));
    info.outputTypes = {connector::kVideoDecoder};
    return true;
}

int TestPatternDevice::Route(int outputPin, int inputPin)
{
    // The one output is the decoder; other routes are refused.
    if (outputPin != 0 || inputPin < 0 || inputPin >= kInputCount)
        return -EINVAL;
    std::lock_guard lock(mutex_);
    if (input_ != inputPin) {
        // The frame begun before the route is the input before's: no later
        // grab may show it, the next one is the new input's.
        input_ = inputPin;
        routedAfter_ = CatchUp();
    }
    return 0;
}

uint64_t TestPatternDevice::CatchUp() const
{
    if (!started_ || lost_)
        return 0;
    const auto& faults = TestPatternFaults::Instance();
    if (faults.Vanished()) {
        lost_ = true;
        return 0;
    }
    if (!faults.Stalled()) {
        const auto elapsed = std::chrono::steady_clock::now() - startedAt_;
        latest_ = uint64_t(elapsed / std::chrono::milliseconds(kTestPatternIntervalMs));
    }
    return latest_;
}

std::unique_ptr<Frame> TestPatternDevice::LatestFrame()
{
    uint64_t number = 0;
    int input = 0;
    {
        std::lock_guard lock(mutex_);
        number = CatchUp();
        if (number == 0 || number <= routedAfter_)
            return nullptr;
        input = input_;
    }
    auto frame = Frame::Create(format_.width, format_.height, deliveredBitCount_);
    RenderTestPattern(*frame, input, number - 1);
    return frame;
}

uint64_t TestPatternDevice::FrameSequence() const
{
    std::lock_guard lock(mutex_);
    return CatchUp();
}

bool TestPatternDevice::Lost() const
{
    std::lock_guard lock(mutex_);
    CatchUp();
    return lost_;
}

BITMAPINFOHEADER TestPatternDevice::DeliveredHeader() const
{
    BITMAPINFOHEADER header;
    header.biWidth = format_.width;
    header.biHeight = format_.height;
    header.biBitCount = uint16_t(deliveredBitCount_);
    header.biSizeImage = uint32_t(format_.width * format_.height * (deliveredBitCount_ / 8));
    return header;
}

bool TestPatternBackend::EnumerateDevices(std::vector<DeviceEntry>& devices)
{
    devices.clear();
    if (TestPatternFaults::Instance().Vanished())
        return false;
    devices.push_back({kName, true});
    return true;
}

bool TestPatternBackend::DeviceFormats(int number, std::vector<CaptureFormat>& formats)
{
    if (number != 0 || TestPatternFaults::Instance().Vanished())
        return false;
    formats = TestPatternDevice::AllFormats();
    return true;
}

int TestPatternBackend::OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device)
{
    if (number != 0 || TestPatternFaults::Instance().Vanished() || FailsAt(CaptureStep::Open))
        return -ENODEV;
    device = std::make_unique<TestPatternDevice>();
    return 0;
}

} // namespace vistrel
