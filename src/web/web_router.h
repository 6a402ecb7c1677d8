// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/http_text.h"
#include "web/web_access.h"
#include "web/web_backend.h"
#include "web/web_settings.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

inline constexpr size_t kMaxRequestHeadBytes = 16 * 1024; // request line and headers
inline constexpr size_t kMaxRequestBodyBytes = 64 * 1024;

// One request as the server received it.
struct WebRequest {
    std::string method;
    std::string target; // raw, still percent-encoded
    TextPairs headers;  // names as sent
    std::string body;
    bool bodyTooLarge = false; // more than kMaxRequestBodyBytes came or were announced
    std::string peer;          // the client's address
    bool tls = false;

    // The first header of that name (any letter case); nullptr when absent.
    const std::string* Header(std::string_view name) const;
};

enum class WebReplyKind {
    Body,          // status, headers and body (or the shared bytes)
    File,          // a finished export: the file at `file`
    MjpegStream,   // multipart JPEG pictures of `camera` as they come
    StatusStream,  // Server-Sent Events: the status whenever it changes
    EventStream,   // Server-Sent Events: the event log's new events
    CheckPassword, // compare `user` and `password` off the polling thread,
                   // then call FinishLogin
};

struct WebReply {
    WebReplyKind kind = WebReplyKind::Body;
    int status = 200;
    std::string contentType;
    std::string body;
    std::shared_ptr<const std::vector<uint8_t>> bytes; // sent instead of body when set
    TextPairs headers;
    std::filesystem::path file;
    int camera = 0;
    std::string user;
    std::string password;
};

enum class LoginOutcome {
    Verified,
    Refused,
    Unavailable, // the server is stopping or too many checks wait
};

// The JSON texts of the API, also pushed by the status stream.
std::string StatusJson(const WebRecorderStatus& status);
std::string CamerasJson(const WebRecorderStatus& status);

// Decides what a request gets: the public routes, the session and login
// rules, the Origin check on POST, and the pages and API. It touches no socket
// and no file, so it runs the same under the fuzzer.
//
// Lives on the server's polling thread; not synchronised.
class WebRouter {
public:
    WebRouter(IWebBackend& backend, const WebSettings& settings, int instance);

    WebReply Handle(const WebRequest& request, WebClock::time_point now);
    // After a CheckPassword reply: the answer to the login, or, for HTTP Basic
    // credentials, to the request itself.
    WebReply FinishLogin(const WebRequest& request, LoginOutcome outcome, WebClock::time_point now);

    // Whether the user and password match the settings (slow: the caller
    // runs it off the polling thread). Safe on any thread.
    static bool CredentialsMatch(const WebSettings& settings, const std::string& user, const std::string& password);

    const WebSettings& settings() const { return settings_; }

private:
    WebReply Route(const WebRequest& request, const RequestTarget& target, WebClock::time_point now);
    WebReply Public(const WebRequest& request, const RequestTarget& target, WebClock::time_point now);
    WebReply Api(const WebRequest& request, const RequestTarget& target);
    WebReply Camera(const WebRequest& request, const RequestTarget& target, int camera);
    WebReply Exports(const WebRequest& request, const RequestTarget& target);
    WebReply Login(const WebRequest& request, WebClock::time_point now);
    bool HasSession(const WebRequest& request, WebClock::time_point now);
    std::string SessionCookie(const std::string& id, bool tls) const;

    IWebBackend& backend_;
    const WebSettings settings_;
    const int instance_;
    const std::string cookieName_;
    SessionTable sessions_;
    LoginLimiter limiter_;
};

} // namespace vistrel
