// SPDX-License-Identifier: GPL-3.0-or-later
// The store's keys as a whole: which hold secrets and how their files are
// made, and listing and removing keys.
#include "settings/registry_store.h"

#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>

#include <sys/stat.h>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr auto HKLM = RegistryRoot::HKEY_LOCAL_MACHINE;
const std::string kVistrel = "Software\\Tallow Software\\Vistrel\\";

RegValue Text(std::string_view text)
{
    RegValue value{REG_SZ, std::vector<uint8_t>(text.begin(), text.end())};
    value.data.push_back(0);
    return value;
}

mode_t ModeOf(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A fresh, empty store for each test.
class RegistryStoreTest : public testing::Test {
protected:
    fs::path root() const { return fs::path(dir_.path().toStdString()) / "HKEY_LOCAL_MACHINE"; }
    fs::path folderOf(const std::string& keyPath) const
    {
        std::string relative = keyPath;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        return root() / relative;
    }
    void writeKey(RegistryStore& store, const std::string& keyPath, std::string_view value = "x")
    {
        ASSERT_EQ(store.createKey(HKLM, keyPath), RegStatus::Ok) << keyPath;
        ASSERT_EQ(store.writeValue(HKLM, keyPath, "Value", Text(value)), RegStatus::Ok) << keyPath;
    }

    QTemporaryDir dir_;
};

TEST(SecretKeys, AreTheCameraPasswordsAndTheEventAndWebSettings)
{
    const struct {
        std::string path;
        bool secret;
    } cases[] = {
        {kVistrel + "NetworkCameras\\Door", true},
        {"software\\tallow software\\VISTREL\\networkcameras\\Door", true},
        {kVistrel + "NetworkCameras\\Door\\Below", true},
        {kVistrel + "Camera1\\Events", true},
        {kVistrel + "Camera12\\web", true},
        {kVistrel + "NetworkCameras", false},
        {kVistrel + "Camera1\\Settings", false},
        {kVistrel + "Camera1\\MuxedCamA", false},
        {kVistrel + "Camera\\Events", false},
        {kVistrel + "CameraX\\Events", false},
        {"Software\\Other Vendor\\Vistrel\\NetworkCameras\\Door", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HoldsSecrets(c.path), c.secret) << c.path;
}

TEST_F(RegistryStoreTest, SecretKeysAreKeptFromOtherUsersWhateverTheUmask)
{
    const mode_t oldMask = ::umask(0);
    RegistryStore store(fs::path(dir_.path().toStdString()));
    const std::string door = kVistrel + "NetworkCameras\\Door";
    writeKey(store, door, "secret");
    writeKey(store, kVistrel + "Camera3\\Events");
    writeKey(store, kVistrel + "Camera3\\Web");
    writeKey(store, kVistrel + "Camera3\\Settings");
    // A key made by hand before, open to everyone, is closed at its next write.
    const std::string yard = kVistrel + "NetworkCameras\\Yard";
    fs::create_directories(folderOf(yard));
    ::chmod(folderOf(yard).c_str(), 0755);
    std::ofstream(folderOf(yard) / "values.reg") << "REGEDIT4\n\n[K]\n\"Url\"=\"rtsp://yard/\"\n";
    ::chmod((folderOf(yard) / "values.reg").c_str(), 0644);
    ASSERT_EQ(store.writeValue(HKLM, yard, "Password", Text("pw")), RegStatus::Ok);
    ::umask(oldMask);

    for (const std::string& key : {door, yard, kVistrel + "Camera3\\Events", kVistrel + "Camera3\\Web"}) {
        EXPECT_EQ(ModeOf(folderOf(key)), 0700u) << key;
        EXPECT_EQ(ModeOf(folderOf(key) / "values.reg"), 0600u) << key;
    }
    // Everything else keeps the modes the umask gives.
    EXPECT_EQ(ModeOf(folderOf(kVistrel + "NetworkCameras")), 0777u);
    EXPECT_EQ(ModeOf(folderOf(kVistrel + "Camera3\\Settings")), 0777u);
    EXPECT_EQ(ModeOf(folderOf(kVistrel + "Camera3\\Settings") / "values.reg"), 0666u);
    RegValue value;
    ASSERT_EQ(store.readValue(HKLM, yard, "Url", value), RegStatus::Ok);
    EXPECT_EQ(value, Text("rtsp://yard/"));
}

TEST_F(RegistryStoreTest, SubkeysAreListedInNameOrderAndRemovedWhole)
{
    RegistryStore store(fs::path(dir_.path().toStdString()));
    const std::string cameras = kVistrel + "NetworkCameras";
    for (const char* name : {"Yard", "door", "Attic"})
        writeKey(store, cameras + "\\" + name, name);
    // Neither a file nor a folder of the store's own is a key.
    std::ofstream(folderOf(cameras) / "stray.txt") << "x";
    fs::create_directories(folderOf(cameras) / ".values.reg.1.tmp");

    std::vector<std::string> names;
    ASSERT_EQ(store.listSubkeys(HKLM, cameras, names), RegStatus::Ok);
    EXPECT_EQ(names, (std::vector<std::string>{"Attic", "door", "Yard"}));
    EXPECT_EQ(store.listSubkeys(HKLM, kVistrel + "Nothing", names), RegStatus::FileNotFound);
    EXPECT_TRUE(names.empty());

    // Another process's store has read the key before it goes.
    RegistryStore other(fs::path(dir_.path().toStdString()));
    RegValue value;
    ASSERT_EQ(other.readValue(HKLM, cameras + "\\Door", "Value", value), RegStatus::Ok);

    EXPECT_EQ(store.deleteKey(HKLM, cameras + "\\DOOR"), RegStatus::Ok);
    EXPECT_FALSE(fs::exists(folderOf(cameras + "\\door")));
    EXPECT_EQ(other.readValue(HKLM, cameras + "\\Door", "Value", value), RegStatus::FileNotFound);
    EXPECT_EQ(store.readValue(HKLM, cameras + "\\door", "Value", value), RegStatus::FileNotFound);
    EXPECT_EQ(store.deleteKey(HKLM, cameras + "\\door"), RegStatus::FileNotFound);
    ASSERT_EQ(store.listSubkeys(HKLM, cameras, names), RegStatus::Ok);
    EXPECT_EQ(names, (std::vector<std::string>{"Attic", "Yard"}));
    // Nothing of it is left behind, not even out of sight.
    for (const auto& entry : fs::directory_iterator(folderOf(cameras)))
        EXPECT_EQ(entry.path().filename().string().find("door"), std::string::npos) << entry.path();

    // A key with subkeys, and a root, stay.
    EXPECT_EQ(store.deleteKey(HKLM, cameras), RegStatus::AccessDenied);
    EXPECT_EQ(store.deleteKey(HKLM, ""), RegStatus::InvalidParameter);
    ASSERT_EQ(store.listSubkeys(HKLM, cameras, names), RegStatus::Ok);
    EXPECT_EQ(names.size(), 2u);
    ASSERT_EQ(store.readValue(HKLM, cameras + "\\Yard", "Value", value), RegStatus::Ok);
    EXPECT_EQ(value, Text("Yard"));
}

using RegistryStorePermissions = test::Unprivileged<RegistryStoreTest>;

TEST_F(RegistryStorePermissions, AKeyThatCannotBeRemovedStaysWhole)
{
    RegistryStore store(fs::path(dir_.path().toStdString()));
    const std::string cameras = kVistrel + "NetworkCameras";
    writeKey(store, cameras + "\\Door", "kept");
    ASSERT_EQ(::chmod(folderOf(cameras).c_str(), 0500), 0);
    EXPECT_EQ(store.deleteKey(HKLM, cameras + "\\Door"), RegStatus::AccessDenied);
    ::chmod(folderOf(cameras).c_str(), 0700);

    std::vector<std::string> names;
    ASSERT_EQ(store.listSubkeys(HKLM, cameras, names), RegStatus::Ok);
    EXPECT_EQ(names, std::vector<std::string>{"Door"});
    RegValue value;
    ASSERT_EQ(store.readValue(HKLM, cameras + "\\Door", "Value", value), RegStatus::Ok);
    EXPECT_EQ(value, Text("kept"));
}

} // namespace
} // namespace vistrel
