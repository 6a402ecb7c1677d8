// The V4L2 backend on this machine's device nodes (where there are any) and
// on a folder of impostor nodes.
#include "capture/capture_backend.h"
#include "capture/dxvideo.h"
#include "capture/v4l2_backend.h"

#include "fake_backend.h"
#include "support/temp_env.h"

#include <QComboBox>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

// Runs where a capture device is known to exist (the kernel's virtual video
// driver in the real-driver run); the host's run leaves *RealDevice suites out.
TEST(V4l2RealDevice, StreamsFrames)
{
    V4l2Backend probe;
    std::vector<DeviceEntry> devices;
    ASSERT_TRUE(probe.EnumerateDevices(devices)) << "no V4L2 video capture device (/dev/video*)";

    std::vector<std::unique_ptr<ICaptureBackend>> backends;
    backends.push_back(std::make_unique<V4l2Backend>());
    test::RecordingReporter reporter;
    CDXVideo video(reporter, std::make_unique<CompositeBackend>(std::move(backends)));
    QComboBox list, formats;
    ASSERT_GT(video.ListDevices(&list), 0);
    ASSERT_GT(video.ListFormats(0, &formats), 0) << devices[0].name << " offers no listed format";
    const std::string format = formats.currentText().toStdString();
    const int rc = video.StartCapture(0, nullptr, format);
    if (rc != 0) {
        const auto messages = reporter.messages();
        ASSERT_FALSE(messages.empty());
        FAIL() << messages[0].text << " (" << rc << ") for " << format;
    }
    BITMAPINFOHEADER header;
    ASSERT_TRUE(video.GetFrameFormat(header));
    std::unique_ptr<Frame> frame;
    EXPECT_TRUE(test::waitFor([&] { return (frame = video.GrabFrame()) != nullptr; }, std::chrono::seconds(15)))
        << "no frame from " << devices[0].name << " at " << format;
    if (frame) {
        EXPECT_EQ(frame->width(), header.biWidth);
        EXPECT_EQ(frame->height(), header.biHeight);
        EXPECT_EQ(frame->size(), size_t(header.biSizeImage));
    }
    video.StopCapture();
    EXPECT_FALSE(video.IsRunning());
}

} // namespace
} // namespace vistrel
