// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/image_stepper.h"

#include "frame_helpers.h"
#include "support/fake_display.h"
#include "support/fake_video_source.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeDisplay;
using test::FakeSource;
using test::SolidFrame;

constexpr uint32_t kRed = Rgb(255, 0, 0), kGreen = Rgb(0, 128, 0), kNavy = Rgb(0, 0, 128);
constexpr uint32_t kUnixTime = 1700000000;

class StepperTest : public ::testing::Test {
protected:
    StepperTest()
    {
        settings.SaveEvery = 1000;
        settings.InstanceNumber = 1;
        for (int k = 0; k < kCameraCount; ++k) {
            settings.ArchivePath[size_t(k)] = folder_.path().toStdString() + "/Camera1" + CameraLetter(k);
            settings.StaticPathFile[size_t(k)] = folder_.path().toStdString() + "/Cam1" + CameraLetter(k) + ".jpg";
        }
        source.makeFrame = [this] { return SolidFrame(100, 100, 24, grey_ * 0x010101u); };
    }

    std::unique_ptr<ImageStepper> Make()
    {
        ImageClock clock;
        clock.now = [this] { return now_; };
        clock.unixTime = [] { return kUnixTime; };
        auto stepper = std::make_unique<ImageStepper>(display, source, settings, clock);
        EXPECT_EQ(stepper->Start(), 100);
        return stepper;
    }

    // Ticks until a frame step grabs; returns the delay that step asked for
    // and how many ticks it took.
    int RunToGrab(ImageStepper& stepper, int* ticks = nullptr)
    {
        const int before = source.grabCount();
        for (int i = 1; i <= 1000; ++i) {
            const std::optional<int> delay = stepper.Tick();
            if (!delay)
                return -1;
            if (source.grabCount() > before) {
                if (ticks)
                    *ticks = i;
                return *delay;
            }
        }
        ADD_FAILURE() << "no grab within 1000 ticks";
        return -1;
    }

    void TakeSteps(std::chrono::milliseconds step) { source.onGrab = [this, step] { now_ += step; }; }
    std::string Folder(int camera) const { return settings.ArchivePath[size_t(camera)]; }
    std::string ArchiveFile(int number, int camera = 0, int instance = 1) const
    {
        return Folder(camera) + "/" + std::to_string(kUnixTime) + std::to_string(number) + "-Cam"
            + std::to_string(instance) + CameraLetter(camera) + ".jpg";
    }

    QTemporaryDir folder_;
    std::chrono::steady_clock::time_point now_ {};
    uint32_t grey_ = 0x40;
    InstanceSettings settings;
    FakeDisplay display;
    FakeSource source;
};

TEST_F(StepperTest, WaitsTheRestOfTheIntervalInTicksOfAtMost100Ms)
{
    struct Case {
        int intervalMs;
        std::chrono::milliseconds step;
        int timerMs;
        int ticksToWait;
        const char* frameRate;
    };
    const Case cases[] = {
        { 1000, 230ms, 70, 7, "Frame Rate [1.00 FPS] [1.00 Delta]" },
        { 1000, 1500ms, 0, 0, "Frame Rate [0.67 FPS] [1.50 Delta]" }, // the elapsed time, not the interval
        { 1000, 900ms, 100, 0, "Frame Rate [1.00 FPS] [1.00 Delta]" },
        { 1000, 1000ms, 0, 0, "Frame Rate [1.00 FPS] [1.00 Delta]" },
        { 250, 0ms, 50, 2, "Frame Rate [4.00 FPS] [0.25 Delta]" },
    };
    for (const Case& c : cases) {
        settings.SaveEvery = c.intervalMs;
        TakeSteps(c.step);
        auto stepper = Make();
        EXPECT_EQ(RunToGrab(*stepper), c.timerMs) << c.intervalMs << " " << c.step.count();
        EXPECT_EQ(stepper->TicksToWait(), c.ticksToWait);
        EXPECT_EQ(display.label(0, Label::FrameRate), c.frameRate);
        // Then one tick per 100 ms waited, and the next step on the tick after.
        int ticks = 0;
        EXPECT_EQ(RunToGrab(*stepper, &ticks), c.timerMs);
        EXPECT_EQ(ticks, c.ticksToWait + 1);
    }
}

TEST_F(StepperTest, FailedGrabRetriesAfterTheSameWait)
{
    TakeSteps(530ms);
    auto stepper = Make();
    EXPECT_EQ(RunToGrab(*stepper), 70);
    EXPECT_EQ(stepper->TicksToWait(), 4);

    source.failGrabs = { true };
    int ticks = 0;
    EXPECT_EQ(RunToGrab(*stepper, &ticks), 100) << "a failed grab waits one tick";
    EXPECT_EQ(ticks, 5);
    EXPECT_EQ(stepper->TicksToWait(), 4) << "left as it was";
    EXPECT_EQ(display.panes[0].images(), 1);

    // The retry comes five ticks (500 ms) later.
    EXPECT_EQ(RunToGrab(*stepper, &ticks), 70);
    EXPECT_EQ(ticks, 5);
    EXPECT_EQ(display.panes[0].images(), 2);
}

TEST_F(StepperTest, IdleWhileCaptureIsStopped)
{
    source.running = false;
    auto stepper = Make();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(stepper->Tick(), 500);
    EXPECT_EQ(stepper->TickCount(), 0);
    EXPECT_EQ(source.grabCount(), 0);
    source.running = true;
    EXPECT_EQ(stepper->Tick(), 100);
    EXPECT_EQ(stepper->TickCount(), 1);
}

TEST_F(StepperTest, QuitEndsAtTheNextTickWithoutAFrame)
{
    auto stepper = Make();
    stepper->RequestQuit();
    EXPECT_EQ(stepper->Tick(), std::nullopt);
    EXPECT_EQ(source.grabCount(), 0);
}

TEST_F(StepperTest, MultiplexVisitsTheFlaggedInputsAndClearsTheOthers)
{
    struct Case {
        std::array<int32_t, kCameraCount> inputs;
        std::vector<int> processed; // camera of each step's frame
        std::vector<int> routed;
        const char* frameRate;
    };
    const Case cases[] = {
        { { 1, 0, 1, 1, 0, 0, 0, 0 }, { 0, 2, 3, 0 }, { 2, 3, 0, 2 }, "Frame Rate [1.33 FPS] [0.75 Delta]" },
        { { 0, 0, 1, 0, 0, 0, 0, 0 }, { 2, 2, 2 }, { 2, 2, 2, 2 }, "Frame Rate [4.00 FPS] [0.25 Delta]" },
    };
    for (const Case& c : cases) {
        settings.EnableMux = 1;
        settings.MuxerSpeed = 250;
        settings.MuxerInputs = c.inputs;
        source.routed.clear();
        FakeDisplay localDisplay;
        auto stepper = std::make_unique<ImageStepper>(localDisplay, source, settings);
        stepper->Start();
        EXPECT_EQ(source.inputListEnabled, 0) << "the manual input list is off while multiplexing";
        // A picture left in a pane the cycle passes over must go, not only
        // the ones the reload cleared.
        for (int k = 0; k < kCameraCount; ++k)
            localDisplay.panes[size_t(k)].SetHasPicture(true);

        // Camera A's flag may be clear: its step grabs nothing, only routes.
        std::vector<int> processed;
        for (int step = 0; step < int(c.routed.size()); ++step) {
            const int position = stepper->MuxPosition();
            const int imagesBefore = localDisplay.panes[size_t(position)].images();
            const size_t routedBefore = source.routed.size();
            for (int i = 0; i < 100 && source.routed.size() == routedBefore; ++i)
                stepper->Tick();
            if (localDisplay.panes[size_t(position)].images() > imagesBefore)
                processed.push_back(position);
        }
        EXPECT_EQ(source.routed, c.routed);
        EXPECT_EQ(processed, c.processed);
        for (int k = 0; k < kCameraCount; ++k) {
            const bool flagged = c.inputs[size_t(k)] != 0;
            EXPECT_EQ(localDisplay.panes[size_t(k)].HasPicture(), flagged) << CameraLetter(k);
            if (!flagged) {
                EXPECT_EQ(localDisplay.panes[size_t(k)].images(), 0) << CameraLetter(k);
                EXPECT_EQ(localDisplay.label(k, Label::FrameRate), " ") << "no frame rate for " << CameraLetter(k);
            }
        }
        EXPECT_EQ(localDisplay.label(c.processed.front(), Label::FrameRate), c.frameRate);
    }
}

TEST_F(StepperTest, RoutingFailureSwitchesMultiplexingOffAndKeepsTheFrameItsCamera)
{
    settings.EnableMux = 1;
    settings.MuxerInputs = { 0, 1, 0, 1, 0, 0, 0, 0 };
    settings.MuxerSpeed = 200;
    source.selectResults = { 1, 0 }; // B is routed, D is refused
    auto stepper = Make();
    ASSERT_TRUE(stepper->Multiplexing());
    EXPECT_EQ(source.grabIntervals, std::vector<int> { 200 }) << "grabs come at the multiplexer's pace";

    // A is not flagged: the first step only routes B. The second grabs B's
    // frame, and routing D fails.
    for (int i = 0; i < 20 && source.routed.size() < 2; ++i)
        stepper->Tick();
    EXPECT_EQ(source.routed, (std::vector<int> { 1, 3 }));
    EXPECT_FALSE(stepper->Multiplexing());
    EXPECT_EQ(stepper->MuxPosition(), 0);
    {
        TimedLock lock(settings.SettingsLock);
        EXPECT_EQ(settings.EnableMux, 0);
    }
    EXPECT_EQ(display.panes[1].images(), 1) << "the frame captured on B is B's";
    EXPECT_EQ(display.panes[0].images(), 0);
    EXPECT_EQ(source.grabIntervals.back(), 1000) << "and now at the save interval";

    // From now on every frame is camera A's, paced by SaveEvery.
    EXPECT_EQ(RunToGrab(*stepper), 0);
    EXPECT_EQ(display.panes[0].images(), 1);
    EXPECT_EQ(display.panes[1].images(), 1);
    EXPECT_EQ(source.routed.size(), 2u);
    EXPECT_EQ(display.label(0, Label::FrameRate), "Frame Rate [1.00 FPS] [1.00 Delta]");
}

TEST_F(StepperTest, MultiplexingWithNoInputFlaggedRunsCameraA)
{
    settings.EnableMux = 1;
    settings.MuxerInputs = {};
    auto stepper = Make();
    for (int i = 0; i < 3; ++i)
        RunToGrab(*stepper);
    EXPECT_EQ(display.panes[0].images(), 3);
    EXPECT_TRUE(source.routed.empty());
    EXPECT_EQ(source.grabIntervals, std::vector<int> { 1000 });
}

TEST_F(StepperTest, MotionOnlySavingKeepsSaveCountFramesAfterMotion)
{
    settings.TriggerLevel[0] = 10;
    settings.SaveCount[0] = 3;
    settings.EnableArchving[0] = 1;
    settings.EnableArchiveMotion[0] = 1;
    settings.EnableStaticSave[0] = 1;
    settings.EnableStaticMotion[0] = 1;
    fs::create_directories(Folder(0));
    auto stepper = Make();

    //                          still  motion  .    .    .   motion  .    .    .
    const uint32_t greys[] = { 0x40, 0x40, 0x80, 0x80, 0x80, 0x80, 0x40, 0x40, 0x40, 0x40 };
    const bool saved[] = { false, false, true, true, true, false, true, true, true, false };
    int archived = 0;
    for (size_t i = 0; i < std::size(greys); ++i) {
        grey_ = greys[i];
        display.panes[0].clearLog();
        RunToGrab(*stepper);
        const auto saves = display.panes[0].saves();
        EXPECT_EQ(saves.size(), saved[i] ? 2u : 0u) << "frame " << i;
        if (saved[i]) {
            EXPECT_EQ(saves[0].first, settings.StaticPathFile[0]);
            EXPECT_EQ(saves[1].first, ArchiveFile(archived));
            ++archived;
        }
    }
    EXPECT_EQ(archived, 6);
    EXPECT_TRUE(fs::exists(settings.StaticPathFile[0]));

    // Every archive image is counted with its size.
    int64_t total = 0;
    for (int n = 0; n < archived; ++n)
        total += int64_t(fs::file_size(ArchiveFile(n)));
    EXPECT_EQ(settings.ArchiveCount[0], 6);
    EXPECT_EQ(settings.ArchiveBytes[0], total);
    EXPECT_EQ(settings.LastImageBytes[0], uint32_t(fs::file_size(ArchiveFile(5))));

    // After a reload nothing is saved until motion is seen again.
    stepper->RequestReload();
    display.panes[0].clearLog();
    RunToGrab(*stepper);
    EXPECT_TRUE(display.panes[0].saves().empty());
    EXPECT_EQ(stepper->ArchiveSavesSinceMotion(0), 3);
}

// What the image thread posts, in order.
class RecordingSink : public IEventSink {
public:
    bool Post(EventEdge edge) override
    {
        edges.push_back(std::move(edge));
        return true;
    }
    std::vector<EventEdge> edges;
};

// One frame a second: motion starts an event with the archive image saved
// from that frame; motion again within the gap carries it on; the end,
// at the last frame motion-only saving kept, is told once the gap has passed.
// A reload and the thread's end close an open event.
TEST_F(StepperTest, MotionEventsFollowTheSaveCountAndTheGap)
{
    settings.TriggerLevel[0] = 10;
    settings.SaveCount[0] = 2;
    settings.EventGapS[0] = 3;
    settings.EnableArchving[0] = 1;
    settings.EnableArchiveMotion[0] = 1;
    fs::create_directories(Folder(0));
    RecordingSink sink;
    uint32_t unixTime = kUnixTime;
    ImageClock clock;
    clock.now = [this] { return now_; };
    clock.unixTime = [&unixTime] { return unixTime; };
    ImageStepper stepper(display, source, settings, clock, kLockWait, &sink);
    stepper.Start();
    const auto image = [this](uint32_t time) {
        return Folder(0) + "/" + std::to_string(time) + "0-Cam1A.jpg";
    };
    const auto frame = [&](uint32_t grey) {
        grey_ = grey;
        RunToGrab(stepper);
        ++unixTime;
    };

    frame(0x40);
    EXPECT_TRUE(sink.edges.empty()) << "no motion, no event";
    frame(0x80); // t+1: motion, saved
    ASSERT_EQ(sink.edges.size(), 1u);
    EXPECT_EQ(sink.edges[0].kind, EdgeKind::MotionStart);
    EXPECT_EQ(sink.edges[0].camera, 'A');
    EXPECT_EQ(sink.edges[0].time, kUnixTime + 1);
    EXPECT_EQ(sink.edges[0].firstImage, image(kUnixTime + 1));
    frame(0x80); // t+2: kept by the save count
    frame(0x80); // t+3: saving stops
    frame(0x40); // t+4: motion within the gap: the same event
    frame(0x40); // t+5: kept, the event's last frame
    for (int i = 0; i < 3; ++i)
        frame(0x40); // t+6..8: within the gap of t+5
    ASSERT_EQ(sink.edges.size(), 1u) << "the end waits for the gap";
    frame(0x40); // t+9: the gap has passed
    ASSERT_EQ(sink.edges.size(), 2u);
    const EventEdge& end = sink.edges[1];
    EXPECT_EQ(end.kind, EdgeKind::MotionEnd);
    EXPECT_EQ(end.time, kUnixTime + 5);
    EXPECT_EQ(end.firstImage, image(kUnixTime + 1));
    EXPECT_EQ(end.lastImage, image(kUnixTime + 5));
    EXPECT_GE(end.level, 10);

    frame(0x80);
    ASSERT_EQ(sink.edges.size(), 3u);
    stepper.RequestReload();
    frame(0x80);
    ASSERT_EQ(sink.edges.size(), 4u);
    EXPECT_EQ(sink.edges[3].kind, EdgeKind::MotionEnd) << "a reload ends the open event";
    frame(0x40);
    stepper.RequestQuit();
    EXPECT_FALSE(stepper.Tick());
    ASSERT_EQ(sink.edges.size(), 6u);
    EXPECT_EQ(sink.edges[5].kind, EdgeKind::MotionEnd) << "the thread's end ends the open event";
}

TEST_F(StepperTest, MeterAndBlocksFollowTheLevelAgainstTheTrigger)
{
    struct Case {
        int trigger;
        uint32_t colour;
        std::vector<uint32_t> blocks;
        bool archived;
    };
    // One block brightened by 40: level 40.
    const Case cases[] = {
        { 39, kRed, { 32 }, true },
        { 40, kRed, {}, true }, // equal counts as motion, though no block is above it
        { 41, kGreen, {}, false },
    };
    for (const Case& c : cases) {
        settings.TriggerLevel[0] = c.trigger;
        settings.SaveCount[0] = 1;
        settings.EnableArchving[0] = 1;
        settings.EnableArchiveMotion[0] = 1;
        fs::remove_all(Folder(0));
        fs::create_directories(Folder(0));
        bool bright = false;
        source.makeFrame = [&] {
            return test::MakeFrame(640, 480, 24, [&](int x, int row) {
                return bright && x / 64 == 3 && row / 48 == 7 ? 0xA8A8A8u : 0x808080u;
            });
        };
        auto stepper = Make();
        RunToGrab(*stepper);
        bright = true;
        RunToGrab(*stepper);
        const auto meter = display.meter(0, Meter::Motion);
        EXPECT_EQ(meter.colour, c.colour) << c.trigger;
        EXPECT_EQ(meter.pos, 40);
        EXPECT_EQ(meter.text, "Motion Detection Meter: 40");
        EXPECT_EQ(display.panes[0].blocks(), c.blocks) << c.trigger;
        EXPECT_EQ(fs::exists(ArchiveFile(0)), c.archived) << c.trigger;
    }
}

TEST_F(StepperTest, ArchiveNamesTakeTheNextFreeNumberWithinASecond)
{
    settings.InstanceNumber = 7;
    const std::string folder = Folder(2);
    settings.ArchivePath[2] = folder + "/"; // a trailing separator gives "//", which is fine
    fs::create_directories(folder);
    auto stepper = Make();
    display.panes[2].SetImage(SolidFrame(32, 24, 24, 0x336699), true);

    { std::ofstream(ArchiveFile(0, 2, 7)) << "someone else's"; }
    stepper->WriteArchiveImage(2);
    stepper->WriteArchiveImage(2);
    EXPECT_TRUE(fs::exists(ArchiveFile(1, 2, 7)));
    EXPECT_TRUE(fs::exists(ArchiveFile(2, 2, 7)));
    EXPECT_EQ(display.panes[2].saves()[0].first, folder + "//" + std::to_string(kUnixTime) + "1-Cam7C.jpg");
    EXPECT_EQ(settings.ArchiveCount[2], 2) << "the file found there is not ours to count";
    EXPECT_EQ(settings.LastImageBytes[2], uint32_t(fs::file_size(ArchiveFile(2, 2, 7))));
}

TEST_F(StepperTest, FailedSavesChangeNoCounterAndTheFramesGoOn)
{
    settings.EnableArchving[0] = 1;
    settings.EnableStaticSave[0] = 1;
    settings.StaticPathFile[0] = Folder(0) + "/missing/Cam1A.jpg";
    // A file where Folder(0) should be: no folder can be made there, every save fails.
    { std::ofstream(Folder(0)) << "x"; }
    auto stepper = Make();
    RunToGrab(*stepper);
    RunToGrab(*stepper);
    EXPECT_EQ(display.panes[0].images(), 2);
    EXPECT_EQ(display.panes[0].saves().size(), 4u);
    EXPECT_EQ(display.meter(0, Meter::Motion).text, "Motion Detection Meter: 0");
    EXPECT_EQ(settings.ArchiveCount[0], 0);
    EXPECT_EQ(settings.ArchiveBytes[0], 0);
    EXPECT_EQ(settings.LastImageBytes[0], 0u);
    EXPECT_TRUE(fs::is_regular_file(Folder(0)));

    // A compressed image is never saved, even into an existing folder.
    fs::remove(Folder(0));
    fs::create_directories(Folder(0));
    source.makeFrame = [] {
        auto frame = SolidFrame(100, 100, 24, 0x404040);
        frame->header.bmi.biCompression = 3;
        return frame;
    };
    RunToGrab(*stepper);
    EXPECT_TRUE(fs::is_empty(Folder(0)));
    EXPECT_EQ(settings.ArchiveCount[0], 0);
}

// The 24-bit pattern frame as the picture shows after turning it clockwise by
// `degrees` and then mirroring it, worked out pixel by pixel in displayed
// coordinates (column from the left, row from the top).
std::unique_ptr<Frame> TransformedPattern(int width, int height, int degrees, bool horz, bool vert)
{
    const bool quarter = degrees == 90 || degrees == 270;
    const int outWidth = quarter ? height : width;
    const int outHeight = quarter ? width : height;
    return test::MakeFrame(outWidth, outHeight, 24, [=](int x, int storedRow) {
        int col = horz ? outWidth - 1 - x : x;
        int row = outHeight - 1 - storedRow;
        if (vert)
            row = outHeight - 1 - row;
        // The pixel of the unturned picture that the turn brought here.
        int fromCol = col, fromRow = row;
        if (degrees == 90) {
            fromCol = row;
            fromRow = height - 1 - col;
        } else if (degrees == 180) {
            fromCol = width - 1 - col;
            fromRow = height - 1 - row;
        } else if (degrees == 270) {
            fromCol = width - 1 - row;
            fromRow = col;
        }
        return test::Pattern(fromCol, height - 1 - fromRow);
    });
}

TEST_F(StepperTest, TransformsThenMotionThenOverlayThenDisplay)
{
    // A picture in which every turn and mirror shows, and their order too:
    // mirroring and then turning a quarter is not turning and then mirroring.
    struct Case {
        const char* rotation;
        int degrees;
        bool horz, vert;
    };
    const Case cases[] = { { "90", 90, true, false }, { "90", 90, false, true }, { "270", 270, true, false },
        { "180", 180, false, true }, { "0", 0, true, false }, { "", 0, true, true }, { "abc", 0, false, true },
        { "45", 0, true, false } };
    for (const Case& c : cases) {
        settings.Rotation[1] = c.rotation;
        settings.HorzFlip[1] = c.horz;
        settings.VertFlip[1] = c.vert;
        settings.TriggerLevel[1] = 10;
        settings.EnableMux = 1;
        settings.MuxerInputs = { 0, 1, 0, 0, 0, 0, 0, 0 };
        source.makeFrame = [] { return test::MakeFrame(64, 48, 24, test::Pattern); };
        FakeDisplay localDisplay;
        // An overlay that changes every frame, like a clock: it must not count as motion.
        int frameNo = 0;
        localDisplay.panes[1].setOverlayPaint([&](Frame& frame) {
            std::fill(frame.data(), frame.data() + frame.width() * 3, uint8_t(frameNo++ * 90));
        });
        ImageStepper stepper(localDisplay, source, settings);
        stepper.Start();
        for (int i = 0; i < 30 && localDisplay.panes[1].images() < 3; ++i)
            stepper.Tick();
        ASSERT_EQ(localDisplay.panes[1].images(), 3);

        auto expected = TransformedPattern(64, 48, c.degrees, c.horz, c.vert);
        const std::vector<uint8_t> shown = localDisplay.panes[1].imageBytes();
        ASSERT_EQ(localDisplay.panes[1].imageWidth(), expected->width()) << c.rotation;
        ASSERT_EQ(shown.size(), expected->size()) << c.rotation;
        // All but the stored row the overlay painted over.
        const size_t row = size_t(expected->width()) * 3;
        EXPECT_TRUE(std::equal(shown.begin() + long(row), shown.end(), expected->data() + row))
            << "rotation \"" << c.rotation << "\" horz " << c.horz << " vert " << c.vert;

        EXPECT_EQ(localDisplay.meter(1, Meter::Motion).pos, 0) << "overlay measured as motion";
        const auto log = localDisplay.panes[1].log();
        const std::vector<std::string> lastFrame(log.end() - 3, log.end());
        EXPECT_EQ(lastFrame, (std::vector<std::string> { "HasPicture", "DrawOverlay", "SetImage" }));
    }
}

TEST_F(StepperTest, ReloadResetsTheDisplaysAndReappliesTheManualInput)
{
    settings.EnableArchving[0] = 0;
    auto stepper = Make();
    RunToGrab(*stepper);
    ASSERT_NE(display.meter(0, Meter::Motion).text, " ");

    {
        TimedLock lock(settings.SettingsLock);
        settings.OverlayText[3] = "Gate %t";
        settings.SaveCount[3] = 9;
        settings.SaveEvery = 2500;
    }
    source.inputs = 4;
    source.selection = 2;
    stepper->RequestReload();
    stepper->Tick();
    EXPECT_FALSE(stepper->ReloadRequested());
    for (int k = 0; k < kCameraCount; ++k) {
        const auto motion = display.meter(k, Meter::Motion);
        EXPECT_EQ(motion.colour, kNavy);
        EXPECT_EQ(motion.text, " ");
        EXPECT_EQ(motion.pos, 0);
        EXPECT_EQ(display.meter(k, Meter::Archive).text, " ");
        EXPECT_EQ(display.meter(k, Meter::Archive).pos, 0);
        EXPECT_EQ(display.label(k, Label::FrameRate), " ");
        EXPECT_EQ(display.label(k, Label::Forecast), " ");
        EXPECT_FALSE(display.panes[size_t(k)].HasPicture());
    }
    EXPECT_EQ(display.panes[3].overlay().text, "Gate %t");
    EXPECT_EQ(stepper->StaticSavesSinceMotion(3), 9);
    EXPECT_EQ(source.inputListEnabled, 1);
    EXPECT_EQ(source.routed, std::vector<int> { 2 });
    EXPECT_EQ(source.grabIntervals, (std::vector<int> { 1000, 2500 })) << "the device hears every new interval";
}

// While another thread holds SettingsLock past the 5 s wait, the reload is
// skipped and stays requested; frames go on with the old copies.
TEST_F(StepperTest, BusySettingsLockPostponesTheReload)
{
    auto stepper = Make();
    stepper->Tick(); // the next tick runs a frame step
    std::atomic<bool> held { false }, release { false };
    std::thread holder([&] {
        TimedLock lock(settings.SettingsLock);
        settings.SaveEvery = 3000;
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    stepper->RequestReload();
    RunToGrab(*stepper);
    EXPECT_TRUE(stepper->ReloadRequested());
    EXPECT_EQ(stepper->TicksToWait(), 10) << "still the old SaveEvery of 1000 ms";
    release = true;
    holder.join();

    stepper->Tick();
    EXPECT_FALSE(stepper->ReloadRequested());
    RunToGrab(*stepper);
    EXPECT_EQ(stepper->TicksToWait(), 30);
}

} // namespace
} // namespace vistrel
