// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/dxvideo.h"

#include "capture/capture_backend.h"
#include "capture/capture_log.h"
#include "capture/capture_preview.h"
#include "common/combo_box.h"
#include "common/leading_number.h"

#include <QComboBox>
#include <QPointer>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace vistrel {

namespace {

constexpr int kStateIdle = 0;
constexpr int kStateRunning = 2;
constexpr size_t kMaxDeviceNameBytes = 2047; // plus the terminator of the 2048-byte buffer

bool IsAcceptedBitCount(int bitCount)
{
    switch (bitCount) {
    case 8:
    case 9:
    case 12:
    case 16:
    case 24:
    case 32: return true;
    default: return false;
    }
}

// Adds `text` where a sorted drop-down list would put it (text order, case ignored).
void InsertSorted(QComboBox* list, const QString& text)
{
    int index = 0;
    while (index < list->count() && QString::compare(list->itemText(index), text, Qt::CaseInsensitive) <= 0)
        ++index;
    list->insertItem(index, text);
}

} // namespace

class CDXVideo::Impl {
public:
    Impl(IMessageReporter& reporter, std::unique_ptr<ICaptureBackend> backend)
        : reporter(reporter)
        , backend(backend ? std::move(backend) : MakeDefaultCaptureBackend())
    {
    }

    std::shared_ptr<ICaptureDevice> CurrentDevice() const
    {
        std::lock_guard lock(graphMutex);
        return device;
    }

    IMessageReporter& reporter;
    const std::unique_ptr<ICaptureBackend> backend;

    // Held only to read or swap `device`, never across a device call, so
    // a stop on the user-interface thread never waits for a grab and never
    // frees a device that a grab or route on the image thread still uses.
    mutable std::mutex graphMutex; // Protects device and identity
    std::shared_ptr<ICaptureDevice> device;
    DeviceIdentity identity;
    std::atomic<int> state{kStateIdle};
    std::atomic<int> grabIntervalMs{0}; // 0: not told yet

    // User-interface thread only.
    QPointer<CapturePreview> preview;
    VideoStandard standard = VideoStandard::Auto;
};

CDXVideo::CDXVideo(IMessageReporter& reporter, std::unique_ptr<ICaptureBackend> backend)
    : impl_(std::make_unique<Impl>(reporter, std::move(backend)))
{
}

CDXVideo::~CDXVideo()
{
    StopCapture();
}

ICaptureBackend& CDXVideo::backend()
{
    return *impl_->backend;
}

void CDXVideo::InitCom()
{
    // There is no platform object model to initialise here, so its failure
    // message cannot occur; what remains is clearing the object.
    StopCapture();
}

void CDXVideo::ParseFormat(const std::string& text, int& width, int& height, int& bitCount)
{
    width = height = bitCount = 0;
    static constexpr const char* kSeparators = "x bits";
    std::string tokens[3];
    int found = 0;
    size_t pos = 0;
    while (found < 3) {
        pos = text.find_first_not_of(kSeparators, pos);
        if (pos == std::string::npos)
            break;
        const size_t end = text.find_first_of(kSeparators, pos);
        tokens[found++] = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
    }
    if (found < 3)
        return;
    width = LeadingInt(tokens[0]);
    height = LeadingInt(tokens[1]);
    bitCount = LeadingInt(tokens[2]);
}

int CDXVideo::StartCapture(int deviceIndex, CapturePreview* preview, const std::string& formatText)
{
    int width = 0, height = 0, bitCount = 0;
    ParseFormat(formatText, width, height, bitCount);
    if (width < 1 || height < 1) {
        impl_->reporter.ShowMessage("The Device Format is not supported", "Initialize Failed", MessageIcon::Error);
        return 1;
    }
    return BuildGraph(deviceIndex, preview, {width, height, bitCount}, false);
}

int CDXVideo::RestartCapture(int deviceIndex, CapturePreview* preview, const std::string& formatText)
{
    int width = 0, height = 0, bitCount = 0;
    ParseFormat(formatText, width, height, bitCount);
    if (width < 1 || height < 1) {
        impl_->reporter.ShowMessage("The Device Format is not supported", "Initialize Failed", MessageIcon::Error);
        return 1;
    }
    return BuildGraph(deviceIndex, preview, {width, height, bitCount}, IsRunning());
}

int CDXVideo::BuildGraph(int deviceIndex, CapturePreview* preview, const CaptureFormat& format, bool keepOnFailure)
{
    if (keepOnFailure) {
        // The old device is released (a node that came back may refuse a
        // second opener) but stays installed until the new one runs.
        if (impl_->preview) {
            impl_->preview->Detach();
            impl_->preview = nullptr;
        }
        if (const auto old = impl_->CurrentDevice())
            old->Stop();
    } else {
        StopCapture();
    }

    std::shared_ptr<ICaptureDevice> device;
    auto fail = [&](int code, const char* text) {
        qCDebug(lcCapture) << "start of device" << deviceIndex << "failed:" << text << code;
        if (preview)
            preview->Detach();
        if (device)
            device->Stop();
        device.reset();
        if (!keepOnFailure)
            StopCapture();
        impl_->reporter.ShowMessage(text, "Init Failed", MessageIcon::Error);
        return code;
    };

    std::vector<DeviceEntry> entries;
    const bool found = deviceIndex >= 0 && impl_->backend->EnumerateDevices(entries)
        && deviceIndex < int(entries.size()) && entries[size_t(deviceIndex)].nameReadable;
    if (found) {
        std::unique_ptr<ICaptureDevice> opened;
        const int rc = impl_->backend->OpenDevice(deviceIndex, opened);
        if (rc < 0 || !opened)
            return fail(rc < 0 ? rc : -ENODEV, "Failed to Add the Device Filter to the GraphBuilder");
        device = std::move(opened);
    } else {
        return fail(-ENODEV, "Failed to Add the Device Filter to the GraphBuilder");
    }

    if (const int rc = device->SetFormat(format); rc < 0)
        return fail(rc, "Failed to Set Video Format");
    device->SetStandard(impl_->standard);
    if (const int intervalMs = impl_->grabIntervalMs.load(); intervalMs > 0)
        device->SetGrabIntervalMs(intervalMs);

    const int delivered = DeliveredBitCount(format.bitCount);
    const int grabber = delivered ? device->SetDeliveredBitCount(delivered) : kEFail;
    if (grabber < 0)
        return fail(grabber, "Failed to Add Grabber Filter");

    if (const int rc = device->PrepareStreaming(); rc < 0)
        return fail(rc, "Failed to Render Stream, Device may already be in use");

    if (const int rc = device->SetupPreview(); rc < 0)
        return fail(rc, "Failed to Setup Video Window");
    if (preview) {
        preview->Attach(device);
        impl_->preview = preview;
    }

    if (const int rc = device->Start(); rc < 0)
        return fail(rc, "Failed to Start Video");

    std::shared_ptr<ICaptureDevice> replaced;
    {
        std::lock_guard lock(impl_->graphMutex);
        replaced = std::exchange(impl_->device, device);
        impl_->identity = entries[size_t(deviceIndex)].Identity();
        impl_->state = kStateRunning;
    }
    // Stopped already; a grab still holding it keeps it alive until it returns.
    replaced.reset();
    SelectInput(0);
    return 0;
}

void CDXVideo::StopCapture()
{
    std::shared_ptr<ICaptureDevice> device;
    {
        std::lock_guard lock(impl_->graphMutex);
        impl_->state = kStateIdle;
        device = std::move(impl_->device);
        impl_->device.reset();
        impl_->identity = {};
    }
    if (impl_->preview) {
        impl_->preview->Detach();
        impl_->preview = nullptr;
    }
    // A grab still holding the device keeps it alive until it returns.
    if (device)
        device->Stop();
}

bool CDXVideo::IsRunning() const
{
    return impl_->state == kStateRunning;
}

std::unique_ptr<Frame> CDXVideo::GrabFrame()
{
    if (impl_->state != kStateRunning)
        return nullptr;
    const auto device = impl_->CurrentDevice();
    if (!device)
        return nullptr;
    return device->LatestFrame();
}

bool CDXVideo::GetFrameFormat(BITMAPINFOHEADER& header)
{
    const auto device = impl_->CurrentDevice();
    if (!device)
        return false;
    header = device->DeliveredHeader();
    return true;
}

bool CDXVideo::DeviceLost() const
{
    const auto device = impl_->CurrentDevice();
    return device && device->Lost();
}

bool CDXVideo::ReconnectsItself() const
{
    const auto device = impl_->CurrentDevice();
    return device && device->ReconnectsItself();
}

bool CDXVideo::FormatChanged(CaptureFormat& now) const
{
    const auto device = impl_->CurrentDevice();
    return device && device->FormatChanged(now);
}

void CDXVideo::SetGrabIntervalMs(int intervalMs)
{
    impl_->grabIntervalMs = intervalMs;
    if (const auto device = impl_->CurrentDevice())
        device->SetGrabIntervalMs(intervalMs);
}

bool CDXVideo::FindDevice(int number, bool& found)
{
    found = false;
    if (number < 0)
        return false;
    std::vector<DeviceEntry> devices;
    if (!impl_->backend->EnumerateDevices(devices))
        return false;
    found = number < int(devices.size()) && devices[size_t(number)].nameReadable;
    return true;
}

int CDXVideo::FindDeviceByIdentity(const DeviceIdentity& identity, int preferred)
{
    std::vector<DeviceEntry> devices;
    if (identity.name.empty() || !impl_->backend->EnumerateDevices(devices))
        return -1;
    // A stored link names the device itself; without one, the name and the
    // bus must both match, so that another camera of the same model on
    // another port never stands in for the one chosen. A network camera is
    // known by its URL alone: it never answers to an identity without one.
    auto matches = [&](size_t number) {
        const DeviceEntry& entry = devices[number];
        if (!entry.nameReadable || !entry.openable)
            return false;
        if (!identity.link.empty())
            return entry.link == identity.link;
        return !entry.Remote() && entry.name == identity.name && entry.busInfo == identity.busInfo;
    };
    // Two network cameras may be configured with one URL: the one of the
    // stored name is the one chosen.
    auto named = [&](size_t number) { return matches(number) && devices[number].name == identity.name; };
    auto first = [&](auto fits) {
        if (preferred >= 0 && size_t(preferred) < devices.size() && fits(size_t(preferred)))
            return preferred;
        for (size_t number = 0; number < devices.size(); ++number) {
            if (fits(number))
                return int(number);
        }
        return -1;
    };
    const int sameName = first(named);
    return sameName >= 0 ? sameName : first(matches);
}

DeviceIdentity CDXVideo::RunningDeviceIdentity() const
{
    std::lock_guard lock(impl_->graphMutex);
    return impl_->identity;
}

std::string CDXVideo::RunningDeviceName() const
{
    return RunningDeviceIdentity().name;
}

bool CDXVideo::DeviceIdentityOf(int number, DeviceIdentity& identity)
{
    std::vector<DeviceEntry> devices;
    if (number < 0 || !impl_->backend->EnumerateDevices(devices) || number >= int(devices.size()))
        return false;
    identity = devices[size_t(number)].Identity();
    return true;
}

bool CDXVideo::DeviceEntryOf(int number, DeviceEntry& entry)
{
    std::vector<DeviceEntry> devices;
    if (number < 0 || !impl_->backend->EnumerateDevices(devices) || number >= int(devices.size()))
        return false;
    entry = devices[size_t(number)];
    return true;
}

FormatQuery CDXVideo::RemoteFormatQuery(int number)
{
    DeviceEntry entry;
    if (!DeviceEntryOf(number, entry) || !entry.Remote())
        return {};
    return impl_->backend->RemoteFormatQuery(number);
}

bool CDXVideo::HasStandards() const
{
    const auto device = impl_->CurrentDevice();
    return device && device->HasStandards();
}

void CDXVideo::SetVideoStandard(VideoStandard standard)
{
    impl_->standard = standard;
    if (const auto device = impl_->CurrentDevice())
        device->SetStandard(standard);
}

int CDXVideo::SelectInput(int input)
{
    const auto device = impl_->CurrentDevice();
    if (!device)
        return -1;
    CrossbarInfo crossbar;
    if (!device->Crossbar(crossbar))
        return 0;

    int inputPin = int(crossbar.inputTypes.size());
    int videoInputs = 0;
    for (size_t pin = 0; pin < crossbar.inputTypes.size(); ++pin) {
        if (crossbar.inputTypes[pin] >= connector::kFirstAudio)
            continue;
        if (videoInputs++ == input) {
            inputPin = int(pin);
            break;
        }
    }
    int outputPin = int(crossbar.outputTypes.size());
    for (size_t pin = 0; pin < crossbar.outputTypes.size(); ++pin) {
        if (crossbar.outputTypes[pin] == connector::kVideoDecoder) {
            outputPin = int(pin);
            break;
        }
    }
    // A route the device refuses, also after stopping its stream to switch,
    // is a failed route: the caller must not file frames under that input.
    if (const int rc = device->Route(outputPin, inputPin); rc < 0) {
        qCDebug(lcCapture) << "route to input" << input << "failed:" << strerror(-rc);
        return 0;
    }
    return 1;
}

int CDXVideo::ListDevices(QComboBox* list)
{
    if (!list)
        return -1;
    std::vector<DeviceEntry> devices;
    if (!impl_->backend->EnumerateDevices(devices))
        return -1;
    list->clear();
    int count = 0;
    for (const DeviceEntry& device : devices) {
        if (!device.nameReadable)
            continue;
        const std::string name = device.name.substr(0, kMaxDeviceNameBytes);
        list->addItem(QString::fromStdString(name));
        ++count;
    }
    list->setCurrentIndex(0);
    return count;
}

int CDXVideo::ListFormats(int deviceNumber, QComboBox* list)
{
    if (list) {
        list->clear();
        list->setEnabled(false);
    }
    std::vector<CaptureFormat> formats;
    bool found = false;
    if (FindDevice(deviceNumber, found)) {
        if (!found || !impl_->backend->DeviceFormats(deviceNumber, formats))
            return -1;
    } else {
        const auto device = impl_->CurrentDevice();
        if (!device)
            return -1;
        formats = device->Formats();
    }

    return FillFormatList(formats, list);
}

int CDXVideo::FillFormatList(const std::vector<CaptureFormat>& formats, QComboBox* list)
{
    if (list) {
        list->clear();
        list->setEnabled(false);
    }
    int count = 0;
    for (const CaptureFormat& format : formats) {
        if (!IsAcceptedBitCount(format.bitCount))
            continue;
        ++count;
        if (!list)
            continue;
        const QString text = QString::asprintf("%dx%d %d bit", format.width, format.height, format.bitCount);
        if (list->findText(text, Qt::MatchFixedString) < 0)
            InsertSorted(list, text);
    }
    if (list && count > 0) {
        list->setCurrentIndex(0);
        SelectByPrefix(*list, QStringLiteral("320x240"));
        SelectByPrefix(*list, QStringLiteral("320x240 24 bit"));
        list->setEnabled(true);
    }
    return count;
}

int CDXVideo::ListInputs(QComboBox* list)
{
    if (list) {
        list->clear();
        list->setEnabled(false);
    }
    const auto device = impl_->CurrentDevice();
    CrossbarInfo crossbar;
    if (!device || !device->Crossbar(crossbar))
        return -1;
    int count = 0;
    for (size_t pin = 0; pin < crossbar.inputTypes.size(); ++pin) {
        const int type = crossbar.inputTypes[pin];
        if (type >= connector::kFirstAudio)
            continue;
        ++count;
        if (list)
            InsertSorted(list, QString::asprintf("%d: %s", int(pin), ConnectorName(type).c_str()));
    }
    if (list) {
        list->setCurrentIndex(0);
        list->setEnabled(true);
    }
    return count;
}

std::string CDXVideo::ConnectorName(int physicalType)
{
    switch (physicalType) {
    case 1: return "Video Tuner";
    case 2: return "Video Composite";
    case 3: return "S-Video";
    case 4: return "Video RGB";
    case 5: return "Video YRYBY";
    case 6: return "Video Serial Digital";
    case 7: return "Video Parallel Digital";
    case 8: return "Video SCSI";
    case 9: return "Video AUX";
    case 10: return "Video 1394";
    case 11: return "Video USB";
    case 12: return "Video Decoder";
    case 13: return "Video Encoder";
    case 4096: return "Audio Tuner";
    case 4097: return "Audio Line";
    case 4098: return "Audio Microphone";
    case 4099: return "Audio AES/EBU Digital";
    case 4100: return "Audio S/PDIF";
    case 4101: return "Audio SCSI";
    case 4102: return "Audio AUX";
    case 4103: return "Audio 1394";
    case 4104: return "Audio USB";
    case 4105: return "Audio Decoder";
    default: return "Unknown Type";
    }
}

} // namespace vistrel
