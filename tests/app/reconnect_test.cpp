// SPDX-License-Identifier: GPL-3.0-or-later
// A capture device that vanishes while running and comes back: the setup
// window's watchdog notices, retries quietly and resumes the same capture.

#include "app/setup_window.h"

#include "capture/capture_backend.h"
#include "capture/test_pattern.h"
#include "common/recorder_display.h"
#include "common/timed_lock.h"
#include "pipeline/image_thread.h"
#include "support/fake_display.h"
#include "support/fake_workers.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"
#include "support/window_controls.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace vistrel {
namespace {

constexpr int kFastWatchdogMs = 20;

// The test-pattern device, optionally behind another camera so that it moves
// from number 0 to number 1; counts the opens.
class MovingBackend : public ICaptureBackend {
public:
    bool EnumerateDevices(std::vector<DeviceEntry>& devices) override
    {
        devices.clear();
        if (shifted)
            devices.push_back({"Other Camera", true});
        std::vector<DeviceEntry> own;
        if (inner_.EnumerateDevices(own))
            devices.insert(devices.end(), own.begin(), own.end());
        return !devices.empty();
    }
    bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) override
    {
        return inner_.DeviceFormats(number - (shifted ? 1 : 0), formats);
    }
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override
    {
        ++opens;
        if (shifted && number == 0) {
            ++otherOpened;
            return -ENODEV;
        }
        return inner_.OpenDevice(number - (shifted ? 1 : 0), device);
    }

    std::atomic<bool> shifted{false};
    std::atomic<int> opens{0};
    std::atomic<int> otherOpened{0};

private:
    TestPatternBackend inner_;
};

// The background colour of a 24-bit frame (bottom-left pixel) as 0x00RRGGBB.
uint32_t Background(const Frame& frame)
{
    const uint8_t* p = frame.data();
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

int Count(const std::vector<std::string>& events, const std::string& event)
{
    return int(std::count(events.begin(), events.end(), event));
}

class ReconnectTest : public testing::Test {
protected:
    void SetUp() override
    {
        qputenv("VISTREL_NO_V4L2", "1");
        TestPatternFaults::Instance().Reset();
    }
    void TearDown() override
    {
        registry.StopAll(true);
        TestPatternFaults::Instance().Reset();
    }

    std::unique_ptr<CModelessDlg> makeWindow()
    {
        auto owned = std::make_unique<MovingBackend>();
        backend = owned.get();
        auto window = std::make_unique<CModelessDlg>(reporter, settings, nullptr, nullptr, std::move(owned));
        window->SetThreadIds(image.threadId(), archive.threadId());
        window->SetWatchdogIntervalMs(kFastWatchdogMs);
        return window;
    }

    void startWorkers()
    {
        archive.Resume();
        image.Resume();
        ASSERT_TRUE(test::waitFor([&] { return log.Contains("image start") && log.Contains("archive start"); }));
    }

    // Waits until the window's capture delivers frames of input `input`.
    bool showsInput(CModelessDlg& window, int input)
    {
        return test::waitFor([&] {
            const auto frame = window.GrabFrame();
            return frame && frame->bitCount() == 24 && Background(*frame) == kTestPatternBackgrounds[input];
        });
    }

    void loseDevice(CModelessDlg& window)
    {
        TestPatternFaults::Instance().SetVanished(true);
        ASSERT_TRUE(test::waitFor([&] { return window.Reconnecting(); }));
    }

    test::TempEnvironment env;
    InstanceSettings settings;
    test::RecordingReporter reporter;
    MovingBackend* backend = nullptr; // owned by the window's capture object
    CThreadRegistry registry;
    test::WorkerLog log;
    test::FakeWorker archive{CWorkerThread::Group::Archive, "archive", log, registry};
    test::FakeWorker image{CWorkerThread::Group::Image, "image", log, registry};
};

TEST_F(ReconnectTest, ALostDeviceIsRetriedQuietlyAndResumesWithTheSameFormatAndInput)
{
    startWorkers();
    auto window = makeWindow();
    window->Initialize(0, "640x480 24 bit", 2);
    ASSERT_TRUE(window->IsRunning());
    ASSERT_TRUE(showsInput(*window, 2));
    ASSERT_TRUE(test::waitFor([&] { return log.Contains("image settings") && log.Contains("archive settings"); }));
    const auto before = log.Events();

    loseDevice(*window);
    EXPECT_TRUE(test::StatusText(*window).startsWith("Video Device Lost at "));
    EXPECT_TRUE(test::StatusText(*window).endsWith(", Reconnecting..."));
    EXPECT_TRUE(window->IsRunning()) << "the image thread keeps polling";
    EXPECT_EQ(window->GrabFrame(), nullptr);

    // Back, but failing to start: every tick retries and nothing is shown.
    const int opensBefore = backend->opens;
    TestPatternFaults::Instance().FailAt(CaptureStep::Start);
    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return backend->opens >= opensBefore + 3; }));
    EXPECT_TRUE(window->Reconnecting());
    EXPECT_TRUE(window->IsRunning());
    EXPECT_TRUE(test::StatusText(*window).startsWith("Video Device Lost at "));
    EXPECT_TRUE(reporter.messages().empty());

    TestPatternFaults::Instance().FailAt(std::nullopt);
    ASSERT_TRUE(test::waitFor([&] { return !window->Reconnecting(); }));
    EXPECT_TRUE(test::StatusText(*window).startsWith("Decompressed Video Running at 640x480 24bit (reconnected at "))
        << test::StatusText(*window).toStdString();
    BITMAPINFOHEADER header;
    ASSERT_TRUE(window->Video().GetFrameFormat(header));
    EXPECT_EQ(header.biWidth, 640);
    EXPECT_EQ(header.biHeight, 480);
    EXPECT_EQ(header.biBitCount, 24);
    EXPECT_TRUE(showsInput(*window, 2));
    EXPECT_EQ(test::InputList(*window)->currentIndex(), 2);
    EXPECT_EQ(window->InputListSelection(), 2);
    EXPECT_TRUE(window->WatchdogActive()) << "a second loss is noticed too";
    {
        TimedLock lock(settings.SettingsLock);
        EXPECT_EQ(settings.Device, 0);
        EXPECT_EQ(settings.InputPin, 2);
        EXPECT_EQ(settings.VideoFormat, "640x480 24 bit");
    }
    EXPECT_TRUE(test::waitFor([&] {
        const auto events = log.Events();
        return Count(events, "image settings") > Count(before, "image settings")
            && Count(events, "archive settings") > Count(before, "archive settings");
    }));
    EXPECT_TRUE(reporter.messages().empty());
}

TEST_F(ReconnectTest, AnInputChosenWhileLostIsTheOneRoutedOnReconnect)
{
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", 1);
    ASSERT_TRUE(showsInput(*window, 1));
    loseDevice(*window);

    test::InputList(*window)->setCurrentIndex(3);
    Q_EMIT test::InputList(*window)->activated(3);
    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return !window->Reconnecting(); }));
    EXPECT_TRUE(showsInput(*window, 3));
    EXPECT_EQ(window->InputListSelection(), 3);
}

TEST_F(ReconnectTest, TheSameNameIsFollowedToAnotherNumberAndADifferentDeviceIsLeftAlone)
{
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", -1);
    ASSERT_TRUE(window->IsRunning());
    loseDevice(*window);

    // Another camera now holds number 0; the lost one returns as number 1.
    backend->shifted = true;
    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return !window->Reconnecting(); }));
    EXPECT_EQ(backend->otherOpened, 0);
    EXPECT_EQ(window->Video().RunningDeviceName(), TestPatternBackend::kName);
    EXPECT_EQ(test::DeviceList(*window)->currentIndex(), 1);
    EXPECT_EQ(test::DeviceList(*window)->currentText(), TestPatternBackend::kName);
    EXPECT_EQ(test::FormatList(*window)->currentText(), "320x240 24 bit");
    TimedLock lock(settings.SettingsLock);
    EXPECT_EQ(settings.Device, 1);
}

// A camera late to appear at start-up: whatever device has its stored number
// now is never started in its place (that filled archives with another
// device's pictures while reporting "Running").
TEST_F(ReconnectTest, AStoredDeviceMissingAtStartUpIsWaitedForAndNeverReplaced)
{
    std::vector<uint32_t> layouts;
    auto owned = std::make_unique<MovingBackend>();
    backend = owned.get();
    CModelessDlg window(reporter, settings, [&](int, uint32_t size) { layouts.push_back(size); }, nullptr,
                        std::move(owned));
    window.SetWatchdogIntervalMs(kFastWatchdogMs);
    backend->shifted = true; // "Other Camera" is device 0
    TestPatternFaults::Instance().SetVanished(true);

    window.Initialize(0, "640x480 24 bit", 3, {TestPatternBackend::kName, "", ""});
    EXPECT_FALSE(window.IsRunning());
    EXPECT_TRUE(window.Reconnecting());
    EXPECT_TRUE(test::StatusText(window).startsWith("Video Device Lost at ")) << test::StatusText(window).toStdString();
    const int opens = backend->opens;
    ASSERT_TRUE(test::waitFor([&] { return window.WatchdogActive() && backend->opens == opens; }));
    EXPECT_EQ(backend->otherOpened, 0);

    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return window.IsRunning() && !window.Reconnecting(); }));
    EXPECT_EQ(backend->otherOpened, 0);
    EXPECT_EQ(window.Video().RunningDeviceName(), TestPatternBackend::kName);
    EXPECT_TRUE(showsInput(window, 3));
    EXPECT_EQ(layouts, (std::vector<uint32_t>{640u | 480u << 16}));
    EXPECT_TRUE(reporter.messages().empty());
    TimedLock lock(settings.SettingsLock);
    EXPECT_EQ(settings.Device, 1);
    EXPECT_EQ(settings.DeviceName, TestPatternBackend::kName);
}

// The loss and the return are told as events of every multiplexed camera.
TEST_F(ReconnectTest, WithMultiplexingTheReconnectLeavesTheInputsToTheImageThread)
{
    {
        TimedLock lock(settings.SettingsLock);
        settings.EnableMux = 1;
        settings.MuxerInputs = {1, 0, 1, 0, 0, 0, 0, 0};
    }
    struct Sink : IEventSink {
        bool Post(EventEdge edge) override
        {
            edges.push_back(std::string(EdgeName(edge.kind)) + " " + edge.camera);
            return true;
        }
        std::vector<std::string> edges;
    } sink;
    auto window = makeWindow();
    window->SetEventSink(&sink);
    window->Initialize(0, "320x240 24 bit", 2);
    ASSERT_TRUE(window->IsRunning());
    loseDevice(*window);
    EXPECT_EQ(sink.edges, (std::vector<std::string>{"camera-lost A", "camera-lost C"}));
    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return !window->Reconnecting(); }));
    EXPECT_EQ(sink.edges,
              (std::vector<std::string>{"camera-lost A", "camera-lost C", "camera-back A", "camera-back C"}));
    window->SetEventSink(nullptr);
    EXPECT_FALSE(test::InputList(*window)->isEnabled());
    EXPECT_TRUE(showsInput(*window, 0)) << "the new start routes input 0 until the image thread moves on";
    TimedLock lock(settings.SettingsLock);
    EXPECT_EQ(settings.EnableMux, 1);
}

// Each way of ending capture while the device is away ends the retries.
TEST_F(ReconnectTest, StoppingOrStartingAnewWhileLostEndsTheRetries)
{
    struct Case {
        const char* name;
        std::function<void(CModelessDlg&)> stop;
        const char* status;
        size_t messages;
    };
    const Case cases[] = {
        {"uninitialize", [](CModelessDlg& w) { w.UnInitialize(); }, "Video UnInitialized", 0},
        // The device is still away: the user's own start reports its failure.
        {"new initialize", [](CModelessDlg& w) { w.Initialize(0, "320x240 24 bit", -1); }, "Video UnInitialized", 1},
        // The exit path stops the capture object directly.
        {"capture stopped", [](CModelessDlg& w) { w.Video().StopCapture(); }, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPatternFaults::Instance().Reset();
        reporter.clear();
        auto window = makeWindow();
        window->Initialize(0, "320x240 24 bit", -1);
        ASSERT_TRUE(window->IsRunning());
        loseDevice(*window);

        c.stop(*window);
        EXPECT_TRUE(test::waitFor([&] { return !window->WatchdogActive(); }));
        EXPECT_FALSE(window->Reconnecting());
        EXPECT_FALSE(window->IsRunning());
        if (c.status) {
            EXPECT_EQ(test::StatusText(*window), c.status);
        }
        EXPECT_EQ(reporter.messages().size(), c.messages);

        // Back again: nothing opens it behind the user's back.
        const int opens = backend->opens;
        TestPatternFaults::Instance().SetVanished(false);
        QCoreApplication::processEvents();
        EXPECT_EQ(backend->opens, opens);
        EXPECT_FALSE(window->IsRunning());
    }
}

TEST_F(ReconnectTest, ARefusedFormatTextWhileLostKeepsTheWatchdogOnTheLostCapture)
{
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", -1);
    loseDevice(*window);
    window->Initialize(0, "bogus", -1);
    EXPECT_EQ(reporter.messages().size(), 1u);
    EXPECT_TRUE(window->WatchdogActive());
    ASSERT_TRUE(test::waitFor([&] { return window->Reconnecting(); }));
    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return !window->Reconnecting(); }));
    EXPECT_TRUE(test::StatusText(*window).startsWith("Decompressed Video Running at 320x240 24bit (reconnected at "));
}

// The background colour of the pane's latest image (bottom-left pixel, 24 bits) as 0x00RRGGBB.
uint32_t Background(const test::FakePane& pane)
{
    const std::vector<uint8_t> bytes = pane.imageBytes();
    return bytes.size() < 3 ? 0 : uint32_t(bytes[2]) << 16 | uint32_t(bytes[1]) << 8 | bytes[0];
}

TEST_F(ReconnectTest, TheImageThreadFillsThePaneAgainOnceTheDeviceIsBack)
{
    settings.SaveEvery = 40; // a frame every tick keeps the test short
    test::FakeDisplay display;
    auto window = makeWindow();
    CImageThread imageThread(display, *window, settings, registry);
    window->SetThreadIds(imageThread.threadId(), archive.threadId());
    archive.Resume();
    imageThread.Resume();

    window->Initialize(0, "320x240 24 bit", 2);
    test::FakePane& pane = display.panes[0];
    ASSERT_TRUE(test::waitFor([&] { return pane.images() > 0 && Background(pane) == kTestPatternBackgrounds[2]; }));

    loseDevice(*window);
    EXPECT_TRUE(imageThread.isRunning());
    const int seen = pane.images();
    TestPatternFaults::Instance().SetVanished(false);
    ASSERT_TRUE(test::waitFor([&] { return !window->Reconnecting(); }));
    EXPECT_TRUE(test::waitFor([&] { return pane.images() > seen + 5; }));
    EXPECT_EQ(Background(pane), kTestPatternBackgrounds[2]);
    EXPECT_TRUE(reporter.messages().empty());

    registry.StopAll(true);
    EXPECT_TRUE(imageThread.isFinished());
}

} // namespace
} // namespace vistrel
