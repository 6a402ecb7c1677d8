// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/network_camera.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace vistrel {

namespace {

// A URL cut where the credentials sit: "scheme://" userInfo "@" rest.
struct UrlParts {
    std::string_view scheme; // without "://"; empty when the URL has none
    std::string_view userInfo;
    bool hasUserInfo = false;
    std::string_view rest; // host, port, path and query
};

UrlParts SplitUrl(std::string_view url)
{
    UrlParts parts;
    const size_t separator = url.find("://");
    if (separator == std::string_view::npos) {
        parts.rest = url;
        return parts;
    }
    parts.scheme = url.substr(0, separator);
    std::string_view authority = url.substr(separator + 3);
    const size_t authorityEnd = std::min(authority.find_first_of("/?#"), authority.size());
    // The last '@' of the authority ends the user information: a password
    // may hold '@' itself.
    const size_t at = authority.substr(0, authorityEnd).rfind('@');
    if (at != std::string_view::npos) {
        parts.userInfo = authority.substr(0, at);
        parts.hasUserInfo = true;
        authority.remove_prefix(at + 1);
    }
    parts.rest = authority;
    return parts;
}

bool SameLetters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasControlCharacter(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// RFC 3986 user information: unreserved characters stay, the rest is
// percent-encoded, so ':' '@' '/' in a password cannot change the URL.
std::string PercentEncoded(std::string_view text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

} // namespace

NetworkCameraError ValidateNetworkCamera(const NetworkCamera& camera)
{
    // The name becomes a key of the settings store: its separators, a
    // parent-folder step, or a line break in it would name another key, and
    // a leading dot is the store's mark of its own folders, never listed.
    if (camera.name.empty())
        return NetworkCameraError::EmptyName;
    if (camera.name.find_first_of("\\/") != std::string::npos || camera.name.find("..") != std::string::npos
        || camera.name.front() == '.' || HasControlCharacter(camera.name))
        return NetworkCameraError::UnsafeName;
    if (camera.url.size() > kMaxNetworkUrlLength)
        return NetworkCameraError::UrlTooLong;
    // Blanks and line breaks would end up inside the request line of the
    // camera's protocol.
    if (std::any_of(camera.url.begin(), camera.url.end(), [](char c) { return c == ' '; })
        || HasControlCharacter(camera.url))
        return NetworkCameraError::UnsafeUrl;
    const UrlParts parts = SplitUrl(camera.url);
    constexpr std::string_view kSchemes[] = {"rtsp", "rtsps", "http", "https"};
    const bool known = std::any_of(std::begin(kSchemes), std::end(kSchemes),
                                   [&](std::string_view scheme) { return SameLetters(parts.scheme, scheme); });
    if (!known)
        return NetworkCameraError::UnsupportedScheme;
    if (parts.rest.empty() || parts.rest.find_first_of("/?#") == 0)
        return NetworkCameraError::NoHost;
    if (camera.transport != int(RtspTransport::Tcp) && camera.transport != int(RtspTransport::Udp))
        return NetworkCameraError::BadTransport;
    return NetworkCameraError::None;
}

const char* NetworkCameraErrorText(NetworkCameraError error)
{
    switch (error) {
    case NetworkCameraError::None: return "";
    case NetworkCameraError::EmptyName: return "The camera needs a name.";
    case NetworkCameraError::UnsafeName:
        return "A camera name may not begin with a dot, nor contain \\, / or .. or control characters.";
    case NetworkCameraError::UrlTooLong: return "The URL may be at most 2048 characters long.";
    case NetworkCameraError::UnsupportedScheme: return "The URL must begin with rtsp://, rtsps://, http:// or https://.";
    case NetworkCameraError::NoHost: return "The URL names no host.";
    case NetworkCameraError::UnsafeUrl: return "The URL may not contain blanks or control characters.";
    case NetworkCameraError::BadTransport: return "The transport must be TCP or UDP.";
    }
    return "";
}

std::string UrlWithoutUserInfo(const std::string& url)
{
    const UrlParts parts = SplitUrl(url);
    if (!parts.hasUserInfo)
        return url;
    return std::string(parts.scheme) + "://" + std::string(parts.rest);
}

std::string MaskedUrl(const NetworkCamera& camera)
{
    const UrlParts parts = SplitUrl(camera.url);
    if (!parts.hasUserInfo && camera.user.empty() && camera.password.empty())
        return camera.url;
    if (parts.scheme.empty())
        return "***@" + std::string(parts.rest);
    return std::string(parts.scheme) + "://***@" + std::string(parts.rest);
}

std::string UrlForConnecting(const NetworkCamera& camera)
{
    if (camera.user.empty() && camera.password.empty())
        return camera.url;
    const UrlParts parts = SplitUrl(camera.url);
    if (parts.scheme.empty())
        return camera.url;
    std::string userInfo = PercentEncoded(camera.user);
    if (!camera.password.empty())
        userInfo += ":" + PercentEncoded(camera.password);
    return std::string(parts.scheme) + "://" + userInfo + "@" + std::string(parts.rest);
}

bool IsRtspUrl(const std::string& url)
{
    const UrlParts parts = SplitUrl(url);
    return SameLetters(parts.scheme, "rtsp") || SameLetters(parts.scheme, "rtsps");
}

} // namespace vistrel
