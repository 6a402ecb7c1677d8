// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"

#include <linux/videodev2.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace vistrel {

// How the V4L2 answers of a device become the numbers of the format and
// input lists. Pure functions: they see the device only through `Ioctl`, so
// tests feed them recorded answers.

// Issues one ioctl; 0 on success, else -errno.
using Ioctl = std::function<int(unsigned long request, void* arg)>;

// Bit count of a pixel format for the format texts; 0 for formats not listed.
int BitCountForPixelFormat(uint32_t pixelFormat);

// A video capture device by the capabilities of the opened node.
bool IsCaptureDevice(const v4l2_capability& capability);
bool IsUsbBus(const v4l2_capability& capability);

// Physical connector type of a V4L2 input (1 tuner, 2 composite, ...).
int ConnectorTypeForInput(const v4l2_input& input, bool usbBus);

// The sizes listed for stepwise or continuous frame sizes.
inline constexpr int kStandardSizes[][2] = {{160, 120}, {320, 240}, {640, 480}, {800, 600},
                                            {1024, 768}, {1280, 720}, {1920, 1080}};
// The native sizes of the 625- and 525-line standards, also tried on
// devices without size enumeration (analog capture cards).
inline constexpr int kAnalogSizes[][2] = {{720, 576}, {720, 480}};

// Device formats that only libv4lconvert turns into BGR (Bayer patterns and
// vendor formats of USB cameras); listed as 24 bit.
bool IsLibv4lconvertFormat(uint32_t pixelFormat);

// One listed format: the V4L2 pixel format and size behind a capture format.
struct V4l2Mode {
    uint32_t pixelFormat = 0;
    CaptureFormat format;
};

// A VIDIOC_S_FMT or VIDIOC_TRY_FMT request for a mode, and whether the
// driver's answer kept it exactly.
v4l2_format FormatRequest(const V4l2Mode& mode);
bool KeepsMode(const v4l2_format& answer, const V4l2Mode& mode);

// The capture queue's formats and sizes in enumeration order: VIDIOC_ENUM_FMT,
// then VIDIOC_ENUM_FRAMESIZES for each listed pixel format; where a driver
// has no size enumeration, the standard and analog sizes VIDIOC_TRY_FMT
// keeps exactly. Formats only libv4lconvert converts come after all others,
// so a format text that one of ours matches keeps meaning that format.
std::vector<V4l2Mode> EnumerateModes(const Ioctl& ioctl);

// The first mode giving exactly that width, height and bit count; null when none does.
const V4l2Mode* FindMode(const std::vector<V4l2Mode>& modes, const CaptureFormat& format);

// Connector types of the inputs by VIDIOC_ENUMINPUT, and which of them
// take video standards; false when the device does not enumerate inputs
// (it has no crossbar).
bool EnumerateInputTypes(const Ioctl& ioctl, bool usbBus, std::vector<int>& types, std::vector<bool>* analog = nullptr);

// The V4L2 standard set of a chosen standard; 0 for Auto.
v4l2_std_id StandardId(VideoStandard standard);

// What the capture thread does next, by the result of its wait for a
// buffer (`pollResult`: ready count, or -errno) and of VIDIOC_DQBUF.
enum class StreamStep {
    Retry,   // wait again
    Deliver, // keep the buffer as the latest frame, then hand it back
    Skip,    // hand the buffer back unread (the driver flagged it bad, or it is empty)
    Check,   // silent for the whole wait: ask whether the device is still there
    Fail,    // the device is gone or broken: stop delivering
};
StreamStep StepAfterWait(int pollResult);
StreamStep StepAfterDequeue(short deviceEvents, int dequeueResult, const v4l2_buffer& buffer);

// The frame period from VIDIOC_G_PARM's answer; `fallbackMs` when it gives none.
int FrameIntervalMs(const v4l2_streamparm& parm, int fallbackMs);

} // namespace vistrel
