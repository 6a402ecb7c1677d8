// SPDX-License-Identifier: GPL-3.0-or-later
// The image thread's saving: pacing from the stored intervals, archive
// counters, missing folders and failures shown on the display.
#include "pipeline/image_stepper.h"

#include "frame_helpers.h"
#include "support/fake_display.h"
#include "support/fake_video_source.h"
#include "support/lock_holder.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <mutex>

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using test::FakeDisplay;
using test::FakeSource;
using test::SolidFrame;

constexpr uint32_t kUnixTime = 1700000000;

class ImageSavingTest : public ::testing::Test {
protected:
    ImageSavingTest()
    {
        settings.InstanceNumber = 1;
        for (int k = 0; k < kCameraCount; ++k) {
            settings.ArchivePath[size_t(k)] = Root() + "/Camera1" + CameraLetter(k);
            settings.StaticPathFile[size_t(k)] = Root() + "/Cam1" + CameraLetter(k) + ".jpg";
        }
        source.makeFrame = [] { return SolidFrame(64, 48, 24, 0x404040); };
    }

    std::unique_ptr<ImageStepper> Make()
    {
        ImageClock clock;
        clock.now = [this] { return now_; };
        clock.unixTime = [this] { return unixTime_; };
        auto stepper = std::make_unique<ImageStepper>(display, source, settings, clock);
        stepper->Start();
        return stepper;
    }

    // Ticks until a frame step grabs; the delay that step asked for.
    int RunToGrab(ImageStepper& stepper)
    {
        const int before = source.grabCount();
        for (int i = 0; i < 1000; ++i) {
            const std::optional<int> delay = stepper.Tick();
            if (!delay)
                return -1;
            if (source.grabCount() > before)
                return *delay;
        }
        ADD_FAILURE() << "no grab within 1000 ticks";
        return -1;
    }

    std::string Root() const { return folder_.path().toStdString(); }

    QTemporaryDir folder_;
    std::chrono::steady_clock::time_point now_ {};
    uint32_t unixTime_ = kUnixTime;
    InstanceSettings settings;
    FakeDisplay display;
    FakeSource source;
};

// The archive thread sizes retention by the same rule: a stored interval
// below 100 ms (a hand-written store) paces at 100 ms, not flat out.
TEST_F(ImageSavingTest, StoredIntervalsBelow100MsPaceAt100Ms)
{
    struct Case {
        int32_t saveEvery;
        bool mux;
        int32_t muxSpeed;
        int timerMs;
        const char* frameRate;
    };
    const Case cases[] = {
        { 0, false, 250, 100, "Frame Rate [10.00 FPS] [0.10 Delta]" },
        { 50, false, 250, 100, "Frame Rate [10.00 FPS] [0.10 Delta]" },
        { -20, false, 250, 100, "Frame Rate [10.00 FPS] [0.10 Delta]" },
        { 1000, true, 0, 100, "Frame Rate [5.00 FPS] [0.20 Delta]" }, // two inputs
        { 1000, true, 99, 100, "Frame Rate [5.00 FPS] [0.20 Delta]" },
        { 100, false, 250, 100, "Frame Rate [10.00 FPS] [0.10 Delta]" },
    };
    for (const Case& c : cases) {
        settings.SaveEvery = c.saveEvery;
        settings.EnableMux = c.mux;
        settings.MuxerSpeed = c.muxSpeed;
        settings.MuxerInputs = { 1, 1, 0, 0, 0, 0, 0, 0 };
        auto stepper = Make();
        EXPECT_EQ(RunToGrab(*stepper), c.timerMs) << c.saveEvery << " " << c.muxSpeed;
        EXPECT_EQ(stepper->TicksToWait(), 0);
        EXPECT_EQ(display.label(0, Label::FrameRate), c.frameRate) << c.saveEvery << " " << c.muxSpeed;
    }
}

// In motion-only mode the next archive image may be hours away: a counter
// update that found its lock busy must not wait for it.
TEST_F(ImageSavingTest, ACounterUpdateThatFoundItsLockBusyIsAppliedAtTheNextTick)
{
    settings.EnableArchving[0] = 1;
    fs::create_directories(settings.ArchivePath[0]);
    source.running = false; // no frame, so no further image
    ImageClock clock;
    clock.unixTime = [this] { return unixTime_; };
    ImageStepper stepper(display, source, settings, clock, std::chrono::milliseconds(20));
    stepper.Start();
    display.panes[0].SetImage(SolidFrame(64, 48, 24, 0x808080), false);
    {
        test::LockHolder holder(settings.ArchiveCountLock[0]);
        holder.Take();
        stepper.WriteArchiveImage(0);
    }
    EXPECT_EQ(settings.ArchiveCount[0], 0);
    EXPECT_GT(settings.ArchiveBytes[0], 0) << "its own lock was free";

    stepper.Tick();
    EXPECT_EQ(settings.ArchiveCount[0], 1);
    EXPECT_EQ(settings.ArchiveCountLastStamp[0], ArchiveStamp(kUnixTime, 0));
    EXPECT_EQ(display.panes[0].saves().size(), 1u);
}

// Settings written by hand or by a script name folders nobody made, and a
// user may delete one while recording: the next save makes it again.
TEST_F(ImageSavingTest, MissingFoldersAreMadeAtTheNextSave)
{
    settings.EnableStaticSave[0] = 1;
    settings.EnableArchving[0] = 1;
    settings.StaticPathFile[0] = Root() + "/never/made/Cam1A.jpg";
    settings.ArchivePath[0] = Root() + "/not/there/Camera1A/";
    auto stepper = Make();
    RunToGrab(*stepper);
    EXPECT_TRUE(fs::is_regular_file(settings.StaticPathFile[0]));
    EXPECT_EQ(settings.ArchiveCount[0], 1);
    fs::remove_all(Root() + "/not");
    fs::remove_all(Root() + "/never");
    ++unixTime_;
    RunToGrab(*stepper);
    EXPECT_TRUE(fs::is_regular_file(settings.StaticPathFile[0]));
    EXPECT_EQ(std::distance(fs::directory_iterator(settings.ArchivePath[0]), fs::directory_iterator()), 1);
    EXPECT_EQ(settings.ArchiveCount[0], 2);
    EXPECT_TRUE(display.faultChanges().empty());
}

// A crash or a power cut between writing a static file's temporary and
// renaming it leaves the temporary: the next start removes it.
TEST_F(ImageSavingTest, AStartRemovesWhatAnEarlierRunLeftOfTheStaticFile)
{
    std::ofstream(Root() + "/.Cam1A.jpg.tmp-AbC123") << "half an image";
    std::ofstream(Root() + "/.Cam1A.jpg.tmp-AbC12") << "not ours";
    auto stepper = Make();
    EXPECT_FALSE(fs::exists(Root() + "/.Cam1A.jpg.tmp-AbC123"));
    EXPECT_TRUE(fs::exists(Root() + "/.Cam1A.jpg.tmp-AbC12"));
}

// A recorder must never stop recording in silence, nor say so every frame:
// the display hears once that saving fails and why, and once that it works again.
TEST_F(ImageSavingTest, SavingThatKeepsFailingIsToldOnceAndItsEndOnce)
{
    settings.EnableStaticSave[0] = 1;
    settings.EnableArchving[0] = 1;
    // A file where the folders should be: they cannot be made.
    std::ofstream(Root() + "/blocked") << "x";
    settings.StaticPathFile[0] = Root() + "/blocked/Cam1A.jpg";
    settings.ArchivePath[0] = Root() + "/blocked/Camera1A";
    auto stepper = Make();
    for (int frame = 0; frame < 3; ++frame) {
        ++unixTime_;
        RunToGrab(*stepper);
    }
    const std::vector<FakeDisplay::FaultChange> failing = {
        {0, Fault::StaticSave, "cannot save " + Root() + "/blocked/Cam1A.jpg: Not a directory"},
        {0, Fault::ArchiveSave, "cannot save archive images in " + Root() + "/blocked/Camera1A: Not a directory"},
    };
    EXPECT_EQ(display.faultChanges(), failing);
    EXPECT_EQ(settings.ArchiveCount[0], 0);

    fs::remove(Root() + "/blocked");
    for (int frame = 0; frame < 3; ++frame) {
        ++unixTime_;
        RunToGrab(*stepper);
    }
    auto expected = failing;
    expected.push_back({0, Fault::StaticSave, ""});
    expected.push_back({0, Fault::ArchiveSave, ""});
    EXPECT_EQ(display.faultChanges(), expected);
    EXPECT_EQ(settings.ArchiveCount[0], 3);

    // Saving switched off is not failing: a fault still shown goes.
    fs::remove_all(settings.ArchivePath[0]);
    std::ofstream(settings.ArchivePath[0]) << "x";
    ++unixTime_;
    RunToGrab(*stepper);
    settings.EnableArchving[0] = 0;
    stepper->RequestReload();
    RunToGrab(*stepper);
    expected.push_back({0, Fault::ArchiveSave, "cannot save archive images in " + Root() + "/blocked/Camera1A: Not a directory"});
    expected.push_back({0, Fault::ArchiveSave, ""});
    EXPECT_EQ(display.faultChanges(), expected);
}

using ImageSavingPermissions = test::Unprivileged<ImageSavingTest>;

// A missing folder that cannot be made again is told with the reason the
// folder could not be made, not the save's "No such file or directory".
TEST_F(ImageSavingPermissions, AFolderThatCannotBeMadeIsToldWhy)
{
    settings.EnableArchving[0] = 1;
    const std::string locked = Root() + "/locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    settings.ArchivePath[0] = locked + "/Camera1A";
    auto stepper = Make();
    RunToGrab(*stepper);
    fs::permissions(locked, fs::perms::owner_all);
    const std::vector<FakeDisplay::FaultChange> failing = {
        {0, Fault::ArchiveSave, "cannot make the folder " + locked + "/Camera1A: Permission denied"},
    };
    EXPECT_EQ(display.faultChanges(), failing);
    EXPECT_EQ(settings.ArchiveCount[0], 0);
}

} // namespace
} // namespace vistrel
