// SPDX-License-Identifier: GPL-3.0-or-later
// Bringing back a lost device: finding it again by name and restarting it
// without giving up the lost capture until the new one runs.
#include "capture/dxvideo.h"

#include "capture/capture_preview.h"
#include "capture/test_pattern.h"
#include "support/fake_capture_backend.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

using test::FakeBackend;
using test::FakeDeviceSpec;
using test::FakeState;
using test::RecordingReporter;

struct IdentityCase {
    DeviceIdentity identity;
    int preferred;
    int expected;
};

// The device found again must be the one chosen, never another camera of
// the same model that happens to be plugged in.
TEST(FindDeviceByIdentityTest, OnlyTheSameDeviceIsFoundWhereverItIsNumberedNow)
{
    const std::string byId = "/dev/v4l/by-id/usb-Cam_Serial2-video-index0";
    auto state = std::make_shared<FakeState>();
    state->devices = {
        {"Cam", true, {}, {}, "usb-1", "/dev/v4l/by-id/usb-Cam_Serial1-video-index0"},
        {"Cam", false, {}, {}, "usb-9", ""},            // name unreadable: never matched
        {"Cam", true, {}, {}, "usb-2", byId},
        {"Grabber", true, {}, {}, "pci-3", ""},
        {"Grabber (no permission)", true, {}, {}, "", "", false},
    };
    RecordingReporter reporter;
    CDXVideo video(reporter, std::make_unique<FakeBackend>(state));

    const IdentityCase cases[] = {
        {{"Cam", "usb-2", byId}, 0, 2},             // the link decides
        {{"Cam", "usb-1", byId}, 0, 2},             // moved to another port: still found by its link
        {{"Cam", "usb-7", "/dev/v4l/by-id/gone"}, 0, -1},
        {{"Grabber", "pci-3", ""}, 0, 3},           // no link: name and bus
        {{"Grabber", "pci-4", ""}, 3, -1},          // same model elsewhere is another device
        {{"Cam", "usb-1", ""}, 2, 0},
        {{"Cam", "usb-9", ""}, 1, -1},
        {{"grabber", "pci-3", ""}, 3, -1},
        {{"Grabber (no permission)", "", ""}, 4, -1}, // cannot be opened, so it is not there
        {{"", "", ""}, 0, -1},
    };
    for (const IdentityCase& c : cases)
        EXPECT_EQ(video.FindDeviceByIdentity(c.identity, c.preferred), c.expected)
            << c.identity.name << " " << c.identity.busInfo << " " << c.identity.link;

    state->enumerable = false;
    EXPECT_EQ(video.FindDeviceByIdentity({"Grabber", "pci-3", ""}, 3), -1);
    EXPECT_TRUE(reporter.messages().empty());
}

class LostDeviceTest : public testing::Test {
protected:
    void SetUp() override { TestPatternFaults::Instance().Reset(); }
    void TearDown() override
    {
        video_.StopCapture();
        TestPatternFaults::Instance().Reset();
    }

    RecordingReporter reporter_;
    CDXVideo video_{reporter_, std::make_unique<TestPatternBackend>()};
};

TEST_F(LostDeviceTest, AFailedRestartKeepsTheLostCaptureAndASuccessfulOneReplacesIt)
{
    CapturePreview preview;
    ASSERT_EQ(video_.StartCapture(0, &preview, "160x120 24 bit"), 0);
    EXPECT_EQ(video_.RunningDeviceName(), TestPatternBackend::kName);
    ASSERT_TRUE(test::waitFor([&] { return video_.GrabFrame() != nullptr; }));

    TestPatternFaults::Instance().SetVanished(true);
    ASSERT_TRUE(test::waitFor([&] { return video_.DeviceLost(); }));
    EXPECT_EQ(video_.GrabFrame(), nullptr);

    // Still away, then back but failing a later step: the lost capture stays.
    EXPECT_LT(video_.RestartCapture(0, &preview, "160x120 24 bit"), 0);
    TestPatternFaults::Instance().SetVanished(false);
    TestPatternFaults::Instance().FailAt(CaptureStep::SetFormat);
    EXPECT_LT(video_.RestartCapture(0, &preview, "160x120 24 bit"), 0);
    EXPECT_TRUE(video_.IsRunning());
    EXPECT_TRUE(video_.DeviceLost());
    EXPECT_EQ(video_.RunningDeviceName(), TestPatternBackend::kName);
    EXPECT_FALSE(preview.IsAttached());
    const auto messages = reporter_.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "Failed to Add the Device Filter to the GraphBuilder");
    EXPECT_EQ(messages[1].text, "Failed to Set Video Format");

    TestPatternFaults::Instance().FailAt(std::nullopt);
    ASSERT_EQ(video_.RestartCapture(0, &preview, "160x120 24 bit"), 0);
    EXPECT_TRUE(video_.IsRunning());
    EXPECT_FALSE(video_.DeviceLost());
    EXPECT_TRUE(preview.IsAttached());
    BITMAPINFOHEADER header;
    ASSERT_TRUE(video_.GetFrameFormat(header));
    EXPECT_EQ(header.biWidth, 160);
    EXPECT_EQ(header.biHeight, 120);
    EXPECT_TRUE(test::waitFor([&] { return video_.GrabFrame() != nullptr; }));

    video_.StopCapture();
    EXPECT_EQ(video_.RunningDeviceName(), "");
}

TEST_F(LostDeviceTest, RestartWithNothingRunningFailsLikeAStart)
{
    TestPatternFaults::Instance().FailAt(CaptureStep::Open);
    EXPECT_LT(video_.RestartCapture(0, nullptr, "320x240 24 bit"), 0);
    EXPECT_FALSE(video_.IsRunning());
    EXPECT_FALSE(video_.DeviceLost());
    EXPECT_EQ(video_.RestartCapture(0, nullptr, "bogus"), 1);
    EXPECT_EQ(reporter_.messages().size(), 2u);
}

} // namespace
} // namespace vistrel
