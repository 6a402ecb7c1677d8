// SPDX-License-Identifier: GPL-3.0-or-later
// CDXVideo's own rules (format texts, lists, crossbar routing, start
// failures) against a scripted backend.
#include "capture/dxvideo.h"

#include "support/fake_capture_backend.h"
#include "support/recording_reporter.h"

#include <QComboBox>
#include <QStringList>

#include <gtest/gtest.h>

#include <cerrno>

#include <climits>

namespace vistrel {
namespace {

using test::FakeBackend;
using test::FakeDeviceSpec;
using test::FakeState;
using test::RecordingReporter;

QStringList Items(const QComboBox& list)
{
    QStringList items;
    for (int i = 0; i < list.count(); ++i)
        items << list.itemText(i);
    return items;
}

struct ParseCase {
    const char* text;
    int width, height, bitCount;
};

TEST(ParseFormatTest, SplitsOnAnyRunOfTheSeparatorCharacters)
{
    const ParseCase cases[] = {
        {"320x240 24 bit", 320, 240, 24},
        {"320x240", 0, 0, 0},
        {"", 0, 0, 0},
        {"320x-240 24 bit", 320, -240, 24},
        {"  640 x 480   16 bits", 640, 480, 16},
        {"320x240x24", 320, 240, 24},
        {"+320x240 24 bit 99", 320, 240, 24},
        {"\t320x240 24", 320, 240, 24},   // tab is no separator but leading space of a number
        {"abcx240 24 bit", 0, 0, 240},    // "a" and "c" are tokens without digits
        {"12ab34x5 6", 12, 34, 5},        // "12a": conversion stops at the first non-digit
        {"99999999999x240 24 bit", INT_MAX, 240, 24},
        {"xxx bits", 0, 0, 0},
    };
    for (const auto& c : cases) {
        int width = -7, height = -7, bitCount = -7;
        CDXVideo::ParseFormat(c.text, width, height, bitCount);
        EXPECT_EQ(width, c.width) << c.text;
        EXPECT_EQ(height, c.height) << c.text;
        EXPECT_EQ(bitCount, c.bitCount) << c.text;
    }
}

TEST(ConnectorNameTest, NamesVideoAndAudioTypesAndFallsBackToUnknown)
{
    EXPECT_EQ(CDXVideo::ConnectorName(1), "Video Tuner");
    EXPECT_EQ(CDXVideo::ConnectorName(5), "Video YRYBY");
    EXPECT_EQ(CDXVideo::ConnectorName(13), "Video Encoder");
    EXPECT_EQ(CDXVideo::ConnectorName(4096), "Audio Tuner");
    EXPECT_EQ(CDXVideo::ConnectorName(4105), "Audio Decoder");
    for (int unknown : {0, 14, 15, 4095, 4106, -1})
        EXPECT_EQ(CDXVideo::ConnectorName(unknown), "Unknown Type") << unknown;
}

class FakeCaptureTest : public ::testing::Test {
protected:
    FakeCaptureTest()
        : state_(std::make_shared<FakeState>())
    {
    }
    CDXVideo& video()
    {
        if (!video_)
            video_ = std::make_unique<CDXVideo>(reporter_, std::make_unique<FakeBackend>(state_));
        return *video_;
    }
    void AddDevice(FakeDeviceSpec description) { state_->devices.push_back(std::move(description)); }
    static FakeDeviceSpec Device(std::vector<CaptureFormat> formats, std::optional<CrossbarInfo> crossbar = {})
    {
        return {"Fake", true, std::move(formats), std::move(crossbar)};
    }

    std::shared_ptr<FakeState> state_;
    RecordingReporter reporter_;
    std::unique_ptr<CDXVideo> video_;
};

struct SelectionCase {
    std::vector<CaptureFormat> formats;
    QStringList entries;
    QString selected;
    int count;
};

TEST_F(FakeCaptureTest, FormatListIsSortedWithoutDuplicatesAndPrefers320x240At24Bits)
{
    const SelectionCase cases[] = {
        {{{640, 480, 24}, {320, 240, 16}, {320, 240, 24}, {160, 120, 24}},
         {"160x120 24 bit", "320x240 16 bit", "320x240 24 bit", "640x480 24 bit"},
         "320x240 24 bit",
         4},
        {{{640, 480, 24}, {320, 240, 32}, {320, 240, 16}},
         {"320x240 16 bit", "320x240 32 bit", "640x480 24 bit"},
         "320x240 16 bit",
         3},
        {{{640, 480, 24}, {1280, 720, 16}}, {"1280x720 16 bit", "640x480 24 bit"}, "1280x720 16 bit", 2},
        // Same text twice: listed once, counted twice. Unaccepted bit counts are neither.
        {{{320, 240, 12}, {320, 240, 12}, {320, 240, 15}, {640, 480, 9}, {640, 480, 0}},
         {"320x240 12 bit", "640x480 9 bit"},
         "320x240 12 bit",
         3},
    };
    for (const auto& c : cases) {
        state_->devices = {Device(c.formats)};
        QComboBox list;
        EXPECT_EQ(video().ListFormats(0, &list), c.count);
        EXPECT_EQ(Items(list), c.entries);
        EXPECT_EQ(list.currentText(), c.selected);
        EXPECT_TRUE(list.isEnabled());
        EXPECT_EQ(video().ListFormats(0, nullptr), c.count);
    }
}

TEST_F(FakeCaptureTest, FormatListWithoutAcceptableFormatsStaysEmptyAndDisabled)
{
    AddDevice(Device({{320, 240, 15}, {640, 480, 48}}));
    QComboBox list;
    list.addItem("old");
    EXPECT_EQ(video().ListFormats(0, &list), 0);
    EXPECT_EQ(list.count(), 0);
    EXPECT_FALSE(list.isEnabled());
}

TEST_F(FakeCaptureTest, FormatListFallsBackToTheRunningDeviceOnlyWhenEnumerationFails)
{
    AddDevice(Device({{320, 240, 24}, {640, 480, 24}}));
    QComboBox list;
    // No device with that number: failure even though enumeration works.
    EXPECT_EQ(video().ListFormats(3, &list), -1);
    EXPECT_FALSE(list.isEnabled());
    // Negative number without a running device: nothing to fall back to.
    EXPECT_EQ(video().ListFormats(-1, &list), -1);

    ASSERT_EQ(video().StartCapture(0, nullptr, "640x480 24 bit"), 0);
    EXPECT_EQ(video().ListFormats(-1, &list), 2);
    EXPECT_EQ(list.currentText(), "320x240 24 bit");
    state_->enumerable = false;
    EXPECT_EQ(video().ListFormats(0, &list), 2);
    video().StopCapture();
    EXPECT_EQ(video().ListFormats(0, &list), -1);
    EXPECT_EQ(list.count(), 0);
}

TEST_F(FakeCaptureTest, DeviceListSkipsNamelessDevicesButTheyKeepTheirNumber)
{
    state_->devices = {{"Nameless", false, {{320, 240, 24}}, {}},
                       {"Second", true, {{320, 240, 24}}, {}},
                       {"Third", true, {{640, 480, 16}}, {}}};
    QComboBox list;
    EXPECT_EQ(video().ListDevices(&list), 2);
    EXPECT_EQ(Items(list), (QStringList{"Second", "Third"}));
    EXPECT_EQ(list.currentIndex(), 0);
    EXPECT_EQ(video().ListDevices(nullptr), -1);

    bool found = true;
    EXPECT_TRUE(video().FindDevice(0, found));
    EXPECT_FALSE(found);
    EXPECT_FALSE(video().FindDevice(-1, found));

    // Device 0 cannot be opened by its number; device 2 is "Third".
    EXPECT_LT(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    ASSERT_EQ(reporter_.messages().size(), 1u);
    EXPECT_EQ(reporter_.messages()[0].text, "Failed to Add the Device Filter to the GraphBuilder");
    EXPECT_EQ(video().StartCapture(2, nullptr, "640x480 16 bit"), 0);
    EXPECT_EQ(video().ListFormats(2, nullptr), 1);
}

TEST_F(FakeCaptureTest, NoDevicesLeavesTheDeviceListAlone)
{
    state_->enumerable = false;
    QComboBox list;
    list.addItem("kept");
    EXPECT_EQ(video().ListDevices(&list), -1);
    EXPECT_EQ(Items(list), QStringList{"kept"});
    bool found = true;
    EXPECT_FALSE(video().FindDevice(0, found));
    EXPECT_EQ(video().ListFormats(0, nullptr), -1);
}

TEST_F(FakeCaptureTest, UnusableFormatTextIsRefusedAndLeavesARunningCaptureRunning)
{
    AddDevice(Device({{320, 240, 24}}));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    for (const char* text : {"320x240", "", "320x-240 24 bit", "0x240 24 bit"}) {
        reporter_.clear();
        EXPECT_EQ(video().StartCapture(0, nullptr, text), 1) << text;
        ASSERT_EQ(reporter_.messages().size(), 1u);
        EXPECT_EQ(reporter_.messages()[0].text, "The Device Format is not supported");
        EXPECT_EQ(reporter_.messages()[0].caption, "Initialize Failed");
        EXPECT_EQ(reporter_.messages()[0].icon, MessageIcon::Error);
        EXPECT_TRUE(video().IsRunning());
    }
    EXPECT_EQ(state_->stopped, 0);
}

TEST_F(FakeCaptureTest, BitCountOutsideTheGrabberTableFailsAtTheGrabber)
{
    AddDevice(Device({{320, 240, 15}, {320, 240, 24}}));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    EXPECT_EQ(video().StartCapture(0, nullptr, "320x240 15 bit"), kEFail);
    ASSERT_EQ(reporter_.messages().size(), 1u);
    EXPECT_EQ(reporter_.messages()[0].text, "Failed to Add Grabber Filter");
    EXPECT_EQ(reporter_.messages()[0].caption, "Init Failed");
    EXPECT_FALSE(video().IsRunning());
    // The running device was stopped before the new one was opened, the failed one after.
    EXPECT_EQ(state_->opened, 2);
    EXPECT_EQ(state_->stopped, 2);
}

TEST_F(FakeCaptureTest, FormatTheDeviceDoesNotOfferFailsToSetTheFormat)
{
    AddDevice(Device({{320, 240, 24}}));
    EXPECT_EQ(video().StartCapture(0, nullptr, "320x240 16 bit"), kNoMatchingFormat);
    ASSERT_EQ(reporter_.messages().size(), 1u);
    EXPECT_EQ(reporter_.messages()[0].text, "Failed to Set Video Format");
    EXPECT_FALSE(video().IsRunning());
}

TEST_F(FakeCaptureTest, CrossbarListsVideoInputsByPinAndSkipsAudio)
{
    using namespace connector;
    AddDevice(Device({{320, 240, 24}},
                     CrossbarInfo{{kVideoTuner, kVideoComposite, kVideoSVideo, kAudioLine}, {kVideoDecoder}}));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    // The start routes video input 0 to the decoder.
    ASSERT_EQ(state_->routes.size(), 1u);
    EXPECT_EQ(state_->routes[0], std::make_pair(0, 0));

    QComboBox list;
    EXPECT_EQ(video().ListInputs(&list), 3);
    EXPECT_EQ(Items(list), (QStringList{"0: Video Tuner", "1: Video Composite", "2: S-Video"}));
    EXPECT_EQ(list.currentIndex(), 0);
    EXPECT_TRUE(list.isEnabled());
    EXPECT_EQ(video().ListInputs(nullptr), 3);

    EXPECT_EQ(video().SelectInput(2), 1);
    EXPECT_EQ(state_->routes.back(), std::make_pair(0, 2));

    // A route the device refuses is a failed route, never a silent success
    // that would file one input's pictures under another camera.
    state_->routeResult = -EBUSY;
    EXPECT_EQ(video().SelectInput(1), 0);
}

TEST_F(FakeCaptureTest, AudioPinBetweenVideoPinsIsSkippedWhenRouting)
{
    using namespace connector;
    AddDevice(Device({{320, 240, 24}}, CrossbarInfo{{kVideoComposite, kAudioLine, kVideoSVideo}, {4105, kVideoDecoder}}));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    QComboBox list;
    EXPECT_EQ(video().ListInputs(&list), 2);
    EXPECT_EQ(Items(list), (QStringList{"0: Video Composite", "2: S-Video"}));

    EXPECT_EQ(video().SelectInput(1), 1);
    EXPECT_EQ(state_->routes.back(), std::make_pair(1, 2));
    // Past the last video input: the input pin count, which the crossbar refuses.
    EXPECT_EQ(video().SelectInput(2), 1);
    EXPECT_EQ(state_->routes.back(), std::make_pair(1, 3));
}

TEST_F(FakeCaptureTest, TenOrMorePinsSortAsTextWhileRoutingFollowsTheListPosition)
{
    CrossbarInfo crossbar;
    crossbar.inputTypes.assign(12, connector::kVideoComposite);
    crossbar.outputTypes = {connector::kVideoDecoder};
    AddDevice(Device({{320, 240, 24}}, crossbar));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);

    QComboBox list;
    EXPECT_EQ(video().ListInputs(&list), 12);
    QStringList expected = {"0: Video Composite", "10: Video Composite", "11: Video Composite"};
    for (int pin = 1; pin <= 9; ++pin)
        expected << QString("%1: Video Composite").arg(pin);
    EXPECT_EQ(Items(list), expected);
    // Choosing list position 2 ("11: ...") routes video input 2, not the pin the entry names.
    EXPECT_EQ(video().SelectInput(2), 1);
    EXPECT_EQ(state_->routes.back(), std::make_pair(0, 2));
}

TEST_F(FakeCaptureTest, CrossbarWithoutDecoderOutputStillAnswersRouteRequested)
{
    AddDevice(Device({{320, 240, 24}}, CrossbarInfo{{connector::kVideoComposite}, {13, 0}}));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    EXPECT_EQ(video().SelectInput(0), 1);
    EXPECT_EQ(state_->routes.back(), std::make_pair(2, 0));
}

TEST_F(FakeCaptureTest, InputsWithoutCaptureOrCrossbar)
{
    AddDevice(Device({{320, 240, 24}}));
    QComboBox list;
    list.addItem("old");
    EXPECT_EQ(video().SelectInput(0), -1);
    EXPECT_EQ(video().ListInputs(&list), -1);
    EXPECT_EQ(list.count(), 0);
    EXPECT_FALSE(list.isEnabled());

    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    EXPECT_EQ(video().SelectInput(0), 0);
    EXPECT_EQ(video().ListInputs(&list), -1);
    EXPECT_FALSE(list.isEnabled());

    video().StopCapture();
    EXPECT_EQ(video().SelectInput(0), -1);
    EXPECT_FALSE(video().IsRunning());
    BITMAPINFOHEADER header;
    EXPECT_FALSE(video().GetFrameFormat(header));
}

TEST_F(FakeCaptureTest, CrossbarWithOnlyAudioGivesAnEmptyButEnabledList)
{
    AddDevice(Device({{320, 240, 24}}, CrossbarInfo{{connector::kAudioLine}, {connector::kVideoDecoder}}));
    ASSERT_EQ(video().StartCapture(0, nullptr, "320x240 24 bit"), 0);
    QComboBox list;
    EXPECT_EQ(video().ListInputs(&list), 0);
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(list.isEnabled());
}

} // namespace
} // namespace vistrel
