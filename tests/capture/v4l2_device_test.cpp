// The V4L2 backend on this machine's device nodes (where there are any) and
// on a folder of impostor nodes.
#include "capture/capture_backend.h"
#include "capture/v4l2_backend.h"

#include "support/temp_env.h"

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

} // namespace
} // namespace vistrel
