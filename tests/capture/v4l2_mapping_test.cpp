// SPDX-License-Identifier: GPL-3.0-or-later
// The V4L2 answers of a device, recorded as filled structures, and the
// format and input lists made of them.
#include "capture/v4l2_mapping.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace vistrel {
namespace {

// A device as its ioctl answers describe it.
struct RecordedDevice {
    struct Format {
        uint32_t pixelFormat;
        uint32_t flags = 0;
    };
    std::vector<Format> formats;
    // Answers of VIDIOC_ENUM_FRAMESIZES per pixel format; formats without
    // an entry do not support the call.
    std::map<uint32_t, std::vector<v4l2_frmsizeenum>> sizes;
    // Sizes VIDIOC_TRY_FMT keeps; it turns any other into 720x576.
    std::set<std::pair<uint32_t, uint32_t>> triedSizes;
    std::vector<std::pair<std::string, uint32_t>> inputs; // name, type

    int operator()(unsigned long request, void* arg) const
    {
        switch (request) {
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(arg);
            if (d->index >= formats.size())
                return -EINVAL;
            d->pixelformat = formats[d->index].pixelFormat;
            d->flags = formats[d->index].flags;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* s = static_cast<v4l2_frmsizeenum*>(arg);
            const auto it = sizes.find(s->pixel_format);
            if (it == sizes.end() || s->index >= it->second.size())
                return -EINVAL;
            const uint32_t index = s->index;
            *s = it->second[index];
            s->index = index;
            return 0;
        }
        case VIDIOC_TRY_FMT: {
            auto& pix = static_cast<v4l2_format*>(arg)->fmt.pix;
            if (!triedSizes.count({pix.width, pix.height})) {
                pix.width = 720;
                pix.height = 576;
            }
            return 0;
        }
        case VIDIOC_ENUMINPUT: {
            auto* input = static_cast<v4l2_input*>(arg);
            if (input->index >= inputs.size())
                return -EINVAL;
            std::strncpy(reinterpret_cast<char*>(input->name), inputs[input->index].first.c_str(),
                         sizeof input->name - 1);
            input->type = inputs[input->index].second;
            return 0;
        }
        default:
            return -ENOTTY;
        }
    }
};

v4l2_frmsizeenum Discrete(uint32_t pixelFormat, uint32_t width, uint32_t height)
{
    v4l2_frmsizeenum size{};
    size.pixel_format = pixelFormat;
    size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    size.discrete = {width, height};
    return size;
}

v4l2_frmsizeenum Stepwise(uint32_t type, uint32_t minW, uint32_t maxW, uint32_t stepW, uint32_t minH, uint32_t maxH,
                          uint32_t stepH)
{
    v4l2_frmsizeenum size{};
    size.type = type;
    size.stepwise = {minW, maxW, stepW, minH, maxH, stepH};
    return size;
}

TEST(V4l2MappingTest, ListsFormatsAndSizesInEnumerationOrderWithTheirBitCounts)
{
    RecordedDevice device;
    device.formats = {{V4L2_PIX_FMT_SGRBG8},                            // libv4lconvert only: listed last
                      {V4L2_PIX_FMT_YUYV},
                      {V4L2_PIX_FMT_H264},                              // not listed
                      {V4L2_PIX_FMT_BGR24, V4L2_FMT_FLAG_EMULATED},     // made up by libv4l2
                      {V4L2_PIX_FMT_MJPEG},
                      {V4L2_PIX_FMT_NV12},
                      {V4L2_PIX_FMT_GREY},
                      {V4L2_PIX_FMT_XBGR32},
                      {V4L2_PIX_FMT_UYVY},
                      {V4L2_PIX_FMT_YUV410}};
    device.sizes[V4L2_PIX_FMT_YUYV] = {Discrete(V4L2_PIX_FMT_YUYV, 640, 480), Discrete(V4L2_PIX_FMT_YUYV, 352, 288)};
    device.sizes[V4L2_PIX_FMT_H264] = {Discrete(V4L2_PIX_FMT_H264, 640, 480)};
    device.sizes[V4L2_PIX_FMT_SGRBG8] = {Discrete(V4L2_PIX_FMT_SGRBG8, 1280, 720), Discrete(V4L2_PIX_FMT_SGRBG8, 640, 480)};
    device.sizes[V4L2_PIX_FMT_MJPEG] = {Discrete(V4L2_PIX_FMT_MJPEG, 1280, 720)};
    // Stepwise: 176x144 to 1280x720, steps of 8 and 2.
    device.sizes[V4L2_PIX_FMT_NV12] = {Stepwise(V4L2_FRMSIZE_TYPE_STEPWISE, 176, 1280, 8, 144, 720, 2)};
    // Steps of 60 and 20 from 100x100 only meet 160x120 and 640x480.
    device.sizes[V4L2_PIX_FMT_GREY] = {Stepwise(V4L2_FRMSIZE_TYPE_STEPWISE, 100, 2000, 60, 100, 2000, 20)};
    device.sizes[V4L2_PIX_FMT_XBGR32] = {Stepwise(V4L2_FRMSIZE_TYPE_CONTINUOUS, 1, 1024, 1, 1, 768, 1)};
    device.sizes[V4L2_PIX_FMT_YUV410] = {Stepwise(V4L2_FRMSIZE_TYPE_STEPWISE, 160, 160, 0, 120, 120, 0)};
    // UYVY has no size enumeration: the driver keeps 320x240 when tried, and
    // turns every other size into 720x576, which is thus kept as well.
    device.triedSizes = {{320, 240}};

    std::vector<CaptureFormat> listed;
    std::vector<uint32_t> pixelFormats;
    for (const V4l2Mode& mode : EnumerateModes(device)) {
        listed.push_back(mode.format);
        pixelFormats.push_back(mode.pixelFormat);
    }
    const std::vector<CaptureFormat> expected = {
        {640, 480, 16},  {352, 288, 16},                                                    // YUYV
        {1280, 720, 24},                                                                   // MJPEG
        {320, 240, 12},  {640, 480, 12},  {800, 600, 12},  {1280, 720, 12},                // NV12
        {160, 120, 8},   {640, 480, 8},                                                    // GREY
        {160, 120, 32},  {320, 240, 32},  {640, 480, 32},  {800, 600, 32}, {1024, 768, 32}, // XBGR32
        {320, 240, 16},  {720, 576, 16},                                                   // UYVY
        {160, 120, 9},                                                                     // YUV410
        {1280, 720, 24}, {640, 480, 24},                                                   // SGRBG8
    };
    EXPECT_EQ(listed, expected);
    ASSERT_EQ(pixelFormats.size(), expected.size());
    EXPECT_EQ(pixelFormats[2], V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(pixelFormats[14], V4L2_PIX_FMT_UYVY);

    // The first mode in enumeration order wins, the device's own formats
    // before those only libv4lconvert converts.
    const auto modes = EnumerateModes(device);
    const V4l2Mode* mode = FindMode(modes, {640, 480, 16});
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelFormat, V4L2_PIX_FMT_YUYV);
    mode = FindMode(modes, {1280, 720, 24});
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelFormat, V4L2_PIX_FMT_MJPEG);
    mode = FindMode(modes, {640, 480, 24});
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelFormat, V4L2_PIX_FMT_SGRBG8);
}

TEST(V4l2MappingTest, BitCountsOfEveryListedPixelFormat)
{
    const std::pair<uint32_t, int> cases[] = {
        {V4L2_PIX_FMT_GREY, 8},    {V4L2_PIX_FMT_YVU410, 9},  {V4L2_PIX_FMT_YVU420, 12}, {V4L2_PIX_FMT_NV21, 12},
        {V4L2_PIX_FMT_VYUY, 16},   {V4L2_PIX_FMT_XRGB555, 16}, {V4L2_PIX_FMT_RGB565, 16}, {V4L2_PIX_FMT_RGB24, 24},
        {V4L2_PIX_FMT_JPEG, 24},   {V4L2_PIX_FMT_ARGB32, 32}, {V4L2_PIX_FMT_BGR32, 32},  {V4L2_PIX_FMT_H264, 0},
        {V4L2_PIX_FMT_NV16, 0},    {V4L2_PIX_FMT_Y16, 0},
    };
    for (const auto& [format, bits] : cases)
        EXPECT_EQ(BitCountForPixelFormat(format), bits) << std::string(reinterpret_cast<const char*>(&format), 4);
}

TEST(V4l2MappingTest, ConnectorTypesComeFromTheInputTypeAndName)
{
    struct Case {
        const char* name;
        uint32_t type;
        bool usb;
        int connector;
    };
    const Case cases[] = {
        {"Television", V4L2_INPUT_TYPE_TUNER, false, 1},
        {"Composite1", V4L2_INPUT_TYPE_CAMERA, false, 2},
        {"S-Video", V4L2_INPUT_TYPE_CAMERA, false, 3},
        {"SVIDEO 2", V4L2_INPUT_TYPE_CAMERA, true, 3},
        {"RGB", V4L2_INPUT_TYPE_CAMERA, false, 4},
        {"Component", V4L2_INPUT_TYPE_CAMERA, false, 5},
        {"YPbPr in", V4L2_INPUT_TYPE_CAMERA, false, 5},
        {"SDI", V4L2_INPUT_TYPE_CAMERA, false, 6},
        {"usb", V4L2_INPUT_TYPE_CAMERA, false, 11},
        {"Camera 1", V4L2_INPUT_TYPE_CAMERA, true, 11},
        {"Webcam 0", V4L2_INPUT_TYPE_CAMERA, false, 7}, // a sensor: parallel digital
        {"HDMI 0", V4L2_INPUT_TYPE_CAMERA, false, 6},   // a serial digital link
        {"DVI-D", V4L2_INPUT_TYPE_CAMERA, true, 6},
        {"Input 3", V4L2_INPUT_TYPE_CAMERA, false, 0},
    };
    for (const Case& c : cases) {
        v4l2_input input{};
        std::strncpy(reinterpret_cast<char*>(input.name), c.name, sizeof input.name - 1);
        input.type = c.type;
        EXPECT_EQ(ConnectorTypeForInput(input, c.usb), c.connector) << c.name;
    }

    RecordedDevice card;
    card.inputs = {{"Television", V4L2_INPUT_TYPE_TUNER}, {"Composite", V4L2_INPUT_TYPE_CAMERA},
                   {"S-Video", V4L2_INPUT_TYPE_CAMERA}};
    std::vector<int> types;
    EXPECT_TRUE(EnumerateInputTypes(card, false, types));
    EXPECT_EQ(types, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(EnumerateInputTypes(RecordedDevice{}, true, types));
    EXPECT_TRUE(types.empty());
}

TEST(V4l2MappingTest, CapabilitiesOfTheNodeDecideWhetherItIsACaptureDevice)
{
    v4l2_capability capability{};
    // A metadata node of a camera: the driver can capture, this node cannot.
    capability.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
    capability.device_caps = V4L2_CAP_META_CAPTURE;
    EXPECT_FALSE(IsCaptureDevice(capability));
    capability.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    EXPECT_TRUE(IsCaptureDevice(capability));
    // Old drivers without per-node capabilities.
    capability.capabilities = V4L2_CAP_VIDEO_CAPTURE;
    capability.device_caps = 0;
    EXPECT_TRUE(IsCaptureDevice(capability));

    std::strcpy(reinterpret_cast<char*>(capability.bus_info), "usb-0000:00:14.0-6");
    EXPECT_TRUE(IsUsbBus(capability));
    std::strcpy(reinterpret_cast<char*>(capability.bus_info), "PCI:0000:03:00.0");
    EXPECT_FALSE(IsUsbBus(capability));
}

TEST(V4l2MappingTest, FramePeriodFromTheStreamParameters)
{
    const std::tuple<uint32_t, uint32_t, int> cases[] = {
        {1, 30, 33}, {1001, 30000, 33}, {1, 25, 40}, {2, 1, 2000}, {0, 0, 77}, {1, 0, 77}, {1, 100000, 1},
    };
    for (const auto& [numerator, denominator, ms] : cases) {
        v4l2_streamparm parm{};
        parm.parm.capture.timeperframe = {numerator, denominator};
        EXPECT_EQ(FrameIntervalMs(parm, 77), ms) << numerator << "/" << denominator;
    }
}

TEST(V4l2MappingTest, StreamingStopsOnFailuresAndSilenceWithoutSpinning)
{
    EXPECT_EQ(StepAfterWait(1), StreamStep::Deliver);
    // An input without a signal is silent too: silence is checked, not a failure.
    EXPECT_EQ(StepAfterWait(0), StreamStep::Check);
    EXPECT_EQ(StepAfterWait(-EINTR), StreamStep::Retry);
    EXPECT_EQ(StepAfterWait(-EBADF), StreamStep::Fail);

    v4l2_buffer good{};
    good.bytesused = 1000;
    v4l2_buffer flagged = good;
    flagged.flags = V4L2_BUF_FLAG_ERROR;
    v4l2_buffer empty{};
    struct Case {
        short events;
        int result;
        const v4l2_buffer& buffer;
        StreamStep step;
    };
    const Case cases[] = {
        {POLLIN, 0, good, StreamStep::Deliver},
        {POLLIN, 0, flagged, StreamStep::Skip},
        {POLLIN, 0, empty, StreamStep::Skip},
        {POLLIN | POLLERR, -ENODEV, good, StreamStep::Fail}, // unplugged
        {POLLIN, -EIO, good, StreamStep::Fail},
        {POLLIN, -EAGAIN, good, StreamStep::Retry},
        {POLLERR, -EAGAIN, good, StreamStep::Fail},          // would spin on a dead device
        {POLLHUP, -EAGAIN, good, StreamStep::Fail},
        {POLLIN, -EINTR, good, StreamStep::Retry},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StepAfterDequeue(c.events, c.result, c.buffer), c.step) << c.events << " " << c.result;
}

} // namespace
} // namespace vistrel
