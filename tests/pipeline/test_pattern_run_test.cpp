// SPDX-License-Identifier: GPL-3.0-or-later
// The whole road of a frame in one process: the test-pattern device, the
// image thread and real picture panes, with the JPEG files on disk.

#include "settings/instance_settings.h"
#include "capture/dxvideo.h"
#include "common/worker_thread.h"
#include "display/picture_box.h"
#include "pipeline/image_thread.h"
#include "support/fake_display.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <filesystem>

namespace vistrel {
namespace {

// The capture object as the image thread sees it, without a setup window.
class CaptureSource : public IVideoSource {
public:
    explicit CaptureSource(CDXVideo& video)
        : video_(video)
    {
    }
    bool IsRunning() override { return video_.IsRunning(); }
    std::unique_ptr<Frame> GrabFrame() override { return video_.GrabFrame(); }
    int ListInputs() override { return video_.ListInputs(nullptr); }
    int SelectInput(int input) override { return video_.SelectInput(input); }
    void SetInputListEnabled(bool) override {}
    int InputListSelection() override { return -1; }

private:
    CDXVideo& video_;
};

// Real panes, the meters and labels recorded (the image thread calls from its own thread).
class PaneDisplay : public test::FakeDisplay {
public:
    ICameraPane& Pane(int camera) override { return realPanes[size_t(camera)]; }
    std::array<CPictureBoxEx, kCameraCount> realPanes;
};

TEST(TestPatternRun, FillsPaneAReportsTheMovingSquareAndWritesItsFiles)
{
    qputenv("VISTREL_NO_V4L2", "1");
    QTemporaryDir dir;
    const std::string staticFile = dir.filePath("Cam1A.jpg").toStdString();
    const std::string archive = dir.filePath("Camera1A").toStdString();
    QDir().mkpath(QString::fromStdString(archive));

    InstanceSettings settings;
    settings.SaveEvery = 100;
    settings.TriggerLevel[0] = 5;
    settings.EnableStaticSave[0] = 1;
    settings.EnableArchving[0] = 1;
    settings.EnableOverlay[0] = 1;
    settings.StaticPathFile[0] = staticFile;
    settings.ArchivePath[0] = archive + "/";

    test::RecordingReporter reporter;
    CDXVideo video(reporter);
    video.InitCom();
    ASSERT_EQ(video.StartCapture(0, nullptr, "320x240 24 bit"), 0);

    CaptureSource source(video);
    PaneDisplay display;
    CThreadRegistry registry;
    CImageThread thread(display, source, settings, registry);
    thread.Resume();

    auto motionSeen = [&] {
        const std::vector<uint32_t> colours = display.meter(0, Meter::Motion).colours;
        const auto seen = [&](uint32_t colour) { return std::find(colours.begin(), colours.end(), colour) != colours.end(); };
        return seen(Rgb(255, 0, 0)) && seen(Rgb(0, 128, 0)) && display.label(0, Label::FrameRate) != "<unset>";
    };
    EXPECT_TRUE(test::waitFor(motionSeen, std::chrono::seconds(20)));
    auto archived = [&] {
        std::error_code ec;
        return std::distance(std::filesystem::directory_iterator(archive, ec), std::filesystem::directory_iterator()) >= 5;
    };
    EXPECT_TRUE(test::waitFor(archived, std::chrono::seconds(20)));
    registry.StopAll(true);
    ASSERT_TRUE(thread.isFinished());

    // Pane A holds the last frame: the red background of input 0, upright.
    std::shared_ptr<const Frame> image = display.realPanes[0].image();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 320);
    EXPECT_EQ(image->height(), 240);
    const uint8_t* bottomLeft = image->data();
    EXPECT_EQ(bottomLeft[0], 40);  // blue
    EXPECT_EQ(bottomLeft[1], 40);  // green
    EXPECT_EQ(bottomLeft[2], 200); // red
    EXPECT_TRUE(display.realPanes[0].HasPicture());
    for (int camera = 1; camera < kCameraCount; ++camera)
        EXPECT_FALSE(display.realPanes[camera].image()) << camera;

    // The moving square gave motion levels above the trigger and quiet ones.
    const std::vector<int> levels = display.meter(0, Meter::Motion).positions;
    ASSERT_FALSE(levels.empty());
    EXPECT_GT(*std::max_element(levels.begin(), levels.end()), 5);
    EXPECT_NE(display.label(0, Label::FrameRate).find("Frame Rate ["), std::string::npos);

    // Every archive image on disk was counted, and the static file exists.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(archive)) {
        EXPECT_NE(entry.path().filename().string().find("-Cam1A.jpg"), std::string::npos);
        ++files;
    }
    EXPECT_EQ(size_t(settings.ArchiveCount[0]), files);
    EXPECT_GT(std::filesystem::file_size(staticFile), 0u);
    EXPECT_TRUE(reporter.messages().empty());
    video.StopCapture();
}

} // namespace
} // namespace vistrel
