// SPDX-License-Identifier: GPL-3.0-or-later
// Network cameras in the Video Device Setup window, against real stream
// servers on loopback: choosing one never waits on the network, a lost one
// comes back by itself, a new picture size restarts capture in it.
#include "app/setup_window.h"

#include "capture/network_backend.h"
#include "capture/network_camera_store.h"
#include "capture/network_device.h"
#include "capture/test_pattern.h"
#include "settings/registry_store.h"
#include "support/recording_reporter.h"
#include "support/stream_server.h"
#include "support/temp_env.h"
#include "support/window_controls.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>

#include <mutex>

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using test::RecordingReporter;
using test::StreamServer;
using test::StatusText;
using test::waitFor;

constexpr int kFastWatchdogMs = 50;

// What the test sees of the network cameras the window opened.
struct Opened {
    std::mutex mutex; // Protects opens and grabIntervals: devices are told from any thread
    int opens = 0;
    std::vector<int> grabIntervals;

    int Opens()
    {
        std::lock_guard lock(mutex);
        return opens;
    }
    std::vector<int> GrabIntervals()
    {
        std::lock_guard lock(mutex);
        return grabIntervals;
    }
};

class RecordingDevice : public NetworkDevice {
public:
    RecordingDevice(NetworkCamera camera, std::shared_ptr<Opened> opened)
        : NetworkDevice(std::move(camera))
        , opened_(std::move(opened))
    {
    }
    void SetGrabIntervalMs(int intervalMs) override
    {
        {
            std::lock_guard lock(opened_->mutex);
            opened_->grabIntervals.push_back(intervalMs);
        }
        NetworkDevice::SetGrabIntervalMs(intervalMs);
    }

private:
    std::shared_ptr<Opened> opened_;
};

// The store's cameras, as the program lists them, counting every open.
class CountingNetworkBackend : public NetworkBackend {
public:
    CountingNetworkBackend(std::function<std::vector<NetworkCamera>()> source, std::shared_ptr<Opened> opened)
        : NetworkBackend(std::move(source))
        , opened_(std::move(opened))
    {
    }
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override
    {
        const int rc = NetworkBackend::OpenDevice(number, device);
        if (rc == 0) {
            std::lock_guard lock(opened_->mutex);
            ++opened_->opens;
            device = std::make_unique<RecordingDevice>(Cameras()[size_t(number)], opened_);
        }
        return rc;
    }

private:
    std::shared_ptr<Opened> opened_;
};

class NetworkWindowTest : public testing::Test {
protected:
    NetworkWindowTest()
        : store(std::filesystem::path(env.registryDir().toStdString()))
    {
        settings.InstanceNumber = 1;
    }

    std::unique_ptr<CModelessDlg> makeWindow()
    {
        std::vector<std::unique_ptr<ICaptureBackend>> backends;
        backends.push_back(std::make_unique<TestPatternBackend>());
        auto reader = std::make_shared<RegistryStore>(store.folder());
        backends.push_back(std::make_unique<CountingNetworkBackend>([reader] { return ReadNetworkCameras(*reader); }, opened));
        auto window = std::make_unique<CModelessDlg>(
            reporter, settings, [this](int, uint32_t frameSize) { relayouts.push_back(frameSize); }, nullptr,
            std::make_unique<CompositeBackend>(std::move(backends)));
        window->SetWatchdogIntervalMs(kFastWatchdogMs);
        return window;
    }

    std::string storedFormat()
    {
        TimedLock lock(settings.SettingsLock);
        return settings.VideoFormat;
    }

    test::TempEnvironment env;
    RegistryStore store;
    InstanceSettings settings;
    RecordingReporter reporter;
    std::shared_ptr<Opened> opened = std::make_shared<Opened>();
    std::vector<uint32_t> relayouts;
};

TEST_F(NetworkWindowTest, ChoosingACameraListsItsFormatsWithoutWaitingForIt)
{
    StreamServer mjpeg({"mjpeg", "--size", "320x240"});
    StreamServer stall({"stall"});
    ASSERT_TRUE(mjpeg.Start()) << mjpeg.Log();
    ASSERT_TRUE(stall.Start()) << stall.Log();
    ASSERT_EQ(SaveNetworkCamera(store, {"Door", mjpeg.Url("http"), "", "", 0}), 0);
    ASSERT_EQ(SaveNetworkCamera(store, {"Stalled", stall.Url("http"), "", "", 0}), 0);
    auto window = makeWindow();
    QComboBox& devices = *test::DeviceList(*window);
    QComboBox& formats = *test::FormatList(*window);
    ASSERT_EQ(devices.count(), 3);
    EXPECT_EQ(devices.itemText(2), "Stalled");

    // A camera that never answers: the choice returns at once, the list
    // waits empty, and choosing another camera leaves it behind.
    devices.setCurrentIndex(2);
    Q_EMIT devices.activated(2);
    EXPECT_TRUE(window->ProbingFormats());
    EXPECT_EQ(formats.count(), 0);
    EXPECT_FALSE(formats.isEnabled());
    devices.setCurrentIndex(1);
    Q_EMIT devices.activated(1);
    ASSERT_TRUE(waitFor([&] { return formats.isEnabled(); }, 20s));
    EXPECT_EQ(formats.count(), 1);
    EXPECT_EQ(formats.currentText(), "320x240 24 bit");

    // The test pattern is listed at once, as before.
    devices.setCurrentIndex(0);
    Q_EMIT devices.activated(0);
    EXPECT_FALSE(window->ProbingFormats());
    EXPECT_EQ(formats.currentText(), "320x240 24 bit");
    EXPECT_GT(formats.count(), 1);
}

TEST_F(NetworkWindowTest, ALostCameraComesBackByItselfAndANewSizeRestartsCapture)
{
    const std::string password = "Gate-Pa55";
    StreamServer server({"mjpeg", "--size", "320x240", "--user", "viewer", "--password", password});
    ASSERT_TRUE(server.Start()) << server.Log();
    ASSERT_EQ(SaveNetworkCamera(store, {"Door", server.Url("http"), "viewer", password, 0}), 0);
    auto window = makeWindow();
    window->SetGrabIntervalMs(700); // as the image thread does when it loads the settings
    window->Initialize(1, "320x240 24 bit", -1);
    ASSERT_TRUE(window->IsRunning());
    EXPECT_EQ(StatusText(*window), "Decompressed Video Running at 320x240 24bit");
    ASSERT_TRUE(waitFor([&] { return window->GrabFrame() != nullptr; }, 20s));
    EXPECT_EQ(opened->GrabIntervals(), std::vector<int>{700});
    window->SetGrabIntervalMs(1000);
    EXPECT_EQ(opened->GrabIntervals(), (std::vector<int>{700, 1000}));

    // Gone: shown lost as a webcam would be; back: running again, the same
    // device, never restarted.
    server.Kill();
    ASSERT_TRUE(waitFor([&] { return window->Reconnecting(); }, 20s));
    EXPECT_TRUE(StatusText(*window).startsWith("Video Device Lost at ")) << StatusText(*window).toStdString();
    EXPECT_TRUE(StatusText(*window).endsWith(", Reconnecting...")) << StatusText(*window).toStdString();
    EXPECT_EQ(window->GrabFrame(), nullptr);
    ASSERT_TRUE(server.Start()) << server.Log();
    ASSERT_TRUE(waitFor([&] { return !window->Reconnecting(); }, 60s)) << StatusText(*window).toStdString();
    EXPECT_TRUE(StatusText(*window).startsWith("Decompressed Video Running at 320x240 24bit (reconnected at "))
        << StatusText(*window).toStdString();
    EXPECT_EQ(opened->Opens(), 1);
    ASSERT_TRUE(waitFor([&] { return window->GrabFrame() != nullptr; }, 20s));

    // The camera comes back at another size: capture restarts in it as a
    // start from the window would, the panes laid out anew.
    const int port = server.port();
    server.Kill();
    StreamServer resized({"resize", "--stay", "--size", "320x240", "--size2", "160x120", "--frames", "5", "--user", "viewer",
                          "--password", password, "--port", std::to_string(port)});
    ASSERT_TRUE(resized.Start()) << resized.Log();
    relayouts.clear();
    ASSERT_TRUE(waitFor([&] { return storedFormat() == "160x120 24 bit"; }, 60s)) << StatusText(*window).toStdString();
    EXPECT_EQ(StatusText(*window), "Decompressed Video Running at 160x120 24bit");
    EXPECT_EQ(relayouts, std::vector<uint32_t>{160u | 120u << 16});
    EXPECT_EQ(test::FormatList(*window)->currentText(), "160x120 24 bit");
    EXPECT_EQ(opened->Opens(), 2);
    EXPECT_EQ(opened->GrabIntervals().back(), 1000) << "the new device is told the interval too";
    std::unique_ptr<Frame> frame;
    ASSERT_TRUE(waitFor([&] { return (frame = window->GrabFrame()) != nullptr; }, 20s));
    EXPECT_EQ(frame->width(), 160);

    // Nothing the window shows holds the password.
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        const QString shown = widget->windowTitle() + widget->property("text").toString()
            + widget->property("currentText").toString() + widget->toolTip();
        EXPECT_FALSE(shown.contains(QString::fromStdString(password))) << shown.toStdString();
    }
    EXPECT_TRUE(reporter.messages().empty()) << reporter.messages().front().text;
}

TEST_F(NetworkWindowTest, ServersThatSendGarbageOrStallAreShownLost)
{
    StreamServer garbage({"garbage"});
    StreamServer stall({"stall"});
    ASSERT_TRUE(garbage.Start()) << garbage.Log();
    ASSERT_TRUE(stall.Start()) << stall.Log();
    ASSERT_EQ(SaveNetworkCamera(store, {"Garbage", garbage.Url("http"), "", "", 0}), 0);
    ASSERT_EQ(SaveNetworkCamera(store, {"Stalled", stall.Url("http"), "", "", 0}), 0);
    for (int device : {1, 2}) {
        auto window = makeWindow();
        window->Initialize(device, "320x240 24 bit", -1);
        ASSERT_TRUE(window->IsRunning());
        ASSERT_TRUE(waitFor([&] { return window->Reconnecting(); }, 30s)) << device;
        EXPECT_TRUE(StatusText(*window).startsWith("Video Device Lost at ")) << StatusText(*window).toStdString();
        EXPECT_EQ(window->GrabFrame(), nullptr);
        window->UnInitialize();
        EXPECT_FALSE(window->IsRunning());
    }
    EXPECT_TRUE(reporter.messages().empty()) << reporter.messages().front().text;
}

} // namespace
} // namespace vistrel
