// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"
#include "common/bitmap.h"
#include "common/frame.h"
#include "common/message_reporter.h"

#include <memory>
#include <string>
#include <vector>

class QComboBox;

namespace vistrel {

class CapturePreview;

// The one capture object of the process. Lives on the user-interface
// thread, which starts, stops and fills the lists; the image thread may call
// IsRunning, GrabFrame, GetFrameFormat, DeviceLost, SelectInput and
// ListInputs without a list at any time. A stop never frees what a
// concurrent grab or route uses, and never waits for one.
// Devices are numbered as the backends enumerate them: the V4L2 devices
// (/dev/video0, /dev/video1, ...), the test-pattern device, then the
// network cameras.
class CDXVideo {
public:
    // With no backend given, uses the V4L2 devices followed by the test-pattern device.
    explicit CDXVideo(IMessageReporter& reporter, std::unique_ptr<ICaptureBackend> backend = nullptr);
    ~CDXVideo();
    CDXVideo(const CDXVideo&) = delete;
    CDXVideo& operator=(const CDXVideo&) = delete;

    void InitCom();
    // 0 running; 1 format text unusable (nothing changed); negative: the
    // failing step's code, its message shown, the object idle.
    int StartCapture(int deviceIndex, CapturePreview* preview, const std::string& formatText);
    // As StartCapture, for bringing back a lost device: the lost device is
    // stopped first, but a failed start leaves it in place, so the capture
    // still counts as running (and lost) and the caller may try again.
    int RestartCapture(int deviceIndex, CapturePreview* preview, const std::string& formatText);
    void StopCapture();
    bool IsRunning() const;
    // A newly allocated copy of the latest frame, or null.
    std::unique_ptr<Frame> GrabFrame();
    bool GetFrameFormat(BITMAPINFOHEADER& header);
    // True while running on a device that failed or disappeared; it delivers
    // no frames, and IsRunning stays true until StopCapture.
    bool DeviceLost() const;
    // True when the running device comes back by itself once lost (a network
    // camera): the caller waits for DeviceLost to clear instead of restarting it.
    bool ReconnectsItself() const;
    // True while the running device's frames have another size than the
    // format it was started in (a network camera whose resolution changed):
    // it delivers nothing until started again in `now`.
    bool FormatChanged(CaptureFormat& now) const;
    // How often the image thread grabs, for this device and every device
    // started after it (a network camera then decodes only what is grabbed).
    // Any thread; never waits on a device.
    void SetGrabIntervalMs(int intervalMs);

    // False for a negative number or when the devices cannot be enumerated;
    // otherwise true, with `found` set when that device exists with a readable name.
    bool FindDevice(int number, bool& found);
    // The number of the device with that identity: `preferred` when it
    // still is that device, otherwise the first; -1 when none is there.
    // With a link in the identity only that link counts, otherwise the name
    // and the bus both must match. Devices that cannot be opened never match.
    int FindDeviceByIdentity(const DeviceIdentity& identity, int preferred);
    // The identity of device `number` as enumerated now; false when there is none.
    bool DeviceIdentityOf(int number, DeviceIdentity& identity);
    // Device `number` as enumerated now; false when there is none.
    bool DeviceEntryOf(int number, DeviceEntry& entry);
    // For a device reached over the network, its formats as a query to run
    // off the user-interface thread (ListFormats would wait on the network
    // there); empty for a local device.
    FormatQuery RemoteFormatQuery(int number);
    // The identity and the name of the running device; empty when idle.
    DeviceIdentity RunningDeviceIdentity() const;
    std::string RunningDeviceName() const;

    // Whether the running device has analog inputs with video standards.
    bool HasStandards() const;
    // The standard of analog inputs from the next start on, and on the
    // running device now. User-interface thread.
    void SetVideoStandard(VideoStandard standard);

    // -1 no capture; 0 no crossbar, or the device refused the route; 1 routed.
    int SelectInput(int input);
    // Named devices listed; -1 without a list or when enumeration fails.
    int ListDevices(QComboBox* list);
    // Acceptable formats found, duplicates counted; -1 on failure. List may be null.
    int ListFormats(int deviceNumber, QComboBox* list);
    // Fills a format list from formats learnt elsewhere exactly as
    // ListFormats does (sorted, the default chosen); their acceptable count.
    static int FillFormatList(const std::vector<CaptureFormat>& formats, QComboBox* list);
    // Video inputs of the running device; -1 without capture or crossbar. List may be null.
    int ListInputs(QComboBox* list);

    static std::string ConnectorName(int physicalType);
    // "320x240 24 bit" -> 320, 240, 24; all three 0 unless a third token exists.
    static void ParseFormat(const std::string& text, int& width, int& height, int& bitCount);

    ICaptureBackend& backend();

private:
    int BuildGraph(int deviceIndex, CapturePreview* preview, const CaptureFormat& format, bool keepOnFailure);

    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vistrel
