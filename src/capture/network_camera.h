// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>

namespace vistrel {

// How an RTSP stream travels (the stored number "Transport").
enum class RtspTransport { Tcp = 0, Udp = 1 };

// A network camera as the user configured it. The password lives here and
// in the settings store only: every text meant for people or logs is made
// with MaskedUrl.
struct NetworkCamera {
    std::string name;
    std::string url; // may carry user information itself; user and password below win
    std::string user;
    std::string password;
    int transport = int(RtspTransport::Tcp); // RtspTransport; used by rtsp:// and rtsps:// only

    bool operator==(const NetworkCamera&) const = default;
};

inline constexpr size_t kMaxNetworkUrlLength = 2048;

// What is wrong with a camera's configuration. Whether a name is unique
// (regardless of case) among the configured cameras is the caller's check.
enum class NetworkCameraError {
    None,
    EmptyName,
    UnsafeName,        // holds '\', '/', "..", or a control character, or begins with '.'
    UrlTooLong,        // over kMaxNetworkUrlLength characters
    UnsupportedScheme, // not rtsp, rtsps, http or https
    NoHost,
    UnsafeUrl, // holds a blank or a control character
    BadTransport,
};

NetworkCameraError ValidateNetworkCamera(const NetworkCamera& camera);
// A sentence for the user about the error; empty for None.
const char* NetworkCameraErrorText(NetworkCameraError error);

// The URL without user information: the camera's identity, the same
// whatever credentials it is given.
std::string UrlWithoutUserInfo(const std::string& url);
// The URL to show: "rtsp://***@host/..." when the camera has credentials
// (its own fields or user information in the URL), else the URL as it is.
std::string MaskedUrl(const NetworkCamera& camera);

// The URL with the camera's user and password as percent-encoded user
// information, for the stream library to connect with and nothing else:
// it is never shown, logged, or put into an error text.
std::string UrlForConnecting(const NetworkCamera& camera);

// True for rtsp:// and rtsps:// URLs (scheme case ignored).
bool IsRtspUrl(const std::string& url);

} // namespace vistrel
