// SPDX-License-Identifier: GPL-3.0-or-later
// Network cameras as the program's devices: read from the settings store as
// it is at each enumeration, numbered after the local devices, and found
// again by their identity. No network involved.
#include "capture/dxvideo.h"
#include "capture/network_camera_store.h"
#include "settings/registry_store.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDir>

#include <fstream>

namespace vistrel {
namespace {

class NullReporter : public IMessageReporter {
public:
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}
};

NetworkCamera Camera(std::string name, std::string url, std::string user = {}, std::string password = {},
                     int transport = 0)
{
    return NetworkCamera{std::move(name), std::move(url), std::move(user), std::move(password), transport};
}

std::vector<std::string> Names(CDXVideo& video)
{
    std::vector<std::string> names;
    DeviceEntry entry;
    for (int number = 0; video.DeviceEntryOf(number, entry); ++number)
        names.push_back(entry.name);
    return names;
}

class NetworkDevicesTest : public testing::Test {
protected:
    NetworkDevicesTest()
        : store(std::filesystem::path(env.registryDir().toStdString()))
    {
        oldNoV4l2_ = qgetenv("VISTREL_NO_V4L2");
        qputenv("VISTREL_NO_V4L2", "1");
    }
    ~NetworkDevicesTest() override { qputenv("VISTREL_NO_V4L2", oldNoV4l2_); }

    test::TempEnvironment env;
    RegistryStore store;
    NullReporter reporter;
    QByteArray oldNoV4l2_;
};

TEST_F(NetworkDevicesTest, TheStoreAsItIsNowGivesTheCamerasAfterTheLocalDevices)
{
    const NetworkCamera yard = Camera("Yard", "http://yard.local/video.mjpg", "admin", "s3cret:pw");
    const NetworkCamera door = Camera("Door", "rtsp://door.local/live", "", "", 1);
    ASSERT_EQ(SaveNetworkCamera(store, yard), 0);
    ASSERT_EQ(SaveNetworkCamera(store, door), 0);
    // A camera seeded by hand, with a number as a script would write it.
    const QString attic = env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/NetworkCameras/Attic";
    ASSERT_TRUE(QDir().mkpath(attic));
    std::ofstream((attic + "/values.reg").toStdString())
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Tallow Software\\Vistrel\\NetworkCameras\\Attic]\n"
           "\"Url\"=\"rtsp://attic.local/live\"\n\"Transport\"=dword:00000001\n";

    const NetworkCamera attic_ = Camera("Attic", "rtsp://attic.local/live", "", "", 1);
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{attic_, door, yard}));

    CDXVideo video(reporter);
    EXPECT_EQ(Names(video), (std::vector<std::string>{"Vistrel Test Pattern", "Attic", "Door", "Yard"}));
    DeviceEntry entry;
    ASSERT_TRUE(video.DeviceEntryOf(3, entry));
    EXPECT_EQ(entry.Identity(), (DeviceIdentity{"Yard", "", "http://yard.local/video.mjpg"}));
    EXPECT_EQ(entry.location, "http://***@yard.local/video.mjpg");
    EXPECT_TRUE(entry.Remote());
    EXPECT_TRUE(video.RemoteFormatQuery(3));
    EXPECT_FALSE(video.RemoteFormatQuery(0)) << "the test pattern answers at once";

    // Removed, renamed or added elsewhere: the next enumeration sees it, and
    // the local device keeps its number.
    ASSERT_EQ(RemoveNetworkCamera(store, "Attic"), 0);
    EXPECT_EQ(RemoveNetworkCamera(store, "Attic"), -ENOENT);
    NetworkCamera garden = yard;
    garden.name = "Garden";
    ASSERT_EQ(SaveNetworkCamera(store, garden, "Yard"), 0);
    NetworkCamera lowerDoor = door;
    lowerDoor.name = "door";
    ASSERT_EQ(SaveNetworkCamera(store, lowerDoor, "Door"), 0);
    EXPECT_EQ(Names(video), (std::vector<std::string>{"Vistrel Test Pattern", "door", "Garden"}));
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{lowerDoor, garden}));
}

TEST_F(NetworkDevicesTest, AStoredIdentityFindsItsCameraAndNeverAnotherDevice)
{
    // The same URL twice, and a camera named as the test pattern.
    ASSERT_EQ(SaveNetworkCamera(store, Camera("Door", "rtsp://door.local/live", "a", "b")), 0);
    ASSERT_EQ(SaveNetworkCamera(store, Camera("Door copy", "rtsp://c:d@door.local/live")), 0);
    ASSERT_EQ(SaveNetworkCamera(store, Camera("Vistrel Test Pattern", "http://pattern.local/")), 0);
    CDXVideo video(reporter);
    ASSERT_EQ(Names(video), (std::vector<std::string>{"Vistrel Test Pattern", "Door", "Door copy", "Vistrel Test Pattern"}));

    const DeviceIdentity copy{"Door copy", "", "rtsp://door.local/live"};
    EXPECT_EQ(video.FindDeviceByIdentity(copy, 1), 2) << "the stored name decides between two of one URL";
    EXPECT_EQ(video.FindDeviceByIdentity(copy, -1), 2);
    EXPECT_EQ(video.FindDeviceByIdentity({"Renamed", "", "rtsp://door.local/live"}, 2), 2) << "the URL is the camera";
    EXPECT_EQ(video.FindDeviceByIdentity({"Door", "", "rtsp://door.local/other"}, 1), -1);
    EXPECT_EQ(video.FindDeviceByIdentity({"Vistrel Test Pattern", "", ""}, 3), 0)
        << "an identity without a URL is never a network camera";

    // Numbers move when a camera before it goes; the identity follows it.
    ASSERT_EQ(RemoveNetworkCamera(store, "Door"), 0);
    EXPECT_EQ(video.FindDeviceByIdentity(copy, 2), 1);
}

} // namespace
} // namespace vistrel
