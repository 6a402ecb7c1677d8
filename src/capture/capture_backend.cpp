// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/capture_backend.h"

#include "capture/network_backend.h"
#include "capture/network_camera_store.h"
#include "capture/test_pattern.h"
#include "capture/v4l2_backend.h"
#include "settings/registry_store.h"

#include <QByteArray>
#include <QtGlobal>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vistrel {

CompositeBackend::CompositeBackend(std::vector<std::unique_ptr<ICaptureBackend>> backends)
    : backends_(std::move(backends))
{
}

bool CompositeBackend::EnumerateDevices(std::vector<DeviceEntry>& devices)
{
    devices.clear();
    for (auto& backend : backends_) {
        std::vector<DeviceEntry> own;
        if (backend->EnumerateDevices(own))
            devices.insert(devices.end(), own.begin(), own.end());
    }
    return !devices.empty();
}

ICaptureBackend* CompositeBackend::Locate(int number, int& localNumber)
{
    if (number < 0)
        return nullptr;
    int first = 0;
    for (auto& backend : backends_) {
        std::vector<DeviceEntry> own;
        if (!backend->EnumerateDevices(own))
            continue;
        const int count = int(own.size());
        if (number < first + count) {
            localNumber = number - first;
            return backend.get();
        }
        first += count;
    }
    return nullptr;
}

bool CompositeBackend::DeviceFormats(int number, std::vector<CaptureFormat>& formats)
{
    int local = 0;
    ICaptureBackend* backend = Locate(number, local);
    return backend && backend->DeviceFormats(local, formats);
}

int CompositeBackend::OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device)
{
    int local = 0;
    ICaptureBackend* backend = Locate(number, local);
    if (!backend)
        return -ENODEV;
    return backend->OpenDevice(local, device);
}

FormatQuery CompositeBackend::RemoteFormatQuery(int number)
{
    int local = 0;
    ICaptureBackend* backend = Locate(number, local);
    return backend ? backend->RemoteFormatQuery(local) : FormatQuery{};
}

std::unique_ptr<ICaptureBackend> MakeDefaultCaptureBackend()
{
    std::vector<std::unique_ptr<ICaptureBackend>> backends;
    if (qgetenv("VISTREL_NO_V4L2") != "1")
        backends.push_back(std::make_unique<V4l2Backend>());
    backends.push_back(std::make_unique<TestPatternBackend>());
    // Another instance's dialog, or a script, may change the cameras at any
    // time: each enumeration reads them anew (the store reads a key's file
    // again only when it changed).
    auto store = std::make_shared<RegistryStore>(DefaultRegistryFolder());
    backends.push_back(std::make_unique<NetworkBackend>([store] { return ReadNetworkCameras(*store); }));
    return std::make_unique<CompositeBackend>(std::move(backends));
}

const char* VideoStandardName(VideoStandard standard)
{
    switch (standard) {
    case VideoStandard::Pal: return "PAL";
    case VideoStandard::Ntsc: return "NTSC";
    case VideoStandard::Secam: return "SECAM";
    case VideoStandard::Auto: break;
    }
    return "Auto";
}

VideoStandard VideoStandardFromName(const std::string& name)
{
    for (VideoStandard standard : {VideoStandard::Pal, VideoStandard::Ntsc, VideoStandard::Secam})
        if (name == VideoStandardName(standard))
            return standard;
    return VideoStandard::Auto;
}

int DeliveredBitCount(int formatBitCount)
{
    switch (formatBitCount) {
    case 8: return 8;
    case 9:
    case 12:
    case 24: return 24;
    case 16: return 16;
    case 32: return 32;
    default: return 0;
    }
}

} // namespace vistrel
