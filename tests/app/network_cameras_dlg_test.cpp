// The "Network Cameras" dialog, driven as a user would, on the offscreen platform.
#include "app/network_cameras_dlg.h"

#include "app/setup_window.h"
#include "capture/network_camera_store.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace vistrel {
namespace {

class RecordingReporter : public IMessageReporter {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override
    {
        messages.push_back({text, caption, icon});
    }
    struct Message {
        std::string text, caption;
        MessageIcon icon;
    };
    std::vector<Message> messages;
};

class NetworkCamerasDialog : public testing::Test {
protected:
    NetworkCamerasDialog()
        : store(std::filesystem::path(env.registryDir().toStdString()))
        , dialog(reporter, env.registryDir().toStdString(), nullptr)
    {
        dialog.show();
    }

    template <typename T>
    T* control(const char* name)
    {
        T* found = dialog.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void fill(const NetworkCamera& camera)
    {
        control<QLineEdit>("nameEdit")->setText(QString::fromStdString(camera.name));
        control<QLineEdit>("urlEdit")->setText(QString::fromStdString(camera.url));
        control<QLineEdit>("userEdit")->setText(QString::fromStdString(camera.user));
        control<QLineEdit>("passwordEdit")->setText(QString::fromStdString(camera.password));
        control<QComboBox>("transportList")->setCurrentIndex(camera.transport);
    }
    void click(const char* button) { control<QPushButton>(button)->click(); }
    void choose(const char* name)
    {
        const auto items = control<QListWidget>("cameraList")->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << name;
        control<QListWidget>("cameraList")->setCurrentItem(items.front());
    }
    std::vector<std::string> listed()
    {
        std::vector<std::string> names;
        auto* list = control<QListWidget>("cameraList");
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
        click("newButton");
        fill(camera);
        click("saveButton");
    }
    EXPECT_TRUE(reporter.messages.empty());
    EXPECT_TRUE(dialog.storeChanged());
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{door, yard}));
    EXPECT_EQ(listed(), (std::vector<std::string>{"Door", "Yard"}));

    // Chosen in the list, a camera shows what is stored, password included
    // (as dots), and saves back as changed.
    choose("Door");
    EXPECT_EQ(control<QLineEdit>("passwordEdit")->text().toStdString(), door.password);
    EXPECT_EQ(control<QLineEdit>("passwordEdit")->echoMode(), QLineEdit::Password);
    NetworkCamera front = door;
    front.name = "Front door";
    front.url = "  rtsps://door.local/live2\n"; // blanks around a pasted URL go
    fill(front);
    click("saveButton");
    front.url = "rtsps://door.local/live2";
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{front, yard}));

    // A new spelling of the same name is a rename, not a second camera.
    choose("Yard");
    NetworkCamera lower = yard;
    lower.name = "yard";
    fill(lower);
    click("saveButton");
    EXPECT_EQ(ReadNetworkCameras(store), (std::vector<NetworkCamera>{front, lower}));

    choose("Front door");
    click("removeButton");
    EXPECT_EQ(ReadNetworkCameras(store), std::vector<NetworkCamera>{lower});
    EXPECT_EQ(listed(), std::vector<std::string>{"yard"});
    EXPECT_TRUE(reporter.messages.empty());
}

TEST_F(NetworkCamerasDialog, RefusesWhatCannotBeUsedAndCommitsNothing)
{
    click("newButton");
    fill({"Door", "rtsp://door.local/live", "", "", 0});
    click("saveButton");
    click("newButton");
    fill({"Yard", "http://yard.local/", "", "", 0});
    click("saveButton");
    ASSERT_TRUE(reporter.messages.empty());
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
        reporter.messages.clear();
        if (c.editing)
            choose(c.editing);
        else
            click("newButton");
        fill(c.fields);
        click("saveButton");
        ASSERT_EQ(reporter.messages.size(), 1u) << c.fields.name;
        EXPECT_EQ(reporter.messages[0].text.rfind(c.message, 0), 0u) << reporter.messages[0].text;
        EXPECT_EQ(reporter.messages[0].caption, "Invalid Value");
        EXPECT_EQ(reporter.messages[0].icon, MessageIcon::Exclamation);
        // The dialog keeps what was typed, to be put right.
        EXPECT_EQ(control<QLineEdit>("nameEdit")->text().toStdString(), c.fields.name);
    }
    EXPECT_TRUE(storeFiles() == before) << "a refused camera changed the store";

    // The longest URL is accepted.
    reporter.messages.clear();
    click("newButton");
    fill({"Long", longUrl.substr(0, kMaxNetworkUrlLength), "", "", 0});
    click("saveButton");
    EXPECT_TRUE(reporter.messages.empty());
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
        window.findChild<QPushButton*>("networkButton")->click();
        CNetworkCamerasDlg* dialog = window.networkCamerasDialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->isVisible());
        change(*dialog);
        dialog->findChild<QPushButton*>("closeButton")->click();
        ASSERT_TRUE(test::waitFor([&] { return window.networkCamerasDialog() == nullptr; }));
    };
    const auto devices = [&] {
        QStringList names;
        for (int i = 0; i < window.deviceList()->count(); ++i)
            names << window.deviceList()->itemText(i);
        return names;
    };
    edit([](CNetworkCamerasDlg& dialog) {
        dialog.OnNew();
        dialog.findChild<QLineEdit*>("nameEdit")->setText("Door");
        dialog.findChild<QLineEdit*>("urlEdit")->setText("rtsp://door.local/live");
        dialog.OnSave();
    });
    EXPECT_EQ(devices(), (QStringList{"Vistrel Test Pattern", "Door"}));
    EXPECT_EQ(window.deviceList()->currentIndex(), 0);
    EXPECT_TRUE(window.IsRunning());
    edit([](CNetworkCamerasDlg& dialog) {
        dialog.findChild<QListWidget*>("cameraList")->setCurrentRow(0);
        dialog.OnRemove();
    });
    EXPECT_EQ(devices(), QStringList{"Vistrel Test Pattern"});
    EXPECT_TRUE(reporter.messages.empty());
    window.UnInitialize();
}

} // namespace
} // namespace vistrel
