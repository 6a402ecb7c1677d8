// SPDX-License-Identifier: GPL-3.0-or-later
// The capture code against the kernel's virtual video driver, vivid, loaded
// with a webcam, a TV tuner, an S-Video and an HDMI input on /dev/video0.
// Runs inside the small virtual machine of scripts/vivid.sh, never on a
// developer's machine: every test skips where /dev/video0 is not vivid.
#include "app/setup_window.h"
#include "capture/capture_backend.h"
#include "capture/dxvideo.h"
#include "capture/frame_convert.h"
#include "capture/v4l2_backend.h"
#include "settings/instance_settings.h"
#include "settings/registry_key.h"
#include "settings/settings_io.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"
#include "support/window_controls.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <map>

namespace vistrel {
namespace {

constexpr const char* kNode = "/dev/video0";
constexpr int kInputCount = 4;
// vivid's button controls.
constexpr uint32_t kDisconnect = 0x00f0f041;
constexpr uint32_t kInjectBufferError = 0x00f0f042;
constexpr uint32_t kInjectQbufError = 0x00f0f044;

bool IsVivid()
{
    const int fd = ::open(kNode, O_RDWR);
    if (fd < 0)
        return false;
    v4l2_capability capability{};
    const bool vivid = ::ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0
        && std::string(reinterpret_cast<const char*>(capability.driver)) == "vivid";
    ::close(fd);
    return vivid;
}

// Presses a button control of the device through a descriptor of its own,
// closed again at once (vivid comes back from a disconnect only after the
// last close).
bool PressButton(uint32_t id)
{
    const int fd = ::open(kNode, O_RDWR);
    if (fd < 0)
        return false;
    v4l2_control control{};
    control.id = id;
    control.value = 1;
    const bool pressed = ::ioctl(fd, VIDIOC_S_CTRL, &control) == 0;
    ::close(fd);
    return pressed;
}

// The pixel (r, g, b) at column x of top-down row y of a bottom-up frame.
std::array<int, 3> PixelAt(const Frame& frame, int x, int y)
{
    const int row = frame.height() - 1 - y;
    const uint8_t* p = frame.data() + size_t(row) * size_t(frame.width()) * size_t(frame.bitCount() / 8);
    switch (frame.bitCount()) {
    case 16: {
        const uint16_t v = uint16_t(p[2 * x] | p[2 * x + 1] << 8);
        return {((v >> 10) & 31) << 3, ((v >> 5) & 31) << 3, (v & 31) << 3};
    }
    case 24: return {p[3 * x + 2], p[3 * x + 1], p[3 * x]};
    case 32: return {p[4 * x + 2], p[4 * x + 1], p[4 * x]};
    default: return {p[x], p[x], p[x]};
    }
}

// vivid's default picture: eight 75% colour bars (white, yellow, cyan,
// green, magenta, red, blue, black) below its text lines. Empty when every
// bar has its colour, otherwise what differs.
std::string ColourBarsDiffer(const Frame& frame, int tolerance)
{
    static const std::array<std::array<int, 3>, 8> kBars = {{{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                                              {0, 191, 0}, {191, 0, 191}, {191, 0, 0},
                                                              {0, 0, 191}, {0, 0, 0}}};
    const int y = frame.height() * 7 / 8;
    std::string differences;
    for (int bar = 0; bar < 8; ++bar) {
        const int x = frame.width() * (2 * bar + 1) / 16;
        const auto pixel = PixelAt(frame, x, y);
        for (int c = 0; c < 3; ++c) {
            if (std::abs(pixel[c] - kBars[bar][c]) > tolerance) {
                char text[96];
                std::snprintf(text, sizeof text, "bar %d is (%d, %d, %d); ", bar, pixel[0], pixel[1], pixel[2]);
                differences += text;
                break;
            }
        }
    }
    return differences;
}

// The text line in which vivid names the routed input ("720x576, input 1"):
// the third 16-pixel line from the top, as grey levels.
using InputStrip = std::vector<int>;
constexpr int kStripTop = 32, kStripBottom = 48, kStripLeft = 16, kStripRight = 176;

InputStrip StripOf(const Frame& frame)
{
    InputStrip strip;
    for (int y = kStripTop; y < kStripBottom; ++y) {
        for (int x = kStripLeft; x < kStripRight; ++x) {
            const auto p = PixelAt(frame, x, y);
            strip.push_back((p[0] + p[1] + p[2]) / 3);
        }
    }
    return strip;
}

long Distance(const InputStrip& a, const InputStrip& b)
{
    long sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        sum += std::abs(a[i] - b[i]);
    return sum;
}

// The input whose reference strip is nearest, and how much nearer it is than the next.
int NearestInput(const std::vector<InputStrip>& references, const InputStrip& strip, long* margin = nullptr)
{
    int best = -1;
    long bestDistance = std::numeric_limits<long>::max(), second = std::numeric_limits<long>::max();
    for (size_t i = 0; i < references.size(); ++i) {
        const long d = Distance(references[i], strip);
        if (d < bestDistance) {
            second = bestDistance;
            bestDistance = d;
            best = int(i);
        } else if (d < second) {
            second = d;
        }
    }
    if (margin)
        *margin = second - bestDistance;
    return best;
}

std::unique_ptr<CompositeBackend> V4l2Only()
{
    std::vector<std::unique_ptr<ICaptureBackend>> backends;
    backends.push_back(std::make_unique<V4l2Backend>());
    return std::make_unique<CompositeBackend>(std::move(backends));
}

std::unique_ptr<Frame> WaitForFrame(const std::function<std::unique_ptr<Frame>()>& grab,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(20))
{
    std::unique_ptr<Frame> frame;
    test::waitFor([&] { return (frame = grab()) != nullptr; }, deadline);
    return frame;
}

class VividTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!IsVivid())
            GTEST_SKIP() << kNode << " is not vivid: these tests run inside scripts/vivid.sh";
    }

    // A frame of each input at `format`, routed one after the other.
    std::vector<InputStrip> References(const std::string& format)
    {
        test::RecordingReporter reporter;
        CDXVideo video(reporter, V4l2Only());
        std::vector<InputStrip> strips;
        if (video.StartCapture(0, nullptr, format) != 0)
            return strips;
        for (int input = 0; input < kInputCount; ++input) {
            if (video.SelectInput(input) != 1)
                return {};
            const auto frame = WaitForFrame([&] { return video.GrabFrame(); });
            if (!frame)
                return {};
            strips.push_back(StripOf(*frame));
        }
        video.StopCapture();
        return strips;
    }
};

TEST_F(VividTest, CapturesYuvAndRgbFormatsAtTwoSizesWithTheirColours)
{
    test::RecordingReporter reporter;
    CDXVideo video(reporter, V4l2Only());
    // 16 bit is YUYV (the first 16-bit format vivid lists), 24 bit is RGB3.
    for (const char* format : {"640x480 16 bit", "320x180 16 bit", "640x480 24 bit", "320x180 24 bit"}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(video.StartCapture(0, nullptr, format), 0);
        int width = 0, height = 0, bits = 0;
        CDXVideo::ParseFormat(format, width, height, bits);
        BITMAPINFOHEADER header;
        ASSERT_TRUE(video.GetFrameFormat(header));
        EXPECT_EQ(header.biWidth, width);
        EXPECT_EQ(header.biHeight, height);
        const auto frame = WaitForFrame([&] { return video.GrabFrame(); });
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width(), width);
        EXPECT_EQ(frame->height(), height);
        EXPECT_EQ(frame->bitCount(), DeliveredBitCount(bits));
        EXPECT_EQ(ColourBarsDiffer(*frame, 12), "");
        std::printf("vivid: %s gives %dx%d frames of %d bits with vivid's colour bars\n", format, frame->width(),
                    frame->height(), frame->bitCount());
    }
    video.StopCapture();
    EXPECT_TRUE(reporter.messages().empty());
}

TEST_F(VividTest, ABayerFormatIsConvertedByLibv4lconvert)
{
    std::unique_ptr<ICaptureDevice> opened;
    ASSERT_EQ(V4l2Device::Open(kNode, opened), 0);
    auto& device = static_cast<V4l2Device&>(*opened);
    const auto& modes = device.Modes();
    const auto bayer = std::find_if(modes.begin(), modes.end(), [](const V4l2Mode& mode) {
        return mode.pixelFormat == V4L2_PIX_FMT_SBGGR8 && mode.format == CaptureFormat{640, 480, 24};
    });
    ASSERT_NE(bayer, modes.end()) << "BA81 640x480 is not listed as 24 bit";
    ASSERT_EQ(device.SetMode(*bayer), 0);
    ASSERT_EQ(device.SetDeliveredBitCount(24), 0);
    ASSERT_EQ(device.PrepareStreaming(), 0);
    ASSERT_EQ(device.Start(), 0);
    const auto frame = WaitForFrame([&] { return device.LatestFrame(); });
    ASSERT_TRUE(frame);
    // Demosaicing blurs the edges, not the middle of a bar.
    EXPECT_EQ(ColourBarsDiffer(*frame, 24), "");
    device.Stop();
    if (!HasFailure())
    std::printf("vivid: BA81 640x480 converts to BGR with vivid's colour bars\n");
}

TEST_F(VividTest, MmapBuffersAreRequeuedAndTheDeviceStopsAndStartsAgain)
{
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        std::unique_ptr<ICaptureDevice> device;
        ASSERT_EQ(V4l2Device::Open(kNode, device), 0);
        ASSERT_EQ(device->SetFormat({320, 180, 24}), 0);
        ASSERT_EQ(device->SetDeliveredBitCount(24), 0);
        ASSERT_EQ(device->PrepareStreaming(), 0);
        ASSERT_EQ(device->Start(), 0);
        // Four times as many frames as buffers: each went back to the driver.
        EXPECT_TRUE(test::waitFor([&] { return device->FrameSequence() >= 16; }, std::chrono::seconds(30)))
            << device->FrameSequence() << " frames";
        const auto frame = device->LatestFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(ColourBarsDiffer(*frame, 12), "");
        const auto before = std::chrono::steady_clock::now();
        auto stopped = std::async(std::launch::async, [&] { device->Stop(); });
        ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "stop does not return";
        std::printf("vivid: run %d streamed %llu frames through 4 buffers, stopped in %lld ms\n", run,
                    (unsigned long long)device->FrameSequence(),
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                                     - before)
                        .count());
        EXPECT_FALSE(device->Lost());
    }
}

TEST_F(VividTest, BuffersTheDriverFlagsOrRefusesOnceAreSkippedAndStreamingGoesOn)
{
    std::unique_ptr<ICaptureDevice> opened;
    ASSERT_EQ(V4l2Device::Open(kNode, opened), 0);
    auto& device = static_cast<V4l2Device&>(*opened);
    ASSERT_EQ(device.SetFormat({320, 180, 24}), 0);
    ASSERT_EQ(device.SetDeliveredBitCount(24), 0);
    ASSERT_EQ(device.PrepareStreaming(), 0);
    ASSERT_EQ(device.Start(), 0);
    ASSERT_TRUE(WaitForFrame([&] { return device.LatestFrame(); }));

    for (int i = 0; i < 3; ++i) {
        const uint64_t skipped = device.SkippedFrames();
        ASSERT_TRUE(PressButton(kInjectBufferError));
        EXPECT_TRUE(test::waitFor([&] { return device.SkippedFrames() > skipped; })) << "error " << i;
    }
    ASSERT_TRUE(PressButton(kInjectQbufError));
    const uint64_t sequence = device.FrameSequence();
    EXPECT_TRUE(test::waitFor([&] { return device.FrameSequence() > sequence + 8; }))
        << "frames stopped after errors";
    EXPECT_FALSE(device.Lost());
    if (!HasFailure())
    std::printf("vivid: %llu flagged buffers skipped, a refused requeue survived, still streaming\n",
                (unsigned long long)device.SkippedFrames());
    device.Stop();
}

TEST_F(VividTest, RoutingSwitchesInputsThatRefuseToSwitchWhileStreaming)
{
    const auto references = References("320x180 24 bit");
    ASSERT_EQ(references.size(), size_t(kInputCount));
    test::RecordingReporter reporter;
    CDXVideo video(reporter, V4l2Only());
    ASSERT_EQ(video.StartCapture(0, nullptr, "320x180 24 bit"), 0);
    for (int input : {1, 3, 0, 2, 3, 1}) {
        ASSERT_EQ(video.SelectInput(input), 1) << input;
        // The very next frame grabbed shows the new input.
        const auto frame = WaitForFrame([&] { return video.GrabFrame(); });
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width(), 320);
        EXPECT_EQ(frame->height(), 180);
        long margin = 0;
        EXPECT_EQ(NearestInput(references, StripOf(*frame), &margin), input);
        EXPECT_GT(margin, 0);
    }
    video.StopCapture();
    if (!HasFailure())
    std::printf("vivid: six routes across the four inputs, each first frame from the routed input\n");
}

// The standard vivid's analog inputs are set to, read through a descriptor of our own.
v4l2_std_id CurrentStandard()
{
    const int fd = ::open(kNode, O_RDWR);
    v4l2_std_id id = 0;
    if (fd >= 0) {
        ::ioctl(fd, VIDIOC_G_STD, &id);
        ::close(fd);
    }
    return id;
}

TEST_F(VividTest, TheChosenStandardIsAppliedToAnalogInputsAtEverySwitch)
{
    test::RecordingReporter reporter;
    CDXVideo video(reporter, V4l2Only());
    video.SetVideoStandard(VideoStandard::Ntsc);
    ASSERT_EQ(video.StartCapture(0, nullptr, "320x180 24 bit"), 0);
    EXPECT_TRUE(video.HasStandards());
    ASSERT_EQ(video.SelectInput(1), 1); // TV
    EXPECT_TRUE(CurrentStandard() & V4L2_STD_NTSC) << std::hex << CurrentStandard();
    video.SetVideoStandard(VideoStandard::Pal);
    EXPECT_TRUE(CurrentStandard() & V4L2_STD_PAL) << std::hex << CurrentStandard();
    ASSERT_TRUE(WaitForFrame([&] { return video.GrabFrame(); })) << "no frames after the standard changed";
    video.SetVideoStandard(VideoStandard::Secam);
    ASSERT_EQ(video.SelectInput(0), 1);
    ASSERT_EQ(video.SelectInput(2), 1); // S-Video: the standard follows the switch
    EXPECT_TRUE(CurrentStandard() & V4L2_STD_SECAM) << std::hex << CurrentStandard();
    video.StopCapture();
    video.SetVideoStandard(VideoStandard::Auto);
    if (!HasFailure())
        std::printf("vivid: NTSC, PAL and SECAM applied to the TV and S-Video inputs, also across switches\n");
}

TEST_F(VividTest, ADisconnectedDeviceIsShownLostAndResumesWithItsFormatAndInput)
{
    const auto references = References("320x180 24 bit");
    ASSERT_EQ(references.size(), size_t(kInputCount));

    InstanceSettings settings;
    test::RecordingReporter reporter;
    CModelessDlg window(reporter, settings, nullptr, nullptr, V4l2Only());
    window.SetWatchdogIntervalMs(200);
    window.Initialize(0, "320x180 24 bit", 2);
    ASSERT_TRUE(window.IsRunning());
    auto frame = WaitForFrame([&] { return window.GrabFrame(); });
    ASSERT_TRUE(frame);
    ASSERT_EQ(NearestInput(references, StripOf(*frame)), 2);

    ASSERT_TRUE(PressButton(kDisconnect));
    ASSERT_TRUE(test::waitFor([&] { return window.Reconnecting(); }, std::chrono::seconds(20)));
    const QString lostText = test::StatusText(window);
    EXPECT_TRUE(lostText.startsWith("Video Device Lost at ")) << lostText.toStdString();
    EXPECT_TRUE(window.IsRunning()) << "the recorder goes on waiting";

    ASSERT_TRUE(test::waitFor([&] { return !window.Reconnecting(); }, std::chrono::seconds(30)))
        << "the device did not come back: " << test::StatusText(window).toStdString();
    EXPECT_TRUE(test::StatusText(window).contains("(reconnected at ")) << test::StatusText(window).toStdString();
    frame = WaitForFrame([&] { return window.GrabFrame(); });
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 320);
    EXPECT_EQ(frame->height(), 180);
    EXPECT_EQ(NearestInput(references, StripOf(*frame)), 2) << "not the input routed before";
    EXPECT_EQ(settings.InputPin, 2);
    EXPECT_EQ(settings.DeviceName, "vivid");
    EXPECT_EQ(settings.DeviceBusInfo, "platform:vivid-000");
    EXPECT_TRUE(reporter.messages().empty()) << reporter.messages()[0].text;
    if (!HasFailure())
    std::printf("vivid: %s; then %s\n", lostText.toLocal8Bit().constData(),
                test::StatusText(window).toLocal8Bit().constData());
    window.UnInitialize();
}

// The whole recorder multiplexing the four inputs into cameras A to D: every
// archived picture of a camera must show the input routed for it.
TEST_F(VividTest, TheRecorderFilesEveryInputUnderItsOwnCameraLetter)
{
    const char* recorder = std::getenv("VIVID_RECORDER");
    if (!recorder)
        GTEST_SKIP() << "VIVID_RECORDER names the recorder to run";
    const std::string format = "320x180 24 bit";
    const auto references = References(format);
    ASSERT_EQ(references.size(), size_t(kInputCount));

    const std::string home = qgetenv("HOME").toStdString();
    InstanceSettings settings;
    CRegistryKey key;
    int32_t camView = 4;
    LoadInstanceSettings(settings, key, camView);
    {
        TimedLock lock(settings.SettingsLock);
        ASSERT_TRUE(lock);
        settings.VideoFormat = format;
        settings.EnableMux = 1;
        settings.MuxerSpeed = 400;
        for (int camera = 0; camera < kCameraCount; ++camera) {
            const bool used = camera < kInputCount;
            settings.MuxerInputs[camera] = used;
            settings.EnableArchving[camera] = used;
            settings.EnableOverlay[camera] = 0;
            settings.JpegQuality[camera] = 95;
            settings.Minutes[camera] = 10;
            if (used)
                std::filesystem::create_directories(settings.ArchivePath[camera]);
        }
    }
    SaveInstanceSettings(settings, key, camView, true);

    QProcess process;
    process.setProgram(recorder);
    process.setArguments({"-m"});
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    auto archived = [&](int camera) {
        std::vector<std::filesystem::path> images;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(
                 home + "/Cameras/Camera1" + CameraLetter(camera) + "/", error))
            images.push_back(entry.path());
        return images;
    };
    const bool enough = test::waitFor(
        [&] {
            for (int camera = 0; camera < kInputCount; ++camera)
                if (archived(camera).size() < 4)
                    return false;
            return true;
        },
        std::chrono::seconds(90));
    process.terminate();
    EXPECT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_TRUE(enough) << "fewer than four archive images per camera";

    for (int camera = 0; camera < kInputCount; ++camera) {
        std::map<int, int> shown; // input -> images
        for (const auto& path : archived(camera)) {
            std::ifstream in(path, std::ios::binary);
            const std::vector<uint8_t> jpeg{std::istreambuf_iterator<char>(in), {}};
            auto frame = Frame::Create(320, 180, 24);
            if (!DecodeJpegToBgr(jpeg.data(), jpeg.size(), 320, 180, frame->data())) {
                ADD_FAILURE() << path << " is not a 320x180 JPEG";
                continue;
            }
            ++shown[NearestInput(references, StripOf(*frame))];
        }
        std::string seen;
        for (const auto& [input, count] : shown)
            seen += " input " + std::to_string(input) + ": " + std::to_string(count);
        std::printf("vivid: camera %c archived%s\n", CameraLetter(camera), seen.c_str());
        EXPECT_EQ(shown.size(), 1u) << "camera " << CameraLetter(camera) << " holds pictures of other inputs:" << seen;
        EXPECT_EQ(shown.count(camera), 1u) << "camera " << CameraLetter(camera) << seen;
    }
}

} // namespace
} // namespace vistrel
