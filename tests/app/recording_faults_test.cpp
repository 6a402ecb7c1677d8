// SPDX-License-Identifier: GPL-3.0-or-later
// Saving and deleting that fail are shown: once on standard error when they
// start and when they end, on the camera's archive meter and in the tray.
#include "app/recording_faults.h"

#include "main_window_fixture.h"

#include <gtest/gtest.h>

#include <QDir>

#include <thread>

namespace vistrel {
namespace {

TEST(RecordingFaults, ALineWhenAFailureStartsAndWhenItEndsNotWhileItLasts)
{
    RecordingFaults faults(3);
    const struct {
        int camera;
        Fault fault;
        const char* reason;
        const char* line; // nullptr: nothing said
    } steps[] = {
        {0, Fault::ArchiveSave, "cannot save archive images in /a: No space left on device",
         "Vistrel 3: camera A is not recording: cannot save archive images in /a: No space left on device"},
        {0, Fault::ArchiveSave, "cannot save archive images in /a: No space left on device", nullptr},
        {0, Fault::ArchiveSave, "cannot save archive images in /a: Read-only file system", nullptr},
        {2, Fault::StaticSave, "cannot save /c.jpg: Permission denied",
         "Vistrel 3: camera C cannot update its static file: cannot save /c.jpg: Permission denied"},
        {2, Fault::ArchiveDelete, "cannot delete old archive images in /c: Permission denied",
         "Vistrel 3: camera C cannot delete old archive images: cannot delete old archive images in /c: Permission denied"},
        {0, Fault::ArchiveSave, "", "Vistrel 3: camera A is recording again"},
        {0, Fault::ArchiveSave, "", nullptr},
        {2, Fault::ArchiveDelete, "", "Vistrel 3: camera C deletes old archive images again"},
    };
    for (const auto& step : steps) {
        const std::optional<std::string> line = faults.Set(step.camera, step.fault, step.reason);
        EXPECT_EQ(line.value_or("nothing"), step.line ? step.line : "nothing") << step.reason;
    }
    EXPECT_FALSE(faults.Failing(0));
    EXPECT_TRUE(faults.Failing(2));
    EXPECT_EQ(faults.MeterToolTip(0), "");
    EXPECT_EQ(faults.MeterToolTip(2), "Static file not updated: cannot save /c.jpg: Permission denied");
    EXPECT_EQ(faults.TrayToolTip(), "Vistrel 3 - camera C not recording");
    faults.Set(6, Fault::ArchiveSave, "x");
    faults.Set(6, Fault::ArchiveDelete, "y");
    EXPECT_EQ(faults.MeterToolTip(6), "Not recording: x\nOld images not deleted: y");
    EXPECT_EQ(faults.TrayToolTip(), "Vistrel 3 - cameras C, G not recording");
    EXPECT_FALSE(faults.Set(8, Fault::ArchiveSave, "outside").has_value());
}

using RecordingFaultsOnTheWindow = test::MainWindowTest;

// A camera's faults are one recording-fault event: from its first fault
// until none of them is left, whichever fault comes and goes in between.
TEST(RecordingFaults, ACamerasFaultsAreOneEventFromTheFirstToTheLast)
{
    struct Sink : IEventSink {
        bool Post(EventEdge edge) override
        {
            edges.push_back(std::move(edge));
            return true;
        }
        std::vector<EventEdge> edges;
    } sink;
    RecordingFaults faults(1);
    faults.SetEventSink(&sink);
    faults.Set(1, Fault::StaticSave, "cannot save /b.jpg: Permission denied");
    faults.Set(1, Fault::ArchiveSave, "cannot save archive images in /b: No space left on device");
    faults.Set(2, Fault::ArchiveDelete, "cannot delete /c/1-Cam1C.jpg: Permission denied");
    faults.Set(1, Fault::StaticSave, "");
    faults.Set(1, Fault::ArchiveSave, "cannot save archive images in /b: Read-only file system");
    ASSERT_EQ(sink.edges.size(), 2u);
    EXPECT_EQ(sink.edges[0].kind, EdgeKind::FaultStart);
    EXPECT_EQ(sink.edges[0].camera, 'B');
    EXPECT_EQ(sink.edges[0].reason, "cannot save /b.jpg: Permission denied");
    EXPECT_EQ(sink.edges[1].kind, EdgeKind::FaultStart);
    EXPECT_EQ(sink.edges[1].camera, 'C');
    faults.Set(1, Fault::ArchiveSave, "");
    ASSERT_EQ(sink.edges.size(), 3u);
    EXPECT_EQ(sink.edges[2].kind, EdgeKind::FaultEnd);
    EXPECT_EQ(sink.edges[2].camera, 'B');
}

TEST_F(RecordingFaultsOnTheWindow, TheArchiveMeterTurnsRedWithTheReasonAndTheTrayToolTipSaysSo)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    CLabelProgressCtrl* archive = test::MeterOf(*window, 1, Meter::Archive);
    const uint32_t normalBar = archive->GetBarColour();
    const CSystemTray* tray = window->findChild<CSystemTray*>();
    ASSERT_NE(tray, nullptr);

    // The display the workers were given.
    ASSERT_NE(workers.archiveDisplay, nullptr);
    IRecorderDisplay& display = *workers.archiveDisplay;
    testing::internal::CaptureStderr();
    std::thread worker([&] { display.SetFault(1, Fault::ArchiveSave, "cannot save archive images in /b: Disk quota exceeded"); });
    worker.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Vistrel 1: camera B is not recording: cannot save archive images in /b: Disk quota exceeded\n");
    ASSERT_TRUE(test::waitFor([&] { return archive->GetBarColour() == Rgb(255, 0, 0); }));
    EXPECT_EQ(archive->toolTip(), "Not recording: cannot save archive images in /b: Disk quota exceeded");
    EXPECT_EQ(tray->toolTip(), "Vistrel 1 - camera B not recording");
    EXPECT_EQ(test::MeterOf(*window, 0, Meter::Archive)->GetBarColour(), normalBar);

    testing::internal::CaptureStderr();
    std::thread recovered([&] { display.SetFault(1, Fault::ArchiveSave, ""); });
    recovered.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vistrel 1: camera B is recording again\n");
    ASSERT_TRUE(test::waitFor([&] { return archive->GetBarColour() == normalBar; }));
    EXPECT_EQ(archive->toolTip(), "");
    EXPECT_EQ(tray->toolTip(), "Vistrel 1");
}

// A settings save that fails is every camera's fault: each archive meter and
// the tray say so until a save works again, and standard error says it once
// at each change.
TEST_F(RecordingFaultsOnTheWindow, AFailedSettingsSaveShowsLikeARecordingFault)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    const uint32_t normalBar = test::MeterOf(*window, 0, Meter::Archive)->GetBarColour();
    const CSystemTray* tray = window->findChild<CSystemTray*>();
    ASSERT_NE(tray, nullptr);

    // A folder where the process key's file belongs: a failure root meets too.
    const QString blocked
        = env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera1/Settings/values.reg";
    ASSERT_TRUE(QDir().mkpath(blocked));
    testing::internal::CaptureStderr();
    window->SaveSettings();
    window->SaveSettings();
    const std::string reason = "HKEY_LOCAL_MACHINE\\Software\\Tallow Software\\Vistrel\\Camera1\\Settings: Is a directory";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vistrel 1: settings not saved: " + reason + "\n");
    for (int camera : {0, 7}) {
        CLabelProgressCtrl* archive = test::MeterOf(*window, camera, Meter::Archive);
        ASSERT_TRUE(test::waitFor([&] { return archive->GetBarColour() == Rgb(255, 0, 0); })) << camera;
        EXPECT_EQ(archive->toolTip().toStdString(), "Settings not saved: " + reason);
    }
    EXPECT_EQ(tray->toolTip(), "Vistrel 1 - settings not saved");

    ASSERT_TRUE(QDir(blocked).removeRecursively());
    testing::internal::CaptureStderr();
    window->SaveSettings();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vistrel 1: settings saved again\n");
    CLabelProgressCtrl* archive = test::MeterOf(*window, 0, Meter::Archive);
    ASSERT_TRUE(test::waitFor([&] { return archive->GetBarColour() == normalBar; }));
    EXPECT_EQ(archive->toolTip(), "");
    EXPECT_EQ(tray->toolTip(), "Vistrel 1");
}

} // namespace
} // namespace vistrel
