// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"
#include "capture/network_camera.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vistrel {

// How long asking a camera for its formats may take at most.
inline constexpr std::chrono::milliseconds kNetworkProbeTimeout{5000};

// The formats a camera's stream reports: its picture size at 24 bits, as
// the setup window lists it ("1920x1080 24 bit"). Connects and reads until
// the size is known, within `timeout`. 0, or a negative AVERROR code
// (av_strerror gives its text, which never holds the URL).
// `stop`, when given, ends the probe early from any thread.
int ProbeNetworkFormats(const NetworkCamera& camera, std::vector<CaptureFormat>& formats,
                        std::chrono::milliseconds timeout = kNetworkProbeTimeout,
                        const std::atomic<bool>* stop = nullptr);

// What a negative result of a probe or a stream means, in words; never
// holds a URL.
std::string NetworkErrorText(int result);

// The configured network cameras, in the order given. Listing and opening
// never touch the network; asking for formats probes within
// kNetworkProbeTimeout. Called on the user-interface thread.
class NetworkBackend : public ICaptureBackend {
public:
    explicit NetworkBackend(std::vector<NetworkCamera> cameras);
    // The cameras `source` gives, asked again at each enumeration; devices
    // are numbered as of the last enumeration.
    explicit NetworkBackend(std::function<std::vector<NetworkCamera>()> source);

    // Each camera under its name, identified by its URL without user
    // information, located by its URL with credentials masked.
    bool EnumerateDevices(std::vector<DeviceEntry>& devices) override;
    bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) override;
    // A camera whose configuration is invalid is not opened (-EINVAL).
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override;
    FormatQuery RemoteFormatQuery(int number) override;

    const std::vector<NetworkCamera>& Cameras() const { return cameras_; }

private:
    std::function<std::vector<NetworkCamera>()> source_;
    std::vector<NetworkCamera> cameras_;
};

} // namespace vistrel
