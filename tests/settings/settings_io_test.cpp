// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/settings_io.h"

#include "support/temp_env.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <tuple>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

const char* const kCameraValueNames[] = {
    "LastArchiveSize", "MuxerInputs", "Rotation", "HorzFlip", "VertFlip", "HORZ", "VERT", "OverlayText",
    "TextColor", "BackgroundColor", "EnableOverlay", "OverlayEffect", "OverlayFont", "EnableStaticSave",
    "EnableStaticMotion", "EnableArchving", "EnableArchiveMotion", "StaticPathFile", "ArchivePath", "JpegQuality",
    "Days", "Hours", "Minutes", "TriggerLevel", "SaveCount", "MaxArchiveMB",
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The quoted names of a values.reg, in file order.
std::vector<std::string> ValueNames(const std::string& text)
{
    std::vector<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '"')
            names.push_back(line.substr(1, line.find('"', 1) - 1));
    return names;
}

// Holds a lock on another thread until released, so this thread's timed
// wait for it runs out.
class LockHolder {
public:
    explicit LockHolder(TimedMutex& mutex)
        : thread_([this, &mutex] {
            std::lock_guard guard(mutex);
            held_.set_value();
            release_.get_future().wait();
        })
    {
        held_.get_future().wait();
    }
    ~LockHolder()
    {
        release_.set_value();
        thread_.join();
    }

private:
    std::promise<void> held_;
    std::promise<void> release_;
    std::thread thread_;
};

// A private store and home folder; settings objects of its own, never the
// process-wide one.
class SettingsIoTest : public testing::Test {
protected:
    fs::path store() const { return env_.registryDir().toStdString(); }
    std::string home() const { return env_.homeDir().toStdString(); }
    fs::path instanceFolder(int instance = 1) const
    {
        return store() / "HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel" / ("Camera" + std::to_string(instance));
    }
    fs::path processFile(int instance = 1) const { return instanceFolder(instance) / "Settings/values.reg"; }
    fs::path cameraFile(char letter, int instance = 1) const
    {
        return instanceFolder(instance) / (std::string("MuxedCam") + letter) / "values.reg";
    }
    // Loads into s through a new key, as a fresh start of the program would.
    bool load(InstanceSettings& s, int32_t& camView)
    {
        CRegistryKey key;
        return LoadInstanceSettings(s, key, camView);
    }
    SaveStatus save(InstanceSettings& s, int32_t camView = 1, std::optional<bool> videoOn = std::nullopt)
    {
        CRegistryKey key;
        return SaveInstanceSettings(s, key, camView, videoOn);
    }

    test::TempEnvironment env_;
};

TEST_F(SettingsIoTest, FirstStartCreatesEveryKeyAndFillsThePathDefaults)
{
    InstanceSettings s;
    int32_t camView = 1;
    EXPECT_FALSE(load(s, camView));

    EXPECT_TRUE(fs::is_directory(instanceFolder() / "Settings"));
    for (char letter = 'A'; letter <= 'H'; ++letter)
        EXPECT_TRUE(fs::is_directory(instanceFolder() / (std::string("MuxedCam") + letter))) << letter;
    EXPECT_FALSE(fs::exists(processFile())); // loading writes no values

    EXPECT_EQ(s.StaticPathFile[1], home() + "/Cameras/Cam1B.jpg");
    EXPECT_EQ(s.ArchivePath[1], home() + "/Cameras/Camera1B/");
    EXPECT_EQ(s.StaticPathFile[7], home() + "/Cameras/Cam1H.jpg");
    EXPECT_EQ(camView, 1);
    EXPECT_EQ(s.VideoFormat, "320x240 24 bit");
    EXPECT_EQ(s.MuxerSpeed, 250);
    EXPECT_EQ(s.TriggerLevel[3], 10);
    EXPECT_EQ(s.OverlayFont[0], DefaultOverlayFont());

    // Another instance number has keys and paths of its own, and the home
    // folder is the one set when the settings load.
    InstanceSettings other;
    other.InstanceNumber = 12;
    qputenv("HOME", (home() + "/elsewhere/").c_str());
    load(other, camView);
    EXPECT_EQ(other.StaticPathFile[2], home() + "/elsewhere/Cameras/Cam12C.jpg");
    EXPECT_EQ(other.ArchivePath[2], home() + "/elsewhere/Cameras/Camera12C/");
    EXPECT_TRUE(fs::is_directory(instanceFolder(12) / "MuxedCamH"));
}

TEST_F(SettingsIoTest, SavedKeysHoldEveryValueInOrderWithItsTypeAndBytes)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    save(s, 4, true);

    EXPECT_EQ(ReadFile(processFile()),
              "REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Tallow Software\\Vistrel\\Camera1\\Settings]\n"
              "\"CamView\"=hex:04,00,00,00\n"
              "\"Device\"=hex:00,00,00,00\n"
              "\"InputPin\"=hex:00,00,00,00\n"
              "\"VideoFormat\"=\"320x240 24 bit\"\n"
              "\"VideoOn\"=hex:01,00,00,00\n"
              "\"MuxerSpeed\"=hex:fa,00,00,00\n"
              "\"EnableMux\"=hex:00,00,00,00\n"
              "\"SaveEvery\"=hex:e8,03,00,00\n"
              "\"DeviceName\"=\"\"\n"
              "\"DeviceBusInfo\"=\"\"\n"
              "\"DeviceLink\"=\"\"\n"
              "\"VideoStandard\"=\"Auto\"\n"
              "\"KeepFreeMB\"=hex:ff,ff,ff,ff\n");

    for (char letter = 'A'; letter <= 'H'; ++letter) {
        const std::string text = ReadFile(cameraFile(letter));
        EXPECT_EQ(ValueNames(text), std::vector<std::string>(std::begin(kCameraValueNames), std::end(kCameraValueNames)));
        EXPECT_NE(text.find("\n\"TriggerLevel\"=hex:0a,00,00,00\n"), std::string::npos);
        EXPECT_NE(text.find("\n\"BackgroundColor\"=hex:ff,ff,ff,00\n"), std::string::npos);
        EXPECT_NE(text.find("\n\"Rotation\"=\"0\"\n"), std::string::npos);
    }
    CRegistryKey key;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.SetKey(CameraKeyPath(1, 1), false));
    EXPECT_EQ(key.ValueType("TriggerLevel"), REG_BINARY);
    EXPECT_EQ(key.ValueType("StaticPathFile"), REG_SZ);
    EXPECT_EQ(key.ValueType("OverlayFont"), REG_BINARY);
    EXPECT_EQ(key.ReadString("StaticPathFile", ""), home() + "/Cameras/Cam1B.jpg");
    RegValue font;
    ASSERT_EQ(key.Store().readValue(RegistryRoot::HKEY_LOCAL_MACHINE, CameraKeyPath(1, 1), "OverlayFont", font),
              RegStatus::Ok);
    EXPECT_EQ(font.data.size(), 60u);
}

TEST_F(SettingsIoTest, EverySettingSurvivesASaveAndALoad)
{
    InstanceSettings s;
    s.InstanceNumber = 3;
    s.EnableMux = 1;
    s.MuxerSpeed = 15000;
    s.Device = 2;
    s.InputPin = 1;
    s.VideoFormat = "640x480 16 bit";
    s.SaveEvery = 40;
    s.DeviceName = "USB Video: USB Video";
    s.DeviceBusInfo = "usb-0000:00:14.0-2";
    s.DeviceLink = "/dev/v4l/by-id/usb-Grabber_123-video-index0";
    s.VideoStandard = "PAL";
    s.KeepFreeMB = 2048;
    for (int c = 0; c < kCameraCount; ++c) {
        s.MaxArchiveMB[c] = 100u * uint32_t(c);
        s.MuxerInputs[c] = c % 2;
        s.Rotation[c] = std::to_string(90 * (c % 4));
        s.HorzFlip[c] = 1;
        s.VertFlip[c] = c % 2;
        s.HORZ[c] = "LEFT";
        s.VERT[c] = "BOTTOM";
        s.OverlayText[c] = "Cam \"" + std::to_string(c) + "\" %t\\%d";
        s.TextColor[c] = 0x00ABCDEF + c;
        s.BackgroundColor[c] = 0xFFFFFFFFu - c; // the top byte survives too
        s.EnableOverlay[c] = 1;
        s.OverlayEffect[c] = 3;
        s.OverlayFont[c].lfHeight = -20 - c;
        s.OverlayFont[c].lfUnderline = 1;
        s.EnableStaticSave[c] = 1;
        s.EnableStaticMotion[c] = 1;
        s.EnableArchving[c] = 1;
        s.EnableArchiveMotion[c] = 1;
        s.StaticPathFile[c] = "/srv/cams/static" + std::to_string(c) + ".jpg";
        s.ArchivePath[c] = "/srv/cams/archive" + std::to_string(c);
        s.JpegQuality[c] = 100 - c;
        s.Days[c] = c;
        s.Hours[c] = 23;
        s.Minutes[c] = 61 + c; // loading checks no ranges (a negative retention part aside)
        s.TriggerLevel[c] = 255;
        s.SaveCount[c] = 1000;
        s.ArchiveCount[c] = 500 + c;
    }
    save(s, 8, false);

    InstanceSettings r;
    r.InstanceNumber = 3;
    int32_t camView = 1;
    EXPECT_FALSE(load(r, camView));
    EXPECT_EQ(camView, 8);
    EXPECT_EQ(r.EnableMux, 1);
    EXPECT_EQ(r.MuxerSpeed, 15000);
    EXPECT_EQ(r.Device, 2);
    EXPECT_EQ(r.InputPin, 1);
    EXPECT_EQ(r.VideoFormat, s.VideoFormat);
    EXPECT_EQ(r.SaveEvery, 40);
    EXPECT_EQ(r.DeviceName, s.DeviceName);
    EXPECT_EQ(r.DeviceBusInfo, s.DeviceBusInfo);
    EXPECT_EQ(r.DeviceLink, s.DeviceLink);

    // A network camera's identity is its URL, up to 2048 characters: stored
    // whole, or the next start would look for the device saved before.
    r.DeviceName = std::string(300, 'n');
    r.DeviceLink = "rtsp://camera.local/" + std::string(2048 - 20, 'a');
    save(r, 8, false);
    InstanceSettings again;
    again.InstanceNumber = 3;
    load(again, camView);
    EXPECT_EQ(again.DeviceName, r.DeviceName);
    EXPECT_EQ(again.DeviceLink, r.DeviceLink);
    EXPECT_EQ(r.VideoStandard, "PAL");
    EXPECT_EQ(r.KeepFreeMB, 2048u);
    EXPECT_EQ(r.MaxArchiveMB, s.MaxArchiveMB);
    EXPECT_EQ(r.MuxerInputs, s.MuxerInputs);
    EXPECT_EQ(r.Rotation, s.Rotation);
    EXPECT_EQ(r.HorzFlip, s.HorzFlip);
    EXPECT_EQ(r.VertFlip, s.VertFlip);
    EXPECT_EQ(r.HORZ, s.HORZ);
    EXPECT_EQ(r.VERT, s.VERT);
    EXPECT_EQ(r.OverlayText, s.OverlayText);
    EXPECT_EQ(r.TextColor, s.TextColor);
    EXPECT_EQ(r.BackgroundColor, s.BackgroundColor);
    EXPECT_EQ(r.EnableOverlay, s.EnableOverlay);
    EXPECT_EQ(r.OverlayEffect, s.OverlayEffect);
    EXPECT_EQ(r.OverlayFont, s.OverlayFont);
    EXPECT_EQ(r.EnableStaticSave, s.EnableStaticSave);
    EXPECT_EQ(r.EnableStaticMotion, s.EnableStaticMotion);
    EXPECT_EQ(r.EnableArchving, s.EnableArchving);
    EXPECT_EQ(r.EnableArchiveMotion, s.EnableArchiveMotion);
    EXPECT_EQ(r.StaticPathFile, s.StaticPathFile);
    EXPECT_EQ(r.ArchivePath, s.ArchivePath);
    EXPECT_EQ(r.JpegQuality, s.JpegQuality);
    EXPECT_EQ(r.Days, s.Days);
    EXPECT_EQ(r.Hours, s.Hours);
    EXPECT_EQ(r.Minutes, s.Minutes);
    EXPECT_EQ(r.TriggerLevel, s.TriggerLevel);
    EXPECT_EQ(r.SaveCount, s.SaveCount);
    EXPECT_EQ(r.LoadedArchiveCount, s.ArchiveCount);
}

TEST_F(SettingsIoTest, NumbersWrittenByHandAsDwordAreRead)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    std::ofstream(processFile()) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\whatever]\n"
                                    "\"saveevery\"=dword:000001f4\n\"VideoOn\"=dword:00000001\n";
    std::ofstream(cameraFile('C')) << "REGEDIT4\n\n[x]\n\"TriggerLevel\"=dword:0000001e\n";
    InstanceSettings r;
    EXPECT_TRUE(load(r, camView));
    EXPECT_EQ(r.SaveEvery, 500);
    EXPECT_EQ(r.TriggerLevel[2], 30);
    EXPECT_EQ(r.TriggerLevel[1], 10);
}

// A retention part stored negative (by hand, or by an older program) would
// delete the whole archive: it loads as 0, and only that part does.
TEST_F(SettingsIoTest, ANegativeRetentionPartLoadsAsZeroAlone)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    std::ofstream(cameraFile('C')) << "REGEDIT4\n\n[x]\n\"Days\"=dword:ffffffff\n\"Minutes\"=hex:05,00,00,00\n"
                                      "\"TriggerLevel\"=hex:ff,ff,ff,ff\n";
    std::ofstream(cameraFile('D')) << "REGEDIT4\n\n[x]\n\"Days\"=hex:02,00,00,00\n\"Hours\"=hex:00,00,00,80\n"
                                      "\"Minutes\"=hex:fe,ff,ff,ff\n";
    InstanceSettings r;
    load(r, camView);
    EXPECT_EQ(std::make_tuple(r.Days[2], r.Hours[2], r.Minutes[2]), std::make_tuple(0, 0, 5));
    EXPECT_EQ(std::make_tuple(r.Days[3], r.Hours[3], r.Minutes[3]), std::make_tuple(2, 0, 0));
    EXPECT_EQ(r.TriggerLevel[2], -1); // other numbers load as stored
}

TEST_F(SettingsIoTest, ATooLongPathStaysInMemoryButTheStoreKeepsTheOldOne)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    s.StaticPathFile[0] = "/srv/cams/a.jpg";
    save(s);
    s.StaticPathFile[0] = "/" + std::string(299, 'p');
    s.TriggerLevel[0] = 77; // the rest of the save still happens
    save(s);
    EXPECT_EQ(s.StaticPathFile[0].size(), 300u);

    InstanceSettings r;
    load(r, camView);
    EXPECT_EQ(r.StaticPathFile[0], "/srv/cams/a.jpg");
    EXPECT_EQ(r.TriggerLevel[0], 77);
}

TEST_F(SettingsIoTest, VideoOnIsWrittenOnlyWhenKnown)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    save(s, 1, std::nullopt);
    EXPECT_EQ(ReadFile(processFile()).find("VideoOn"), std::string::npos);
    EXPECT_FALSE(load(s, camView));

    save(s, 1, true);
    EXPECT_TRUE(load(s, camView));
    save(s, 1, std::nullopt); // an older value stays
    EXPECT_TRUE(load(s, camView));
    save(s, 1, false);
    EXPECT_FALSE(load(s, camView));
}

TEST_F(SettingsIoTest, LastArchiveSizeLoadsBesideTheLiveCount)
{
    InstanceSettings s;
    s.ArchiveCount[2] = 77;
    save(s);

    InstanceSettings r;
    r.ArchiveCount[2] = 5;
    int32_t camView = 1;
    load(r, camView);
    EXPECT_EQ(r.LoadedArchiveCount[2], 77);
    EXPECT_EQ(r.ArchiveCount[2], 5);
    EXPECT_EQ(r.LoadedArchiveCount[3], 0);
}

TEST_F(SettingsIoTest, GarbledOrCutFilesLoadWhatCanBeRead)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    s.SaveEvery = 2000;
    s.MuxerSpeed = 900;
    s.JpegQuality[0] = 50;
    s.Minutes[0] = 30;
    save(s);

    // Garbage in the middle of the process key, a cut-off camera key and a
    // temporary file left by a crash.
    std::string process = ReadFile(processFile());
    process.insert(process.find("\"MuxerSpeed\""), "\"Device\"=hex:02,0\n\x01\x02garbage\xff\n");
    std::ofstream(processFile(), std::ios::binary | std::ios::trunc) << process;
    const std::string camera = ReadFile(cameraFile('A'));
    std::ofstream(cameraFile('A'), std::ios::binary | std::ios::trunc)
        << camera.substr(0, camera.find("\"Minutes\"") + 15); // inside the first byte
    std::ofstream(processFile().parent_path() / ".values.reg.99.0.tmp") << "REGEDIT4\n\n[x]\n\"SaveEvery\"=hex:01";

    InstanceSettings r;
    load(r, camView);
    EXPECT_EQ(r.SaveEvery, 2000);
    EXPECT_EQ(r.MuxerSpeed, 900);
    EXPECT_EQ(r.Device, 0);
    EXPECT_EQ(r.JpegQuality[0], 50);
    EXPECT_EQ(r.Minutes[0], 5); // the cut line
    EXPECT_EQ(r.TriggerLevel[0], 10);

    save(r); // and the next save writes whole files again
    InstanceSettings again;
    load(again, camView);
    EXPECT_EQ(again.JpegQuality[0], 50);
    EXPECT_EQ(ValueNames(ReadFile(cameraFile('A'))).size(), std::size(kCameraValueNames));
}

TEST_F(SettingsIoTest, BusyLocksSkipTheWorkThatNeedsThem)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    s.SaveEvery = 1234;
    save(s);
    {
        InstanceSettings busy;
        busy.SaveEvery = 1;
        LockHolder holder(busy.SettingsLock);
        EXPECT_FALSE(load(busy, camView));
        EXPECT_EQ(busy.SaveEvery, 1);
        EXPECT_EQ(busy.StaticPathFile[0], "");
        const SaveStatus status = save(busy);
        EXPECT_EQ(status.error, -ETIMEDOUT);
        EXPECT_EQ(SaveFailureText(status), "a lock was not obtained within 5 s");
    }
    InstanceSettings r;
    load(r, camView);
    EXPECT_EQ(r.SaveEvery, 1234);

    // A busy counter lock skips only "LastArchiveSize" of that camera.
    s.ArchiveCount[0] = 40;
    s.ArchiveCount[1] = 41;
    s.SaveEvery = 99;
    save(s);
    s.ArchiveCount[0] = 50;
    s.ArchiveCount[1] = 51;
    {
        LockHolder holder(s.ArchiveCountLock[0]);
        const SaveStatus status = save(s);
        EXPECT_EQ(status.error, -ETIMEDOUT);
        EXPECT_EQ(status.keyName, "HKEY_LOCAL_MACHINE\\" + CameraKeyPath(1, 0));
    }
    load(r, camView);
    EXPECT_EQ(r.LoadedArchiveCount[0], 40);
    EXPECT_EQ(r.LoadedArchiveCount[1], 51);
    EXPECT_EQ(r.SaveEvery, 99);
}

// A disk error while a key's file is written (here the file size limit, as a
// full disk would) fails the save with its errno and key; the old files
// stay whole and no temporary is left. The next save that can write works.
TEST_F(SettingsIoTest, ASaveThatFailsWhileWritingKeepsTheOldFilesAndSaysWhy)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    ASSERT_TRUE(save(s).ok());
    const std::string before = ReadFile(cameraFile('C'));
    s.OverlayText[2] = std::string(200, 'x');

    rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit small{64, old.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const SaveStatus failed = save(s);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(failed.error, -EFBIG);
    EXPECT_EQ(failed.keyName, "HKEY_LOCAL_MACHINE\\" + CameraKeyPath(1, 2));
    EXPECT_EQ(ReadFile(cameraFile('C')), before);
    for (const auto& entry : fs::directory_iterator(cameraFile('C').parent_path()))
        EXPECT_EQ(entry.path().filename(), "values.reg");
    EXPECT_TRUE(save(s).ok());
    InstanceSettings r;
    load(r, camView);
    EXPECT_EQ(r.OverlayText[2], s.OverlayText[2]);
}

using SettingsIoPermissions = test::Unprivileged<SettingsIoTest>;

TEST_F(SettingsIoPermissions, AnUnwritableStoreGivesDefaultsAndSavesNothing)
{
    ASSERT_EQ(::chmod(store().c_str(), 0500), 0);
    InstanceSettings s;
    int32_t camView = 6;
    EXPECT_FALSE(load(s, camView));
    EXPECT_EQ(camView, 6);
    EXPECT_EQ(s.StaticPathFile[0], home() + "/Cameras/Cam1A.jpg");
    EXPECT_EQ(s.ArchivePath[7], home() + "/Cameras/Camera1H/");
    s.TriggerLevel[0] = 3;
    EXPECT_EQ(save(s, 4, true).error, -EACCES);
    EXPECT_TRUE(fs::is_empty(store()));
    ::chmod(store().c_str(), 0700);
}

TEST_F(SettingsIoPermissions, AReadOnlyStoreStillLoadsAndKeepsItsFiles)
{
    InstanceSettings s;
    int32_t camView = 1;
    load(s, camView);
    s.TriggerLevel[4] = 44;
    save(s, 4, true);
    const std::string before = ReadFile(cameraFile('E'));

    std::vector<fs::path> folders{store()};
    for (const auto& entry : fs::recursive_directory_iterator(store()))
        if (entry.is_directory())
            folders.push_back(entry.path());
    for (const fs::path& folder : folders)
        ::chmod(folder.c_str(), 0500);
    InstanceSettings r;
    EXPECT_TRUE(load(r, camView));
    EXPECT_EQ(r.TriggerLevel[4], 44);
    r.TriggerLevel[4] = 45;
    const SaveStatus status = save(r);
    EXPECT_EQ(status.error, -EACCES);
    EXPECT_EQ(SaveFailureText(status), "HKEY_LOCAL_MACHINE\\" + CameraKeyPath(1, 4) + ": Permission denied");
    EXPECT_EQ(ReadFile(cameraFile('E')), before);
    for (const fs::path& folder : folders)
        ::chmod(folder.c_str(), 0700);
}

} // namespace
} // namespace vistrel
