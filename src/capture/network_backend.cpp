// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/network_backend.h"

#include "capture/capture_log.h"
#include "capture/network_device.h"
#include "capture/network_input.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cerrno>

namespace vistrel {

int ProbeNetworkFormats(const NetworkCamera& camera, std::vector<CaptureFormat>& formats,
                        std::chrono::milliseconds timeout, const std::atomic<bool>* stop)
{
    using Clock = std::chrono::steady_clock;
    formats.clear();
    if (ValidateNetworkCamera(camera) != NetworkCameraError::None)
        return AVERROR(EINVAL);
    const Clock::time_point deadline = Clock::now() + timeout;
    NetworkInput input(stop);
    if (const int rc = input.Open(camera, timeout); rc < 0)
        return rc;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (const int rc = input.FindStreamInfo(std::max(left, std::chrono::milliseconds(1))); rc < 0)
        return rc;
    const int stream = input.VideoStream();
    if (stream < 0)
        return AVERROR_STREAM_NOT_FOUND;
    const AVCodecParameters& parameters = *input.context()->streams[stream]->codecpar;
    if (parameters.width <= 0 || parameters.height <= 0)
        return AVERROR_INVALIDDATA;
    formats.push_back({parameters.width, parameters.height, 24});
    return 0;
}

std::string NetworkErrorText(int result)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    return text;
}

NetworkBackend::NetworkBackend(std::vector<NetworkCamera> cameras)
    : cameras_(std::move(cameras))
{
}

NetworkBackend::NetworkBackend(std::function<std::vector<NetworkCamera>()> source)
    : source_(std::move(source))
{
}

bool NetworkBackend::EnumerateDevices(std::vector<DeviceEntry>& devices)
{
    if (source_)
        cameras_ = source_();
    devices.clear();
    for (const NetworkCamera& camera : cameras_) {
        DeviceEntry entry(camera.name);
        entry.link = UrlWithoutUserInfo(camera.url);
        entry.location = MaskedUrl(camera);
        if (entry.location.empty())
            entry.location = "(no URL)"; // still a network camera, which cannot be opened
        devices.push_back(std::move(entry));
    }
    return !devices.empty();
}

FormatQuery NetworkBackend::RemoteFormatQuery(int number)
{
    if (number < 0 || number >= int(cameras_.size()))
        return {};
    return [camera = cameras_[size_t(number)]](std::vector<CaptureFormat>& formats, const std::atomic<bool>& stop) {
        return ProbeNetworkFormats(camera, formats, kNetworkProbeTimeout, &stop);
    };
}

bool NetworkBackend::DeviceFormats(int number, std::vector<CaptureFormat>& formats)
{
    if (number < 0 || number >= int(cameras_.size()))
        return false;
    const NetworkCamera& camera = cameras_[size_t(number)];
    const int rc = ProbeNetworkFormats(camera, formats);
    if (rc < 0)
        qCDebug(lcCapture) << "no formats from" << MaskedUrl(camera).c_str() << rc;
    return rc == 0;
}

int NetworkBackend::OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device)
{
    if (number < 0 || number >= int(cameras_.size()))
        return -ENODEV;
    const NetworkCamera& camera = cameras_[size_t(number)];
    if (ValidateNetworkCamera(camera) != NetworkCameraError::None)
        return -EINVAL;
    device = std::make_unique<NetworkDevice>(camera);
    return 0;
}

} // namespace vistrel
