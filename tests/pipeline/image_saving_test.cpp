// The image thread's saving: pacing from the stored intervals, archive
// counters, missing folders and failures shown on the display.
#include "pipeline/image_stepper.h"

#include "fakes.h"
#include "frame_helpers.h"
#include "support/lock_holder.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>

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
    EXPECT_EQ(settings.ArchiveCountLastStamp[0], MakeArchiveStamp(kUnixTime, 0));
    EXPECT_EQ(display.panes[0].saves().size(), 1u);
}

} // namespace
} // namespace vistrel
