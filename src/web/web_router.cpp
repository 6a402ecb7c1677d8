// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_router.h"

#include "archive/archive_file.h"
#include "common/local_time.h"
#include "settings/archive_name.h"
#include "web/password_hash.h"
#include "web/web_assets.h"

#include <sodium.h>

#include <cerrno>
#include <ctime>

namespace vistrel {

namespace {

constexpr size_t kMaxArchiveImages = 100000;
constexpr size_t kMaxEvents = 10000;
constexpr int64_t kDefaultSpanSeconds = 24 * 60 * 60;

const char* const kJson = "application/json";
const char* const kHtml = "text/html; charset=utf-8";
const char* const kText = "text/plain; charset=utf-8";

WebReply Text(int status, std::string body, const char* type = kText)
{
    WebReply reply;
    reply.status = status;
    reply.contentType = type;
    reply.body = std::move(body);
    return reply;
}

// An API error: the reason in words, never a path or an internal detail.
WebReply JsonError(int status, std::string_view message)
{
    std::string body = "{\"error\":";
    AppendJsonString(body, message);
    body += "}";
    return Text(status, std::move(body), kJson);
}

WebReply Redirect(std::string location)
{
    WebReply reply = Text(303, "", kText);
    reply.headers.emplace_back("Location", std::move(location));
    return reply;
}

WebReply Asset(std::string_view name)
{
    const WebAsset* asset = FindWebAsset(name);
    if (!asset)
        return Text(404, "Not found.\n");
    WebReply reply = Text(200, std::string(asset->bytes));
    reply.contentType = std::string(WebAssetType(name));
    return reply;
}

WebReply MethodNotAllowed(std::string_view allowed)
{
    WebReply reply = Text(405, "Method not allowed.\n");
    reply.headers.emplace_back("Allow", std::string(allowed));
    return reply;
}

bool IsGet(const WebRequest& request)
{
    return request.method == "GET" || request.method == "HEAD";
}

// The routes open without a session.
bool IsPublic(const RequestTarget& target)
{
    const std::vector<std::string>& s = target.segments;
    return (s.size() == 1 && (s[0] == "healthz" || s[0] == "login" || s[0] == "logout"))
        || (s.size() == 2 && s[0] == "static");
}

bool IsApi(const RequestTarget& target)
{
    return !target.segments.empty() && target.segments[0] == "api";
}

bool ReadTime(const std::optional<std::string>& text, int64_t* seconds)
{
    const std::optional<TimeArgument> value = text ? ParseTimeArgument(*text) : std::nullopt;
    if (value)
        *seconds = value->seconds;
    return value.has_value();
}

// from and to of a listing: both given, or the last day.
bool ReadSpan(const RequestTarget& target, int64_t* from, int64_t* to)
{
    const std::optional<std::string> fromText = PairValue(target.query, "from");
    const std::optional<std::string> toText = PairValue(target.query, "to");
    *to = static_cast<int64_t>(std::time(nullptr)) + 1;
    *from = *to - kDefaultSpanSeconds;
    if (toText) {
        if (!ReadTime(toText, to))
            return false;
        if (!fromText)
            *from = *to - kDefaultSpanSeconds;
    }
    if (fromText && !ReadTime(fromText, from))
        return false;
    return *from < *to;
}

const char* ExportStateName(WebExportState state)
{
    switch (state) {
    case WebExportState::Waiting:
        return "waiting";
    case WebExportState::Running:
        return "running";
    case WebExportState::Done:
        return "done";
    case WebExportState::Failed:
        return "failed";
    }
    return "failed";
}

void AppendCamera(std::string& out, const WebCameraStatus& camera)
{
    out += "{\"letter\":";
    AppendJsonString(out, std::string_view(&camera.letter, 1));
    out += ",\"enabled\":";
    out += camera.enabled ? "true" : "false";
    out += ",\"motion\":" + std::to_string(camera.motionLevel);
    out += ",\"frameRate\":";
    AppendJsonString(out, camera.frameRateLine);
    out += ",\"archive\":";
    AppendJsonString(out, camera.archiveLine);
    out += ",\"forecast\":";
    AppendJsonString(out, camera.forecastLine);
    out += ",\"fault\":";
    AppendJsonString(out, camera.fault);
    out += "}";
}

} // namespace

const std::string* WebRequest::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (EqualsIgnoringCase(key, name))
            return &value;
    }
    return nullptr;
}

std::string CamerasJson(const WebRecorderStatus& status)
{
    std::string out = "[";
    for (size_t i = 0; i < status.cameras.size(); ++i) {
        if (i > 0)
            out += ",";
        AppendCamera(out, status.cameras[i]);
    }
    out += "]";
    return out;
}

std::string StatusJson(const WebRecorderStatus& status)
{
    std::string out = "{\"instance\":" + std::to_string(status.instance);
    out += ",\"capturing\":";
    out += status.capturing ? "true" : "false";
    out += ",\"device\":";
    AppendJsonString(out, status.device);
    out += ",\"time\":" + std::to_string(static_cast<int64_t>(std::time(nullptr)));
    out += ",\"cameras\":" + CamerasJson(status) + "}";
    return out;
}

WebRouter::WebRouter(IWebBackend& backend, const WebSettings& settings, int instance)
    : backend_(backend)
    , settings_(settings)
    , instance_(instance)
    , cookieName_("vistrel" + std::to_string(instance))
{
    SodiumReady();
}

bool WebRouter::CredentialsMatch(const WebSettings& settings, const std::string& user, const std::string& password)
{
    // The hash is checked whatever the user name, so a wrong name takes as
    // long to refuse as a wrong password.
    const bool passwordMatches = VerifyPassword(settings.passwordHash, password);
    const bool userMatches = user.size() == settings.user.size()
        && sodium_memcmp(user.data(), settings.user.data(), user.size()) == 0;
    return passwordMatches && userMatches;
}

std::string WebRouter::SessionCookie(const std::string& id, bool tls) const
{
    std::string cookie = cookieName_ + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
    cookie += id.empty() ? "; Max-Age=0"
                         : "; Max-Age=" + std::to_string(std::chrono::seconds(SessionTable::kLifetime).count());
    if (tls)
        cookie += "; Secure";
    return cookie;
}

bool WebRouter::HasSession(const WebRequest& request, WebClock::time_point now)
{
    const std::string* cookies = request.Header("Cookie");
    return cookies && sessions_.Valid(CookieValue(*cookies, cookieName_), now);
}

WebReply WebRouter::Handle(const WebRequest& request, WebClock::time_point now)
{
    if (request.method != "GET" && request.method != "HEAD" && request.method != "POST")
        return MethodNotAllowed("GET, HEAD, POST");
    size_t headBytes = request.method.size() + request.target.size() + 12;
    for (const auto& [name, value] : request.headers)
        headBytes += name.size() + value.size() + 4;
    if (headBytes > kMaxRequestHeadBytes)
        return Text(431, "Request header fields too large.\n");
    if (request.bodyTooLarge)
        return Text(413, "Request body too large.\n");
    const std::optional<RequestTarget> target = ParseTarget(request.target);
    if (!target)
        return Text(400, "Bad request.\n");

    const bool open = settings_.passwordHash.empty();
    if (open) {
        // Without a password the server listens on loopback only; a Host of
        // any other name is a page of another site reaching it through DNS.
        const std::string* host = request.Header("Host");
        if (!host || !IsLoopbackHost(*host))
            return Text(421, "This server answers to localhost only.\n");
    }

    // Every POST must come from one of our own pages (or, without any
    // Origin, from a script that sends HTTP Basic credentials over TLS).
    bool basicNeeded = false;
    if (request.method == "POST") {
        const std::string* origin = request.Header("Origin");
        const std::string* host = request.Header("Host");
        if (origin) {
            if (!host || !OriginMatchesHost(*origin, *host, request.tls))
                return Text(403, "Cross-origin request refused.\n");
        } else {
            basicNeeded = true;
        }
    }

    if (IsPublic(*target)) {
        if (basicNeeded)
            return Text(403, "Cross-origin request refused.\n");
        return Public(request, *target, now);
    }

    if (open && !basicNeeded)
        return Route(request, *target, now);
    if (!basicNeeded && HasSession(request, now))
        return Route(request, *target, now);

    // HTTP Basic is for scripts, and only over TLS, where the password does
    // not cross the network in the clear.
    const std::string* authorization = request.Header("Authorization");
    std::string user;
    std::string password;
    if (request.tls && authorization && ParseBasicAuthorization(*authorization, &user, &password)) {
        if (open)
            return Route(request, *target, now);
        if (!limiter_.Admit(request.peer, now))
            return JsonError(429, "too many failed logins; try again in a minute");
        WebReply check;
        check.kind = WebReplyKind::CheckPassword;
        check.user = std::move(user);
        check.password = std::move(password);
        return check;
    }
    if (basicNeeded)
        return Text(403, "Cross-origin request refused.\n");
    if (IsApi(*target))
        return JsonError(401, "login required");
    return Redirect("/login");
}

WebReply WebRouter::Public(const WebRequest& request, const RequestTarget& target, WebClock::time_point now)
{
    const std::vector<std::string>& s = target.segments;
    if (s.size() == 1 && s[0] == "healthz") {
        if (!IsGet(request))
            return MethodNotAllowed("GET, HEAD");
        return Text(200, "ok\n");
    }
    if (s.size() == 2 && s[0] == "static") {
        if (!IsGet(request))
            return MethodNotAllowed("GET, HEAD");
        const std::string_view name = s[1];
        if (!name.ends_with(".css") && !name.ends_with(".js") && !name.ends_with(".svg"))
            return Text(404, "Not found.\n");
        return Asset(name);
    }
    if (s.size() == 1 && s[0] == "login") {
        if (settings_.passwordHash.empty())
            return Redirect("/");
        if (IsGet(request))
            return Asset("login.html");
        return Login(request, now);
    }
    // The logout.
    if (request.method != "POST")
        return MethodNotAllowed("POST");
    if (const std::string* cookies = request.Header("Cookie"))
        sessions_.Remove(CookieValue(*cookies, cookieName_));
    WebReply reply = Redirect("/login");
    reply.headers.emplace_back("Set-Cookie", SessionCookie("", request.tls));
    return reply;
}

WebReply WebRouter::Login(const WebRequest& request, WebClock::time_point now)
{
    const std::optional<TextPairs> form = ParseFormText(request.body);
    const std::optional<std::string> user = form ? PairValue(*form, "user") : std::nullopt;
    const std::optional<std::string> password = form ? PairValue(*form, "password") : std::nullopt;
    if (!user || !password)
        return Text(400, "The login form needs the fields user and password.\n");
    if (!limiter_.Admit(request.peer, now)) {
        return Text(429,
                    "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Vistrel</title></head>"
                    "<body><p>Too many failed logins from your address. Try again in a minute.</p>"
                    "<p><a href=\"/login\">Back to the login</a></p></body></html>\n",
                    kHtml);
    }
    WebReply check;
    check.kind = WebReplyKind::CheckPassword;
    check.user = *user;
    check.password = *password;
    return check;
}

WebReply WebRouter::FinishLogin(const WebRequest& request, LoginOutcome outcome, WebClock::time_point now)
{
    if (outcome == LoginOutcome::Unavailable) {
        limiter_.Cancel(request.peer);
        WebReply reply = Text(503, "The server is busy; try again.\n");
        reply.headers.emplace_back("Retry-After", "5");
        return reply;
    }
    const bool verified = outcome == LoginOutcome::Verified;
    limiter_.Finish(request.peer, verified, now);
    const std::optional<RequestTarget> target = ParseTarget(request.target);
    if (!target)
        return Text(400, "Bad request.\n");
    const bool formLogin = target->segments.size() == 1 && target->segments[0] == "login";
    if (formLogin) {
        if (!verified)
            return Redirect("/login?failed=1");
        WebReply reply = Redirect("/");
        reply.headers.emplace_back("Set-Cookie", SessionCookie(sessions_.Create(now), request.tls));
        return reply;
    }
    if (!verified)
        return JsonError(401, "wrong user name or password");
    return Route(request, *target, now);
}

WebReply WebRouter::Route(const WebRequest& request, const RequestTarget& target, WebClock::time_point)
{
    const std::vector<std::string>& s = target.segments;
    if (IsApi(target))
        return Api(request, target);
    if (s.size() > 1)
        return Text(404, "Not found.\n");
    const std::string page = s.empty() ? "" : s[0];
    const char* asset = page.empty() ? "live.html"
        : page == "archive"          ? "archive.html"
        : page == "events"           ? "events.html"
                                     : nullptr;
    if (!asset)
        return Text(404, "Not found.\n");
    if (!IsGet(request))
        return MethodNotAllowed("GET, HEAD");
    return Asset(asset);
}

WebReply WebRouter::Api(const WebRequest& request, const RequestTarget& target)
{
    const std::vector<std::string>& s = target.segments;
    if (s.size() < 3 || s[1] != "v1")
        return JsonError(404, "no such resource");
    const std::string& resource = s[2];
    if (resource == "exports")
        return Exports(request, target);
    if (!IsGet(request))
        return MethodNotAllowed("GET, HEAD");

    if (resource == "status" && s.size() == 3)
        return Text(200, StatusJson(backend_.Status()), kJson);
    if (resource == "status" && s.size() == 4 && s[3] == "stream") {
        WebReply reply;
        reply.kind = WebReplyKind::StatusStream;
        return reply;
    }
    if (resource == "cameras" && s.size() == 3)
        return Text(200, CamerasJson(backend_.Status()), kJson);
    if (resource == "cameras" && s.size() >= 5) {
        const std::optional<int> camera = CameraOfLetter(s[3]);
        if (!camera)
            return JsonError(404, "no such camera");
        return Camera(request, target, *camera);
    }
    if (resource == "events" && s.size() == 3) {
        int64_t from = 0;
        int64_t to = 0;
        if (!ReadSpan(target, &from, &to))
            return JsonError(400, "from and to must be seconds since 1970 or local YYYY-MM-DDTHH:MM[:SS], from before to");
        std::string body = "[";
        bool first = true;
        for (const std::string& event : backend_.Events(from, to, kMaxEvents)) {
            if (!first)
                body += ",";
            body += event;
            first = false;
        }
        body += "]";
        return Text(200, std::move(body), kJson);
    }
    if (resource == "events" && s.size() == 4 && s[3] == "stream") {
        WebReply reply;
        reply.kind = WebReplyKind::EventStream;
        return reply;
    }
    return JsonError(404, "no such resource");
}

WebReply WebRouter::Camera(const WebRequest&, const RequestTarget& target, int camera)
{
    const std::vector<std::string>& s = target.segments;
    const char letter = static_cast<char>('A' + camera);
    if (s.size() == 5 && s[4] == "latest.jpg") {
        const WebFrame frame = backend_.LatestFrame(camera);
        if (!frame.jpeg)
            return JsonError(404, "no picture yet");
        WebReply reply = Text(200, "", "image/jpeg");
        reply.bytes = frame.jpeg;
        reply.headers.emplace_back("X-Frame-Sequence", std::to_string(frame.sequence));
        return reply;
    }
    if (s.size() == 5 && s[4] == "stream.mjpg") {
        WebReply reply;
        reply.kind = WebReplyKind::MjpegStream;
        reply.camera = camera;
        return reply;
    }
    if (s.size() == 5 && s[4] == "archive") {
        int64_t from = 0;
        int64_t to = 0;
        if (!ReadSpan(target, &from, &to))
            return JsonError(400, "from and to must be seconds since 1970 or local YYYY-MM-DDTHH:MM[:SS], from before to");
        std::vector<WebArchiveImage> images = backend_.Archive(camera, from, to, kMaxArchiveImages + 1);
        const bool truncated = images.size() > kMaxArchiveImages;
        if (truncated)
            images.resize(kMaxArchiveImages);
        std::string body = "{\"camera\":";
        AppendJsonString(body, std::string_view(&letter, 1));
        body += ",\"from\":" + std::to_string(from) + ",\"to\":" + std::to_string(to) + ",\"truncated\":";
        body += truncated ? "true" : "false";
        body += ",\"images\":[";
        for (size_t i = 0; i < images.size(); ++i) {
            if (i > 0)
                body += ",";
            body += "{\"name\":";
            AppendJsonString(body, images[i].name);
            body += ",\"timeMs\":" + std::to_string(images[i].timeMs) + "}";
        }
        body += "]}";
        return Text(200, std::move(body), kJson);
    }
    if (s.size() == 6 && s[4] == "archive") {
        // Only a name the recorder could have written is passed on, and the
        // recorder reads it only if its archive index lists it.
        if (!ArchiveFileStamp(s[5], ArchiveSuffix(instance_, camera)).Valid())
            return JsonError(404, "no such image");
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        const int result = backend_.ReadArchiveImage(camera, s[5], size_t(kMaxArchiveImageBytes), bytes.get());
        if (result == -ENOENT || result == -EINVAL)
            return JsonError(404, "no such image");
        if (result != 0)
            return JsonError(500, "the image could not be read");
        WebReply reply = Text(200, "", "image/jpeg");
        reply.bytes = std::move(bytes);
        return reply;
    }
    return JsonError(404, "no such resource");
}

WebReply WebRouter::Exports(const WebRequest& request, const RequestTarget& target)
{
    const std::vector<std::string>& s = target.segments;
    if (s.size() == 3) {
        if (request.method != "POST")
            return MethodNotAllowed("POST");
        const std::optional<TextPairs> form = ParseFormText(request.body);
        if (!form)
            return JsonError(400, "the body must be a form: camera, from, to, format");
        const std::optional<std::string> cameraText = PairValue(*form, "camera");
        const std::optional<std::string> fromText = PairValue(*form, "from");
        const std::optional<std::string> toText = PairValue(*form, "to");
        const std::optional<std::string> formatText = PairValue(*form, "format");
        const std::optional<int> camera = cameraText ? CameraOfLetter(*cameraText) : std::nullopt;
        WebExportRequest job;
        const bool formatKnown = formatText && (*formatText == "mp4" || *formatText == "zip");
        if (!camera || !ReadTime(fromText, &job.fromSeconds) || !ReadTime(toText, &job.toSeconds) || !formatKnown
            || job.fromSeconds >= job.toSeconds)
            return JsonError(400, "an export needs camera A to H, from before to, and format mp4 or zip");
        job.camera = camera.value();
        job.format = *formatText == "mp4" ? WebExportFormat::Mp4 : WebExportFormat::Zip;
        std::string id;
        const int result = backend_.StartExport(job, &id);
        if (result == -EINVAL)
            return JsonError(400, "the range holds no image");
        if (result == -EBUSY)
            return JsonError(503, "too many exports are waiting; try again later");
        if (result != 0 || !IsExportId(id))
            return JsonError(500, "the export could not be started");
        std::string body = "{\"id\":";
        AppendJsonString(body, id);
        body += "}";
        WebReply reply = Text(202, std::move(body), kJson);
        reply.headers.emplace_back("Location", "/api/v1/exports/" + id);
        return reply;
    }
    if (!IsGet(request))
        return MethodNotAllowed("GET, HEAD");
    WebExportJob job;
    if ((s.size() != 4 && !(s.size() == 5 && s[4] == "file")) || !IsExportId(s[3]) || !backend_.Export(s[3], &job))
        return JsonError(404, "no such export");
    if (s.size() == 4) {
        std::string body = "{\"id\":";
        AppendJsonString(body, s[3]);
        body += ",\"state\":\"";
        body += ExportStateName(job.state);
        body += "\",\"progress\":" + std::to_string(job.progressPercent);
        body += ",\"format\":\"";
        body += job.format == WebExportFormat::Mp4 ? "mp4" : "zip";
        body += "\",\"error\":";
        AppendJsonString(body, job.error);
        body += "}";
        return Text(200, std::move(body), kJson);
    }
    if (job.state != WebExportState::Done || job.file.empty())
        return JsonError(409, "the export is not done");
    const char* extension = job.format == WebExportFormat::Mp4 ? "mp4" : "zip";
    WebReply reply;
    reply.kind = WebReplyKind::File;
    reply.file = job.file;
    reply.contentType = job.format == WebExportFormat::Mp4 ? "video/mp4" : "application/zip";
    reply.headers.emplace_back("Content-Disposition",
                               "attachment; filename=\"vistrel-" + s[3] + "." + extension + "\"");
    return reply;
}

} // namespace vistrel
