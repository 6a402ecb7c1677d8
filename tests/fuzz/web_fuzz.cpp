// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/http_text.h"
#include "web/web_router.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace vistrel;

namespace {

// A recorder that answers everything and aborts when a name it is asked for
// could leave the archive folder.
class Backend : public IWebBackend {
public:
    WebRecorderStatus Status() override
    {
        WebRecorderStatus status;
        status.cameras.push_back({'A', true, 5, "1 fps\n\"", "1 MB", "1 day", "fault \x01<"});
        return status;
    }
    WebFrame LatestFrame(int) override { return {1, std::make_shared<const std::vector<uint8_t>>(4, 0)}; }
    void SetListener(IWebListener*) override {}
    void SetViewers(int, int) override {}
    std::vector<WebArchiveImage> Archive(int camera, int64_t from, int64_t to, size_t) override
    {
        if (camera < 0 || camera >= kWebCameras || from >= to)
            std::abort();
        return {{"17650000000-Cam1A.jpg", 1765000000000}};
    }
    int ReadArchiveImage(int camera, const std::string& name, size_t, std::vector<uint8_t>* bytes) override
    {
        if (camera < 0 || camera >= kWebCameras || name.find_first_of("/\\") != std::string::npos
            || name.find("..") != std::string::npos || name.find('\0') != std::string::npos)
            std::abort();
        bytes->assign(4, 0);
        return name.size() % 2 ? 0 : -ENOENT;
    }
    std::vector<std::string> Events(int64_t, int64_t, size_t) override { return {"{}"}; }
    int StartExport(const WebExportRequest& request, std::string* id) override
    {
        if (request.camera < 0 || request.camera >= kWebCameras || request.fromSeconds >= request.toSeconds)
            std::abort();
        *id = "job1";
        return 0;
    }
    bool Export(const std::string& id, WebExportJob* job) override
    {
        if (!IsExportId(id))
            std::abort();
        job->state = WebExportState::Done;
        job->file = "/nonexistent";
        return true;
    }
};

void Check(const WebReply& reply)
{
    if (reply.status < 200 || reply.status > 599)
        std::abort();
    // Nothing a client sees names a path of ours.
    if (reply.body.find("/nonexistent") != std::string::npos)
        std::abort();
}

} // namespace

// The input is a request as text: "METHOD TARGET", header lines "Name: value",
// an empty line, the body. Its first byte picks TLS, a password, and whether
// a valid session cookie is added.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    WebRequest request;
    const size_t lineEnd = text.find('\n');
    const std::string_view line = text.substr(0, lineEnd);
    const size_t space = line.find(' ');
    request.method = std::string(line.substr(0, space));
    request.target = space == std::string_view::npos ? "" : std::string(line.substr(space + 1));
    text = lineEnd == std::string_view::npos ? std::string_view() : text.substr(lineEnd + 1);
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view header = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (header.empty())
            break;
        const size_t colon = header.find(':');
        request.headers.emplace_back(std::string(header.substr(0, colon)),
                                     colon == std::string_view::npos ? "" : std::string(header.substr(colon + 1)));
    }
    request.body = std::string(text);
    request.tls = mode & 1;
    request.peer = "127.0.0.1";

    // The routines the router builds on keep their promises on any text.
    if (const std::optional<RequestTarget> target = ParseTarget(request.target)) {
        for (const std::string& segment : target->segments) {
            if (segment == "." || segment == ".." || segment.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
                std::abort();
        }
    }
    std::string json;
    AppendJsonString(json, request.body);
    for (unsigned char c : json) {
        if (c < 0x20)
            std::abort();
    }

    Backend backend;
    WebSettings settings;
    settings.user = "u";
    // Never verified here: the fuzzer decides the outcome of a check itself.
    settings.passwordHash = (mode & 2) ? "" : "$argon2id$v=19$m=65536,t=2,p=1$c29tZXNhbHQ$aGFzaA";
    WebRouter router(backend, settings, 1);
    const auto now = WebClock::now();

    if (mode & 4) {
        WebRequest login;
        login.method = "POST";
        login.target = "/login";
        login.peer = request.peer;
        const WebReply session = router.FinishLogin(login, LoginOutcome::Verified, now);
        for (const auto& [name, value] : session.headers) {
            if (name == "Set-Cookie")
                request.headers.emplace_back("Cookie", value.substr(0, value.find(';')));
        }
    }

    const WebReply reply = router.Handle(request, now);
    if (reply.kind == WebReplyKind::CheckPassword) {
        const LoginOutcome outcome = (mode & 8) ? LoginOutcome::Verified
                                                : (mode & 16) ? LoginOutcome::Refused : LoginOutcome::Unavailable;
        Check(router.FinishLogin(request, outcome, now));
    } else {
        Check(reply);
    }
    return 0;
}
