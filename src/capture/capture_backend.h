// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/bitmap.h"
#include "common/frame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vistrel {

// Who a device is, beyond its number: its name, the bus it sits on, and a
// link to its node that names the device itself (a /dev/v4l/by-id or
// by-path link) where one exists. Empty fields are unknown.
struct DeviceIdentity {
    std::string name;
    std::string busInfo;
    std::string link;

    bool operator==(const DeviceIdentity&) const = default;
};

// One entry of a backend's device enumeration. A device whose name cannot be
// read still takes its number, but is not listed. A device that cannot be
// opened is listed with the reason in its name, so numbers do not shift.
struct DeviceEntry {
    DeviceEntry(std::string name_ = {}, bool nameReadable_ = true)
        : name(std::move(name_))
        , nameReadable(nameReadable_)
    {
    }

    std::string name;
    bool nameReadable = true;
    std::string busInfo;
    std::string link;
    std::string path; // the device node; empty for built-in devices
    bool openable = true;
    // Where a device reached over the network is, to show: its URL with any
    // credentials masked. Empty for local devices.
    std::string location;

    DeviceIdentity Identity() const { return {name, busInfo, link}; }
    // Its formats come over the network and take seconds to learn: a window
    // asks for them through RemoteFormatQuery, off its own thread.
    bool Remote() const { return !location.empty(); }
};

// The video standard of an analog input, as the user chooses it.
enum class VideoStandard { Auto, Pal, Ntsc, Secam };
// "Auto", "PAL", "NTSC", "SECAM"; unknown texts read as Auto.
const char* VideoStandardName(VideoStandard standard);
VideoStandard VideoStandardFromName(const std::string& name);

// A capture format as a device offers it.
struct CaptureFormat {
    int width = 0;
    int height = 0;
    int bitCount = 0;

    bool operator==(const CaptureFormat&) const = default;
};

// Physical connector types of crossbar pins (the values of the format texts).
namespace connector {
inline constexpr int kVideoTuner = 1;
inline constexpr int kVideoComposite = 2;
inline constexpr int kVideoSVideo = 3;
inline constexpr int kVideoRgb = 4;
inline constexpr int kVideoYRYBY = 5;
inline constexpr int kVideoSerialDigital = 6;
inline constexpr int kVideoParallelDigital = 7;
inline constexpr int kVideoUsb = 11;
inline constexpr int kVideoDecoder = 12;
inline constexpr int kFirstAudio = 0x1000;
inline constexpr int kAudioLine = 4097;
} // namespace connector

// The input and output pins of a device's crossbar, by physical connector
// type, in pin order. Audio pins (types from 0x1000) may sit between video pins.
struct CrossbarInfo {
    std::vector<int> inputTypes;
    std::vector<int> outputTypes;
};

// The steps of a capture start that a device can fail, in the order they run.
enum class CaptureStep { Open, SetFormat, Grabber, Render, Preview, Start };

// Failure codes of the steps (negative, like every capture failure code).
inline constexpr int kNoMatchingFormat = -1;
// What the grabber step returns for a bit count it cannot deliver.
inline constexpr int kEFail = int(0x80004005u);

// An opened capture device. Created and stepped through a start on the
// user-interface thread; LatestFrame, FrameSequence, Crossbar, Route and
// SetStandard may be called from any thread at any time until the object is
// destroyed, also after Stop.
class ICaptureDevice {
public:
    virtual ~ICaptureDevice() = default;

    // The device's formats in enumeration order.
    virtual std::vector<CaptureFormat> Formats() = 0;

    // The start steps; each returns 0 or a negative failure code.
    virtual int SetFormat(const CaptureFormat& format) = 0;
    // Delivered frames will have this bit count (8, 16, 24 or 32).
    virtual int SetDeliveredBitCount(int bitCount) = 0;
    virtual int PrepareStreaming() = 0;
    virtual int SetupPreview() { return 0; }
    virtual int Start() = 0;
    // Stops delivering and releases the device; safe to call twice.
    virtual void Stop() = 0;

    // False when the device has no crossbar.
    virtual bool Crossbar(CrossbarInfo& info) = 0;
    // Routes an input pin to an output pin: 0 once frames of that input
    // follow, or a negative code when the route is refused. After a
    // successful route LatestFrame gives only frames captured after the
    // switch took effect (null until the first arrives).
    virtual int Route(int outputPin, int inputPin) = 0;
    // True when some input has video standards (an analog input).
    virtual bool HasStandards() const { return false; }
    // The standard for analog inputs, applied now and at every switch.
    virtual int SetStandard(VideoStandard) { return 0; }

    // A new frame in the delivered layout, or null when none has arrived or
    // the device has failed. Converts on the calling thread.
    virtual std::unique_ptr<Frame> LatestFrame() = 0;
    // Counts the frames that arrived; 0 before the first.
    virtual uint64_t FrameSequence() const = 0;
    // The header of delivered frames once the format and bit count are set.
    virtual BITMAPINFOHEADER DeliveredHeader() const = 0;
    // The device's frame period, the pace of the preview.
    virtual int FrameIntervalMs() const = 0;
    // True once the device failed or disappeared while streaming.
    virtual bool Lost() const = 0;

    // True when a lost device comes back by itself: it keeps trying on its
    // own thread, and Lost turns false again once frames flow, so the
    // caller waits instead of restarting the capture. A device for which
    // this is false stays lost until it is started anew.
    virtual bool ReconnectsItself() const { return false; }
    // How often frames are grabbed, so a device that can save work between
    // grabs (a compressed stream) decodes only what will be used. Any thread.
    virtual void SetGrabIntervalMs(int) {}
    // True while the device's frames have another size than the format it
    // was set to: it delivers nothing until started in `now`. Any thread.
    virtual bool FormatChanged(CaptureFormat& /*now*/) const { return false; }
    // The latest frame for a live picture on screen: as LatestFrame, but a
    // device that hands each frame to one grab only still hands it to the
    // next grab too, so showing the picture never takes a frame from the
    // recording.
    virtual std::unique_ptr<Frame> PreviewFrame() { return LatestFrame(); }
};

// Learns a remote device's formats on any thread, with its own copy of what
// it needs; `stop` ends it early. 0, or a negative error code.
using FormatQuery = std::function<int(std::vector<CaptureFormat>& formats, const std::atomic<bool>& stop)>;

// A source of capture devices, numbered from 0 in enumeration order.
// Called on the user-interface thread.
class ICaptureBackend {
public:
    virtual ~ICaptureBackend() = default;
    // False when the devices cannot be enumerated or there are none.
    virtual bool EnumerateDevices(std::vector<DeviceEntry>& devices) = 0;
    // The formats of a device in enumeration order; false when it cannot be
    // read. For a remote device this waits on the network (bounded).
    virtual bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) = 0;
    // Opens a device; 0 or a negative failure code. Never waits on the network.
    virtual int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) = 0;
    // For a remote device (DeviceEntry::Remote), its formats as a query to
    // run away from the user-interface thread; empty for any other device.
    virtual FormatQuery RemoteFormatQuery(int /*number*/) { return {}; }
};

// The devices of several backends, one after the other: numbers continue
// where the previous backend's devices end.
class CompositeBackend : public ICaptureBackend {
public:
    explicit CompositeBackend(std::vector<std::unique_ptr<ICaptureBackend>> backends);

    bool EnumerateDevices(std::vector<DeviceEntry>& devices) override;
    bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) override;
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override;
    FormatQuery RemoteFormatQuery(int number) override;

private:
    // The backend that owns device `number` and the number within it; null when none.
    ICaptureBackend* Locate(int number, int& localNumber);

    std::vector<std::unique_ptr<ICaptureBackend>> backends_;
};

// The V4L2 devices, the test-pattern device, then the network cameras of
// the settings store (read again at each enumeration), so local devices keep
// their numbers whatever cameras are configured. With the environment
// variable VISTREL_NO_V4L2 set to 1, no V4L2 devices.
std::unique_ptr<ICaptureBackend> MakeDefaultCaptureBackend();

// The bit count of delivered frames for a device format's bit count
// (8 grey; 9, 12, 24 BGR; 16 RGB555; 32 BGRX); 0 when none is delivered.
int DeliveredBitCount(int formatBitCount);

} // namespace vistrel
