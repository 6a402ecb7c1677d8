// SPDX-License-Identifier: GPL-3.0-or-later
// The whole road of a frame through CDXVideo on the built-in test-pattern
// device, including every failure its fault switches can cause.
#include "capture/capture_preview.h"
#include "capture/dxvideo.h"
#include "capture/test_pattern.h"

#include "support/frame_pixels.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"

#include <QComboBox>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

namespace vistrel {
namespace {

using test::RecordingReporter;
using test::rgbAt;
using test::waitFor;

// What a colour looks like after the layout of `bitCount` has stored it;
// grey is the colour's luma (ITU-R BT.601 weights), rounded.
uint32_t Stored(uint32_t rgb, int bitCount)
{
    if (bitCount == 8) {
        const uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
        return (r * 299 + g * 587 + b * 114 + 500) / 1000 * 0x010101u;
    }
    if (bitCount == 16)
        return rgb & 0xF8F8F8u;
    return rgb;
}

// Left and right end of the white run in row y; (-1, -1) when there is none.
std::pair<int, int> WhiteRun(const Frame& frame, int y)
{
    const uint32_t white = Stored(kTestPatternSquare, frame.bitCount());
    int left = -1, right = -1;
    for (int x = 0; x < frame.width(); ++x) {
        if (rgbAt(frame, x, y) == white) {
            if (left < 0)
                left = x;
            right = x;
        }
    }
    return {left, right};
}

class TestPatternTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("VISTREL_NO_V4L2", "1");
        TestPatternFaults::Instance().Reset();
        video_ = std::make_unique<CDXVideo>(reporter_);
    }
    void TearDown() override
    {
        video_.reset();
        TestPatternFaults::Instance().Reset();
        qunsetenv("VISTREL_NO_V4L2");
    }

    // Grabs until a frame satisfies `pred`; null when none did before the deadline.
    std::unique_ptr<Frame> GrabUntil(const std::function<bool(const Frame&)>& pred)
    {
        std::unique_ptr<Frame> frame;
        waitFor([&] {
            frame = video_->GrabFrame();
            return frame && pred(*frame);
        });
        return frame && pred(*frame) ? std::move(frame) : nullptr;
    }
    std::unique_ptr<Frame> GrabAny()
    {
        return GrabUntil([](const Frame&) { return true; });
    }

    RecordingReporter reporter_;
    std::unique_ptr<CDXVideo> video_;
};

TEST_F(TestPatternTest, IsTheOnlyDeviceWithV4l2HiddenAndOffersEveryFormat)
{
    QComboBox devices, formats;
    EXPECT_EQ(video_->ListDevices(&devices), 1);
    EXPECT_EQ(devices.itemText(0), "Vistrel Test Pattern");
    EXPECT_EQ(video_->ListFormats(0, &formats), 20);
    EXPECT_EQ(formats.currentText(), "320x240 24 bit");
    EXPECT_GE(formats.findText("1920x1080 32 bit"), 0);
    EXPECT_GE(formats.findText("160x120 8 bit"), 0);

    ASSERT_EQ(video_->StartCapture(0, nullptr, "320x240 24 bit"), 0);
    QComboBox inputs;
    EXPECT_EQ(video_->ListInputs(&inputs), 4);
    EXPECT_EQ(inputs.itemText(0), "0: Video Composite");
    EXPECT_EQ(inputs.itemText(1), "1: Video Composite");
    EXPECT_EQ(inputs.itemText(2), "2: S-Video");
    EXPECT_EQ(inputs.itemText(3), "3: Video Tuner");
}

TEST_F(TestPatternTest, EveryFailingStepShowsItsTextAndLeavesTheObjectIdle)
{
    const std::pair<CaptureStep, const char*> cases[] = {
        {CaptureStep::Open, "Failed to Add the Device Filter to the GraphBuilder"},
        {CaptureStep::SetFormat, "Failed to Set Video Format"},
        {CaptureStep::Grabber, "Failed to Add Grabber Filter"},
        {CaptureStep::Render, "Failed to Render Stream, Device may already be in use"},
        {CaptureStep::Preview, "Failed to Setup Video Window"},
        {CaptureStep::Start, "Failed to Start Video"},
    };
    CapturePreview preview;
    for (const auto& [step, text] : cases) {
        TestPatternFaults::Instance().FailAt(std::nullopt);
        ASSERT_EQ(video_->StartCapture(0, &preview, "320x240 24 bit"), 0) << text;
        ASSERT_TRUE(GrabAny()) << text;

        reporter_.clear();
        TestPatternFaults::Instance().FailAt(step);
        EXPECT_LT(video_->StartCapture(0, &preview, "160x120 24 bit"), 0) << text;
        const auto messages = reporter_.messages();
        ASSERT_EQ(messages.size(), 1u) << text;
        EXPECT_EQ(messages[0].text, text);
        EXPECT_EQ(messages[0].caption, "Init Failed");
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);

        EXPECT_FALSE(video_->IsRunning()) << text;
        EXPECT_FALSE(video_->GrabFrame()) << text;
        BITMAPINFOHEADER header;
        EXPECT_FALSE(video_->GetFrameFormat(header)) << text;
        EXPECT_EQ(video_->SelectInput(0), -1) << text;
        EXPECT_EQ(video_->ListInputs(nullptr), -1) << text;
        EXPECT_FALSE(preview.IsAttached()) << text;
    }
}

TEST_F(TestPatternTest, FormatsOutsideTheDeviceAndMissingDevicesFailWithTheirTexts)
{
    const std::pair<int, const char*> cases[] = {
        {1, "Failed to Add the Device Filter to the GraphBuilder"},
        {-1, "Failed to Add the Device Filter to the GraphBuilder"},
        {0, "Failed to Set Video Format"},
    };
    for (const auto& [device, text] : cases) {
        reporter_.clear();
        EXPECT_LT(video_->StartCapture(device, nullptr, "800x600 24 bit"), 0);
        ASSERT_EQ(reporter_.messages().size(), 1u);
        EXPECT_EQ(reporter_.messages()[0].text, text);
        EXPECT_FALSE(video_->IsRunning());
    }
}

TEST_F(TestPatternTest, StartWhileRunningReplacesTheRunningCapture)
{
    ASSERT_EQ(video_->StartCapture(0, nullptr, "320x240 24 bit"), 0);
    ASSERT_TRUE(GrabAny());
    ASSERT_EQ(video_->StartCapture(0, nullptr, "640x480 16 bit"), 0);
    BITMAPINFOHEADER header;
    ASSERT_TRUE(video_->GetFrameFormat(header));
    EXPECT_EQ(header.biWidth, 640);
    EXPECT_EQ(header.biHeight, 480);
    EXPECT_EQ(header.biBitCount, 16);
    EXPECT_EQ(header.biSizeImage, 640u * 480u * 2u);
    const auto frame = GrabAny();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 640);
    EXPECT_EQ(frame->bitCount(), 16);
    EXPECT_EQ(frame->size(), 640u * 480u * 2u);
    EXPECT_EQ(frame->header.bmi.biSize, 40u);
    EXPECT_EQ(frame->header.bmi.biCompression, 0u);
}

TEST_F(TestPatternTest, GrabBeforeTheFirstFrameGivesNothing)
{
    TestPatternFaults::Instance().SetStalled(true);
    ASSERT_EQ(video_->StartCapture(0, nullptr, "320x240 24 bit"), 0);
    EXPECT_TRUE(video_->IsRunning());
    EXPECT_FALSE(video_->GrabFrame());
    BITMAPINFOHEADER header;
    EXPECT_TRUE(video_->GetFrameFormat(header));
    EXPECT_EQ(header.biWidth, 320);

    TestPatternFaults::Instance().SetStalled(false);
    EXPECT_TRUE(GrabAny());
    video_->StopCapture();
    EXPECT_FALSE(video_->GrabFrame());
}

TEST_F(TestPatternTest, EachInputShowsItsBackgroundInEveryLayout)
{
    for (int bitCount : {8, 16, 24, 32}) {
        const std::string format = "160x120 " + std::to_string(bitCount) + " bit";
        ASSERT_EQ(video_->StartCapture(0, nullptr, format), 0) << format;
        for (int input = 0; input < 4; ++input) {
            ASSERT_EQ(video_->SelectInput(input), 1);
            const uint32_t expected = Stored(kTestPatternBackgrounds[input], bitCount);
            const auto frame = GrabUntil([&](const Frame& f) { return rgbAt(f, 0, 0) == expected; });
            ASSERT_TRUE(frame) << format << " input " << input;
            EXPECT_EQ(frame->bitCount(), bitCount);
            EXPECT_EQ(rgbAt(*frame, 159, 119), expected);
            const auto run = WhiteRun(*frame, 60);
            if (input < 3)
                EXPECT_EQ(run.second - run.first + 1, 32) << format << " input " << input;
            else
                EXPECT_EQ(run.first, -1) << format << " input 3 has no square";
        }
    }
}

// The multiplexer files the next grab under the newly routed input's camera,
// so no frame drawn before the route may come out of it.
TEST_F(TestPatternTest, TheFirstGrabAfterARouteShowsTheNewInput)
{
    ASSERT_EQ(video_->StartCapture(0, nullptr, "160x120 24 bit"), 0);
    for (int round = 0; round < 12; ++round) {
        const int input = round % 2 ? 3 : 1;
        ASSERT_EQ(video_->SelectInput(input), 1);
        const auto frame = GrabAny();
        ASSERT_TRUE(frame);
        EXPECT_EQ(rgbAt(*frame, 0, 0), Stored(kTestPatternBackgrounds[input], 24)) << "round " << round;
    }
}

TEST_F(TestPatternTest, SquareIsCentredVerticallyAndMovesAcross)
{
    ASSERT_EQ(video_->StartCapture(0, nullptr, "320x240 24 bit"), 0);
    std::set<int> lefts;
    waitFor([&] {
        if (auto frame = video_->GrabFrame()) {
            const auto [left, right] = WhiteRun(*frame, 120);
            EXPECT_EQ(right - left + 1, 64);
            EXPECT_GE(left, 0);
            EXPECT_LE(right, 319);
            // 64 rows from row 88 to row 151.
            EXPECT_EQ(rgbAt(*frame, left, 88), 0xFFFFFFu);
            EXPECT_EQ(rgbAt(*frame, left, 151), 0xFFFFFFu);
            EXPECT_EQ(rgbAt(*frame, left, 87), kTestPatternBackgrounds[0]);
            EXPECT_EQ(rgbAt(*frame, left, 152), kTestPatternBackgrounds[0]);
            lefts.insert(left);
        }
        return lefts.size() >= 3;
    });
    EXPECT_GE(lefts.size(), 3u);
}

TEST_F(TestPatternTest, VanishedDeviceDeliversNothingUntilRestartedAfterItCameBack)
{
    ASSERT_EQ(video_->StartCapture(0, nullptr, "320x240 24 bit"), 0);
    ASSERT_TRUE(GrabAny());
    EXPECT_FALSE(video_->DeviceLost());

    TestPatternFaults::Instance().SetVanished(true);
    EXPECT_TRUE(waitFor([&] { return video_->DeviceLost(); }));
    EXPECT_FALSE(video_->GrabFrame());
    // The capture stays started until it is stopped.
    EXPECT_TRUE(video_->IsRunning());
    QComboBox devices;
    devices.addItem("kept");
    EXPECT_EQ(video_->ListDevices(&devices), -1);
    EXPECT_EQ(devices.itemText(0), "kept");

    TestPatternFaults::Instance().SetVanished(false);
    EXPECT_FALSE(video_->GrabFrame()) << "a lost device stays lost";
    ASSERT_EQ(video_->StartCapture(0, nullptr, "320x240 24 bit"), 0);
    EXPECT_FALSE(video_->DeviceLost());
    EXPECT_TRUE(GrabAny());
}

TEST_F(TestPatternTest, GrabsAndRoutesOnOneThreadSurviveStartsAndStopsOnAnother)
{
    std::atomic<bool> done{false};
    std::atomic<int> frames{0};
    std::atomic<int> malformed{0};
    std::thread imageThread([&] {
        int input = 0;
        while (!done) {
            if (auto frame = video_->GrabFrame()) {
                ++frames;
                const auto& bmi = frame->header.bmi;
                if (frame->size() != size_t(bmi.biWidth) * size_t(bmi.biHeight) * size_t(bmi.biBitCount / 8))
                    ++malformed;
            }
            video_->SelectInput(input++ % 5);
            video_->ListInputs(nullptr);
            video_->IsRunning();
            BITMAPINFOHEADER header;
            video_->GetFrameFormat(header);
        }
    });
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(video_->StartCapture(0, nullptr, i % 2 ? "320x240 24 bit" : "160x120 8 bit"), 0);
        if (i % 3 == 0) {
            const int seen = frames;
            waitFor([&] { return frames > seen; });
        }
        video_->StopCapture();
    }
    done = true;
    imageThread.join();
    EXPECT_GT(frames.load(), 0);
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_TRUE(reporter_.messages().empty());
}

TEST_F(TestPatternTest, VisiblePreviewPaintsTheRoutedInputAndAHiddenOneFetchesNothing)
{
    CapturePreview preview;
    preview.resize(160, 120);
    preview.show();
    ASSERT_EQ(video_->StartCapture(0, &preview, "320x240 24 bit"), 0);
    EXPECT_TRUE(preview.IsAttached());
    auto corner = [&] { return preview.grab().toImage().pixel(2, 2) & 0xFFFFFFu; };
    EXPECT_TRUE(waitFor([&] { return corner() == kTestPatternBackgrounds[0]; }));
    video_->SelectInput(2);
    EXPECT_TRUE(waitFor([&] { return corner() == kTestPatternBackgrounds[2]; }));

    preview.hide();
    const uint64_t fetched = preview.FramesFetched();
    // Let several new frames arrive (the square moves between them).
    std::set<std::pair<int, int>> seen;
    waitFor([&] {
        if (auto frame = video_->GrabFrame())
            seen.insert(WhiteRun(*frame, 120));
        return seen.size() >= 3;
    });
    EXPECT_EQ(preview.FramesFetched(), fetched);

    video_->StopCapture();
    EXPECT_FALSE(preview.IsAttached());
}

} // namespace
} // namespace vistrel
