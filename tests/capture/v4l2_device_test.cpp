// SPDX-License-Identifier: GPL-3.0-or-later
// The V4L2 backend on this machine's device nodes (where there are any) and
// on a folder of impostor nodes.
#include "capture/capture_backend.h"
#include "capture/v4l2_backend.h"

#include "support/temp_env.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <sys/eventfd.h>

#include <condition_variable>
#include <future>
#include <mutex>

namespace vistrel {
namespace {

TEST(V4l2BackendTest, NodesAreTakenInNumericOrderAndOnlyCaptureDevicesCount)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* name : {"video10", "video2", "video0", "video", "videofoo", "media0", "video1x"}) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not a device");
    }
    V4l2Backend backend(dir.path().toStdString());
    const auto nodes = backend.VideoNodes();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_TRUE(QString::fromStdString(nodes[0]).endsWith("/video0"));
    EXPECT_TRUE(QString::fromStdString(nodes[1]).endsWith("/video2"));
    EXPECT_TRUE(QString::fromStdString(nodes[2]).endsWith("/video10"));

    // Plain files answer no capability query, so none is a device.
    std::vector<DeviceEntry> devices;
    EXPECT_FALSE(backend.EnumerateDevices(devices));
    std::unique_ptr<ICaptureDevice> device;
    EXPECT_LT(backend.OpenDevice(0, device), 0);
    EXPECT_FALSE(device);
    std::vector<CaptureFormat> formats;
    EXPECT_FALSE(backend.DeviceFormats(0, formats));
}

TEST(V4l2BackendTest, MissingDeviceFolderHasNoDevices)
{
    V4l2Backend backend("/nonexistent-vistrel-device-folder");
    std::vector<DeviceEntry> devices;
    EXPECT_FALSE(backend.EnumerateDevices(devices));
    EXPECT_TRUE(backend.VideoNodes().empty());
}

// A capture card with three inputs whose VIDIOC_S_INPUT can hang in the
// driver until the test lets it go. Everything else answers at once.
class HangingInputDriver {
public:
    int Ioctl(unsigned long request, void* arg)
    {
        switch (request) {
        case VIDIOC_QUERYCAP:
            static_cast<v4l2_capability*>(arg)->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        case VIDIOC_ENUMINPUT:
            return static_cast<v4l2_input*>(arg)->index < 3 ? 0 : -EINVAL;
        case VIDIOC_G_INPUT:
            *static_cast<int*>(arg) = 0;
            return 0;
        case VIDIOC_S_INPUT: {
            std::unique_lock lock(mutex_);
            switches_.push_back(*static_cast<int*>(arg));
            changed_.notify_all();
            changed_.wait(lock, [&] { return !hanging_; });
            return 0;
        }
        case VIDIOC_G_FMT: // the format stays as it was (all zero) on every input
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
            return 0;
        default:
            return -ENOTTY;
        }
    }
    void Hang(bool hanging)
    {
        std::lock_guard lock(mutex_);
        hanging_ = hanging;
        changed_.notify_all();
    }
    std::vector<int> Switches()
    {
        std::lock_guard lock(mutex_);
        return switches_;
    }

private:
    std::mutex mutex_; // Protects switches_ and hanging_
    std::condition_variable changed_;
    std::vector<int> switches_; // every input the driver was asked for
    bool hanging_ = false;
};

// A switch stuck in the driver holds up no later route for good: each caller
// gets its answer within the route time-out, routes queued behind the stuck
// one never reach the driver, and once it comes back the device routes again.
TEST(V4l2DeviceTest, AStuckInputSwitchHoldsUpNoLaterRoute)
{
    HangingInputDriver driver;
    const int frames = eventfd(0, EFD_CLOEXEC); // stands for the node: never readable
    ASSERT_GE(frames, 0);
    const auto ioctl = [&](int, unsigned long request, void* arg) { return driver.Ioctl(request, arg); };
    std::unique_ptr<ICaptureDevice> device;
    ASSERT_EQ(V4l2Device::Adopt(frames, ioctl, device), 0);
    ASSERT_EQ(device->Start(), 0);

    using namespace std::chrono_literals;
    std::future<int> stuck, queued, behind;
    driver.Hang(true);
    // Lets the driver go however the test ends, before the routes and the
    // device wait for it.
    const auto release = std::unique_ptr<HangingInputDriver, void (*)(HangingInputDriver*)>(
        &driver, [](HangingInputDriver* hanging) { hanging->Hang(false); });

    stuck = std::async(std::launch::async, [&] { return device->Route(0, 1); });
    ASSERT_TRUE(test::waitFor([&] { return driver.Switches() == std::vector<int>{1}; }, 60s));
    queued = std::async(std::launch::async, [&] { return device->Route(0, 2); });
    behind = std::async(std::launch::async, [&] { return device->Route(0, 2); });
    for (std::future<int>* route : {&stuck, &queued, &behind}) {
        ASSERT_EQ(route->wait_for(60s), std::future_status::ready) << "a route still waits while the driver hangs";
        EXPECT_EQ(route->get(), -ETIMEDOUT);
    }
    EXPECT_EQ(device->Route(0, 0), -ETIMEDOUT); // while the driver still hangs

    driver.Hang(false);
    EXPECT_TRUE(test::waitFor([&] { return device->Route(0, 0) == 0; }, 60s));
    EXPECT_EQ(driver.Switches(), (std::vector<int>{1, 0})); // the given-up routes to 2 never ran
    device->Stop();
}

} // namespace
} // namespace vistrel
