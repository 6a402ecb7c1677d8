// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/v4l2_mapping.h"

#include <QByteArray>

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vistrel {

int BitCountForPixelFormat(uint32_t pixelFormat)
{
    switch (pixelFormat) {
    case V4L2_PIX_FMT_GREY: return 8;
    case V4L2_PIX_FMT_YUV410:
    case V4L2_PIX_FMT_YVU410: return 9;
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21: return 12;
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_VYUY:
    case V4L2_PIX_FMT_RGB565:
    case V4L2_PIX_FMT_RGB555:
    case V4L2_PIX_FMT_XRGB555: return 16;
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return 24;
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_RGB32:
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_XRGB32:
    case V4L2_PIX_FMT_ABGR32:
    case V4L2_PIX_FMT_ARGB32: return 32;
    default: return 0;
    }
}

bool IsCaptureDevice(const v4l2_capability& capability)
{
    const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps
                                                                             : capability.capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

bool IsUsbBus(const v4l2_capability& capability)
{
    const char* bus = reinterpret_cast<const char*>(capability.bus_info);
    return std::strncmp(bus, "usb-", 4) == 0;
}

int ConnectorTypeForInput(const v4l2_input& input, bool usbBus)
{
    if (input.type == V4L2_INPUT_TYPE_TUNER)
        return connector::kVideoTuner;
    const QByteArray name = QByteArray(reinterpret_cast<const char*>(input.name),
                                       int(strnlen(reinterpret_cast<const char*>(input.name), sizeof input.name)))
                                .toLower();
    if (name.contains("composite"))
        return connector::kVideoComposite;
    if (name.contains("s-video") || name.contains("svideo"))
        return connector::kVideoSVideo;
    if (name.contains("rgb"))
        return connector::kVideoRgb;
    if (name.contains("component") || name.contains("ypbpr"))
        return connector::kVideoYRYBY;
    if (name.contains("sdi"))
        return connector::kVideoSerialDigital;
    if (name.contains("usb"))
        return connector::kVideoUsb;
    // HDMI, DVI and DisplayPort carry video as serial digital links.
    if (name.contains("hdmi") || name.contains("dvi") || name.contains("displayport"))
        return connector::kVideoSerialDigital;
    if (usbBus)
        return connector::kVideoUsb;
    // A camera input on another bus is a sensor on a parallel digital bus.
    if (name.contains("camera") || name.contains("webcam") || name.contains("sensor"))
        return connector::kVideoParallelDigital;
    return 0;
}

v4l2_format FormatRequest(const V4l2Mode& mode)
{
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = uint32_t(mode.format.width);
    format.fmt.pix.height = uint32_t(mode.format.height);
    format.fmt.pix.pixelformat = mode.pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    return format;
}

bool KeepsMode(const v4l2_format& answer, const V4l2Mode& mode)
{
    return answer.fmt.pix.pixelformat == mode.pixelFormat && int(answer.fmt.pix.width) == mode.format.width
        && int(answer.fmt.pix.height) == mode.format.height;
}

namespace {

bool FitsRange(int value, uint32_t min, uint32_t max, uint32_t step)
{
    if (value < 0 || uint32_t(value) < min || uint32_t(value) > max)
        return false;
    return step <= 1 || (uint32_t(value) - min) % step == 0;
}

void TrySize(uint32_t pixelFormat, int bitCount, int width, int height, const Ioctl& ioctl, std::vector<V4l2Mode>& modes)
{
    const V4l2Mode mode{pixelFormat, {width, height, bitCount}};
    v4l2_format format = FormatRequest(mode);
    if (ioctl(VIDIOC_TRY_FMT, &format) == 0 && KeepsMode(format, mode))
        modes.push_back(mode);
}

void AddSizes(uint32_t pixelFormat, int bitCount, const Ioctl& ioctl, std::vector<V4l2Mode>& modes)
{
    for (uint32_t index = 0;; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (ioctl(VIDIOC_ENUM_FRAMESIZES, &size) != 0) {
            if (index > 0)
                return;
            break; // no size enumeration: probe below
        }
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            modes.push_back({pixelFormat, {int(size.discrete.width), int(size.discrete.height), bitCount}});
            continue;
        }
        // Stepwise or continuous: one answer describes every size.
        const auto& range = size.stepwise;
        const bool continuous = size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
        for (const auto& standard : kStandardSizes) {
            if (FitsRange(standard[0], range.min_width, range.max_width, continuous ? 1 : range.step_width)
                && FitsRange(standard[1], range.min_height, range.max_height, continuous ? 1 : range.step_height))
                modes.push_back({pixelFormat, {standard[0], standard[1], bitCount}});
        }
        return;
    }

    for (const auto& standard : kStandardSizes)
        TrySize(pixelFormat, bitCount, standard[0], standard[1], ioctl, modes);
    for (const auto& analog : kAnalogSizes)
        TrySize(pixelFormat, bitCount, analog[0], analog[1], ioctl, modes);
}

} // namespace

bool IsLibv4lconvertFormat(uint32_t pixelFormat)
{
    switch (pixelFormat) {
    case V4L2_PIX_FMT_SBGGR8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SRGGB8:
    case V4L2_PIX_FMT_SPCA501:
    case V4L2_PIX_FMT_SPCA505:
    case V4L2_PIX_FMT_SPCA508:
    case V4L2_PIX_FMT_SPCA561:
    case V4L2_PIX_FMT_SN9C10X:
    case V4L2_PIX_FMT_SN9C20X_I420:
    case V4L2_PIX_FMT_SN9C2028:
    case V4L2_PIX_FMT_PAC207:
    case V4L2_PIX_FMT_MR97310A:
    case V4L2_PIX_FMT_SQ905C:
    case V4L2_PIX_FMT_CPIA1:
    case V4L2_PIX_FMT_HM12:
    case V4L2_PIX_FMT_OV511:
    case V4L2_PIX_FMT_OV518:
    case V4L2_PIX_FMT_STV0680:
    case V4L2_PIX_FMT_KONICA420:
    case V4L2_PIX_FMT_SE401:
    case V4L2_PIX_FMT_JPGL:
    case V4L2_PIX_FMT_PJPG: return true;
    default: return false;
    }
}

std::vector<V4l2Mode> EnumerateModes(const Ioctl& ioctl)
{
    std::vector<V4l2Mode> modes;
    std::vector<uint32_t> converted;
    for (uint32_t index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ioctl(VIDIOC_ENUM_FMT, &description) != 0)
            break;
        // Formats libv4l2 would make up by converting are not the device's own.
        if (description.flags & V4L2_FMT_FLAG_EMULATED)
            continue;
        const int bitCount = BitCountForPixelFormat(description.pixelformat);
        if (bitCount != 0)
            AddSizes(description.pixelformat, bitCount, ioctl, modes);
        else if (IsLibv4lconvertFormat(description.pixelformat))
            converted.push_back(description.pixelformat);
    }
    for (uint32_t pixelFormat : converted)
        AddSizes(pixelFormat, 24, ioctl, modes);
    return modes;
}

const V4l2Mode* FindMode(const std::vector<V4l2Mode>& modes, const CaptureFormat& format)
{
    for (const V4l2Mode& mode : modes)
        if (mode.format == format)
            return &mode;
    return nullptr;
}

bool EnumerateInputTypes(const Ioctl& ioctl, bool usbBus, std::vector<int>& types, std::vector<bool>* analog)
{
    types.clear();
    if (analog)
        analog->clear();
    for (uint32_t index = 0;; ++index) {
        v4l2_input input{};
        input.index = index;
        if (ioctl(VIDIOC_ENUMINPUT, &input) != 0)
            break;
        types.push_back(ConnectorTypeForInput(input, usbBus));
        if (analog)
            analog->push_back(input.std != 0);
    }
    return !types.empty();
}

v4l2_std_id StandardId(VideoStandard standard)
{
    switch (standard) {
    case VideoStandard::Pal: return V4L2_STD_PAL;
    case VideoStandard::Ntsc: return V4L2_STD_NTSC;
    case VideoStandard::Secam: return V4L2_STD_SECAM;
    case VideoStandard::Auto: break;
    }
    return 0;
}

StreamStep StepAfterWait(int pollResult)
{
    if (pollResult == -EINTR)
        return StreamStep::Retry;
    // 0: the time-out ran out without a frame. An input without a signal
    // does that too, so silence alone is no failure.
    if (pollResult == 0)
        return StreamStep::Check;
    return pollResult > 0 ? StreamStep::Deliver : StreamStep::Fail;
}

StreamStep StepAfterDequeue(short deviceEvents, int dequeueResult, const v4l2_buffer& buffer)
{
    if (dequeueResult == -EINTR)
        return StreamStep::Retry;
    // Nothing to dequeue yet is only worth another wait while the device
    // reports no error; otherwise the loop would spin on a dead device.
    if (dequeueResult == -EAGAIN && !(deviceEvents & (POLLERR | POLLHUP | POLLNVAL)))
        return StreamStep::Retry;
    if (dequeueResult < 0)
        return StreamStep::Fail;
    if ((buffer.flags & V4L2_BUF_FLAG_ERROR) || buffer.bytesused == 0)
        return StreamStep::Skip;
    return StreamStep::Deliver;
}

int FrameIntervalMs(const v4l2_streamparm& parm, int fallbackMs)
{
    const v4l2_fract& period = parm.parm.capture.timeperframe;
    if (period.numerator == 0 || period.denominator == 0)
        return fallbackMs;
    const uint64_t ms = uint64_t(period.numerator) * 1000u / period.denominator;
    return ms < 1 ? 1 : ms > 10000 ? 10000 : int(ms);
}

} // namespace vistrel
