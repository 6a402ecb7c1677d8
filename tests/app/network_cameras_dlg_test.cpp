// SPDX-License-Identifier: GPL-3.0-or-later
// The "Network Cameras" dialog, driven as a user would, on the offscreen platform.
#include "app/network_cameras_dlg.h"

#include "app/setup_window.h"
#include "capture/network_camera_store.h"
#include "common/control_id.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"
#include "support/window_controls.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace vistrel {
namespace {

using test::RecordingReporter;

// The dialog's controls, by the ids of its template.
enum DialogControl {
    kCameraList = 1101,
    kNameEdit = 1102,
    kUrlEdit = 1103,
    kUserEdit = 1104,
    kPasswordEdit = 1105,
    kTransportList = 1106,
    kNewButton = 1107,
    kSaveButton = 1108,
    kRemoveButton = 1109,
    kCloseButton = 1110,
};
constexpr int kNetworkButton = 1008; // in the setup window

class NetworkCamerasDialog : public testing::Test {
protected:
    NetworkCamerasDialog()
        : store(std::filesystem::path(env.registryDir().toStdString()))
        , dialog(reporter, env.registryDir().toStdString(), nullptr)
    {
        dialog.show();
    }

    template <typename T>
    T* control(DialogControl id)
    {
        T* found = FindControl<T>(dialog, id);
        EXPECT_NE(found, nullptr) << id;
        return found;
    }
    void fill(const NetworkCamera& camera)
    {
        control<QLineEdit>(kNameEdit)->setText(QString::fromStdString(camera.name));
        control<QLineEdit>(kUrlEdit)->setText(QString::fromStdString(camera.url));
        control<QLineEdit>(kUserEdit)->setText(QString::fromStdString(camera.user));
        control<QLineEdit>(kPasswordEdit)->setText(QString::fromStdString(camera.password));
        control<QComboBox>(kTransportList)->setCurrentIndex(camera.transport);
    }
    void click(DialogControl button) { control<QPushButton>(button)->click(); }
    void choose(const char* name)
    {
        const auto items = control<QListWidget>(kCameraList)->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << name;
        control<QListWidget>(kCameraList)->setCurrentItem(items.front());
    }
    std::vector<std::string> listed()
    {
        std::vector<std::string> names;
        auto* list = control<QListWidget>(kCameraList);
        for (int row = 0; row < list->count(); ++row)
            names.push_back(list->item(row)->text().toStdString());
        return names;
    }
    // Every file of the store and its bytes.
    std::map<QString, QByteArray> storeFiles() const
    {
        std::map<QString, QByteArray> files;
        QDirIterator it(env.registryDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            file.open(QIODevice::ReadOnly);
            files[file.fileName()] = file.readAll();
        }
        return files;
    }

    test::TempEnvironment env;
    RegistryStore store;
    RecordingReporter reporter;
    CNetworkCamerasDlg dialog;
};

TEST_F(NetworkCamerasDialog, AddsChangesAndRemovesCameras)
{
    const NetworkCamera door{"Door", "rtsp://door.local:554/live", "viewer", "Pa55 w:rd@", 1};
    const NetworkCamera yard{"Yard", "http://yard.local/video.mjpg", "", "", 0};
    for (const NetworkCamera& camera : {door, yard}) {
        click(kNewButton);
        fill(camera);
        click(kSaveButton);
    }
    EXPECT_TRUE(reporter.messages().empty());
    EXPECT_TRUE(dialog.storeChanged());
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{door, yard}));
    EXPECT_EQ(listed(), (std::vector<std::string>{"Door", "Yard"}));

    // Chosen in the list, a camera shows what is stored, password included
    // (as dots), and saves back as changed.
    choose("Door");
    EXPECT_EQ(control<QLineEdit>(kPasswordEdit)->text().toStdString(), door.password);
    EXPECT_EQ(control<QLineEdit>(kPasswordEdit)->echoMode(), QLineEdit::Password);
    NetworkCamera front = door;
    front.name = "Front door";
    front.url = "  rtsps://door.local/live2\n"; // blanks around a pasted URL go
    fill(front);
    click(kSaveButton);
    front.url = "rtsps://door.local/live2";
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{front, yard}));

    // A new spelling of the same name is a rename, not a second camera.
    choose("Yard");
    NetworkCamera lower = yard;
    lower.name = "yard";
    fill(lower);
    click(kSaveButton);
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{front, lower}));

    choose("Front door");
    click(kRemoveButton);
    EXPECT_EQ(ReadNetworkCameras(store), std::vector<NetworkCamera>{lower});
    EXPECT_EQ(listed(), std::vector<std::string>{"yard"});
    EXPECT_TRUE(reporter.messages().empty());
}

TEST_F(NetworkCamerasDialog, RefusesWhatCannotBeUsedAndCommitsNothing)
{
    click(kNewButton);
    fill({"Door", "rtsp://door.local/live", "", "", 0});
    click(kSaveButton);
    click(kNewButton);
    fill({"Yard", "http://yard.local/", "", "", 0});
    click(kSaveButton);
    ASSERT_TRUE(reporter.messages().empty());
    const auto before = storeFiles();

    const std::string longUrl = "rtsp://host/" + std::string(kMaxNetworkUrlLength - 12 + 1, 'a');
    const struct {
        const char* editing; // the camera chosen first; nullptr for a new one
        NetworkCamera fields;
        std::string message;
    } cases[] = {
        {nullptr, {"", "rtsp://x/", "", "", 0}, "The camera needs a name."},
        {nullptr, {"a/b", "rtsp://x/", "", "", 0}, "A camera name may not begin with a dot"},
        {nullptr, {"a\\b", "rtsp://x/", "", "", 0}, "A camera name may not begin with a dot"},
        {nullptr, {"x..y", "rtsp://x/", "", "", 0}, "A camera name may not begin with a dot"},
        {nullptr, {".door", "rtsp://x/", "", "", 0}, "A camera name may not begin with a dot"},
        {nullptr, {"Long", longUrl, "", "", 0}, "The URL may be at most 2048 characters long."},
        {nullptr, {"Ftp", "ftp://x/", "", "", 0}, "The URL must begin with rtsp://"},
        {nullptr, {"Blank", "rtsp://x/a b", "", "", 0}, "The URL may not contain blanks"},
        {nullptr, {"DOOR", "rtsp://other/", "", "", 0}, "Another camera is named \"Door\" already."},
        {"Yard", {"door", "http://yard.local/", "", "", 0}, "Another camera is named \"Door\" already."},
    };
    for (const auto& c : cases) {
        reporter.clear();
        if (c.editing)
            choose(c.editing);
        else
            click(kNewButton);
        fill(c.fields);
        click(kSaveButton);
        const auto messages = reporter.messages();
        ASSERT_EQ(messages.size(), 1u) << c.fields.name;
        EXPECT_EQ(messages[0].text.rfind(c.message, 0), 0u) << messages[0].text;
        EXPECT_EQ(messages[0].caption, "Invalid Value");
        EXPECT_EQ(messages[0].icon, MessageIcon::Exclamation);
        // The dialog keeps what was typed, to be put right.
        EXPECT_EQ(control<QLineEdit>(kNameEdit)->text().toStdString(), c.fields.name);
    }
    EXPECT_TRUE(storeFiles() == before) << "a refused camera changed the store";

    // The longest URL is accepted.
    reporter.clear();
    click(kNewButton);
    fill({"Long", longUrl.substr(0, kMaxNetworkUrlLength), "", "", 0});
    click(kSaveButton);
    EXPECT_TRUE(reporter.messages().empty());
    const std::vector<NetworkCamera> cameras = ReadNetworkCameras(store);
    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[1].name, "Long");
    EXPECT_EQ(cameras[1].url.size(), kMaxNetworkUrlLength);
}

// The setup window's button opens the dialog; what it changed is in the
// device list once it closes, the running device still chosen.
TEST(NetworkCamerasButton, OpensTheDialogAndTheDeviceListFollowsIt)
{
    test::TempEnvironment env;
    qputenv("VISTREL_NO_V4L2", "1");
    RecordingReporter reporter;
    InstanceSettings settings;
    CModelessDlg window(reporter, settings, nullptr, nullptr);
    window.show();
    window.Initialize(0, "320x240 24 bit", -1);
    ASSERT_TRUE(window.IsRunning());

    const auto edit = [&](const std::function<void(CNetworkCamerasDlg&)>& change) {
        FindControl<QPushButton>(window, kNetworkButton)->click();
        CNetworkCamerasDlg* dialog = window.networkCamerasDialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->isVisible());
        change(*dialog);
        FindControl<QPushButton>(*dialog, kCloseButton)->click();
        ASSERT_TRUE(test::waitFor([&] { return window.networkCamerasDialog() == nullptr; }));
    };
    const auto devices = [&] {
        QStringList names;
        for (int i = 0; i < test::DeviceList(window)->count(); ++i)
            names << test::DeviceList(window)->itemText(i);
        return names;
    };
    edit([](CNetworkCamerasDlg& dialog) {
        dialog.OnNew();
        FindControl<QLineEdit>(dialog, kNameEdit)->setText("Door");
        FindControl<QLineEdit>(dialog, kUrlEdit)->setText("rtsp://door.local/live");
        dialog.OnSave();
    });
    EXPECT_EQ(devices(), (QStringList{"Vistrel Test Pattern", "Door"}));
    EXPECT_EQ(test::DeviceList(window)->currentIndex(), 0);
    EXPECT_TRUE(window.IsRunning());
    edit([](CNetworkCamerasDlg& dialog) {
        FindControl<QListWidget>(dialog, kCameraList)->setCurrentRow(0);
        dialog.OnRemove();
    });
    EXPECT_EQ(devices(), QStringList{"Vistrel Test Pattern"});
    EXPECT_TRUE(reporter.messages().empty());
    window.UnInitialize();
}

} // namespace
} // namespace vistrel
