// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/password_hash.h"
#include "web/tls_identity.h"
#include "web/web_server.h"
#include "web/web_settings.h"

#include "settings/registry_key.h"

#include "support/fake_web_backend.h"
#include "http_client.h"
#include "support/temp_env.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <future>
#include <thread>

namespace vistrel::test {
namespace {

using namespace std::chrono_literals;

const char* const kUser = "keeper";
const char* const kPassword = "correct horse battery";

// Hashing is slow on purpose: once for the whole binary.
const std::string& PasswordHash()
{
    static const std::string hash = HashPassword(kPassword);
    return hash;
}

class WebServerTest : public testing::Test {
protected:
    WebServerTest()
        : backend_(dir_.path().toStdString())
    {
    }

    WebServerConfig Config(bool withPassword = true)
    {
        WebServerConfig config;
        config.settings = DefaultWebSettings(1);
        config.settings.enable = true;
        config.settings.port = 0; // a free port: tests run side by side
        if (withPassword) {
            config.settings.user = kUser;
            config.settings.passwordHash = PasswordHash();
        }
        config.storeFolder = dir_.path().toStdString() + "/store";
        return config;
    }

    void Start(const WebServerConfig& config)
    {
        WebStartResult result = WebServer::Start(backend_, config);
        ASSERT_EQ(result.status, WebStartStatus::Started) << WebStartText(result, config);
        server_ = std::move(result.server);
        port_ = server_->Port();
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Origin() const { return "http://" + Host(); }

    HttpResponse Login(const char* from = nullptr, const std::string& password = kPassword)
    {
        return Request(port_, "POST", "/login",
                       {{"Origin", Origin()}, {"Content-Type", "application/x-www-form-urlencoded"}},
                       std::string("user=") + kUser + "&password=" + password, from);
    }

    // The session cookie ("name=value") of a successful login.
    std::string LoginCookie(const char* from = nullptr)
    {
        const HttpResponse response = Login(from);
        const std::string setCookie = response.Header("Set-Cookie");
        EXPECT_EQ(response.status, 303);
        return setCookie.substr(0, setCookie.find(';'));
    }

    QTemporaryDir dir_;
    FakeWebBackend backend_;
    std::unique_ptr<WebServer> server_;
    uint16_t port_ = 0;
};

// Every answer of ours carries the security headers, whatever its status.
void ExpectSecurityHeaders(const HttpResponse& response, const std::string& what)
{
    const std::string policy = response.Header("Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << what;
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << what;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << what;
    EXPECT_EQ(response.Header("X-Content-Type-Options"), "nosniff") << what;
    EXPECT_EQ(response.Header("Referrer-Policy"), "same-origin") << what;
}

TEST_F(WebServerTest, EveryRouteButThePublicOnesNeedsASession)
{
    Start(Config());
    backend_.AddArchiveImage(0, "1765000000" "0-Cam1A.jpg", 1765000000000, {0xff, 0xd8, 0xff, 0xd9});

    // Pages redirect to the login; the API answers 401; a made-up or
    // foreign session cookie changes nothing.
    const std::vector<std::pair<std::string, std::string>> guarded = {
        {"GET", "/"},
        {"GET", "/archive"},
        {"GET", "/events"},
        {"GET", "/no/such/page"},
        {"GET", "/api/v1/status"},
        {"GET", "/api/v1/status/stream"},
        {"GET", "/api/v1/cameras"},
        {"GET", "/api/v1/cameras/A/latest.jpg"},
        {"GET", "/api/v1/cameras/A/stream.mjpg"},
        {"GET", "/api/v1/cameras/A/archive?from=0&to=2000000000"},
        {"GET", "/api/v1/cameras/A/archive/17650000000-Cam1A.jpg"},
        {"GET", "/api/v1/events"},
        {"GET", "/api/v1/events/stream"},
        {"GET", "/api/v1/exports/job1"},
        {"GET", "/api/v1/exports/job1/file"},
        {"POST", "/api/v1/exports"},
        {"GET", "/api/v2/anything"},
    };
    for (const auto& [method, target] : guarded) {
        for (const std::string cookie : {"", "vistrel1=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"}) {
            std::vector<std::pair<std::string, std::string>> headers = {{"Origin", Origin()}};
            if (!cookie.empty())
                headers.emplace_back("Cookie", cookie);
            const HttpResponse response
                = Request(port_, method, target, headers, method == "POST" ? "camera=A&from=1&to=2&format=zip" : "");
            const std::string what = method + " " + target + (cookie.empty() ? "" : " with a made-up cookie");
            if (target.starts_with("/api/")) {
                EXPECT_EQ(response.status, 401) << what;
                EXPECT_EQ(response.Header("Content-Type"), "application/json") << what;
            } else {
                EXPECT_EQ(response.status, 303) << what;
                EXPECT_EQ(response.Header("Location"), "/login") << what;
            }
            ExpectSecurityHeaders(response, what);
        }
    }
    EXPECT_TRUE(backend_.NamesAsked().empty());
    EXPECT_EQ(backend_.Viewers(0), 0);

    for (const char* target : {"/login", "/static/app.css", "/static/live.js", "/healthz"}) {
        const HttpResponse response = Request(port_, "GET", target);
        EXPECT_EQ(response.status, 200) << target;
        ExpectSecurityHeaders(response, target);
    }
    // The pages hold no inline script, which the policy would block anyway.
    const HttpResponse login = Request(port_, "GET", "/login");
    EXPECT_NE(login.body.find("<script src=\"/static/login.js\""), std::string::npos);
    EXPECT_EQ(login.body.find("<script>"), std::string::npos);
}

TEST_F(WebServerTest, LoginsAreLimitedAndSessionsAreStrict)
{
    Start(Config());

    // A POST that is not from our own pages never counts, not even a login.
    EXPECT_EQ(Request(port_, "POST", "/login", {{"Origin", "http://evil.example"}},
                      std::string("user=") + kUser + "&password=" + kPassword)
                  .status,
              403);
    EXPECT_EQ(Request(port_, "POST", "/login", {}, std::string("user=") + kUser + "&password=" + kPassword).status, 403);

    // Five wrong passwords at once from one address; the sixth attempt is
    // refused without a check, even with the right password.
    std::vector<std::future<HttpResponse>> wrong;
    for (int i = 0; i < 5; ++i)
        wrong.push_back(std::async(std::launch::async, [this] { return Login(nullptr, "guess"); }));
    for (auto& attempt : wrong) {
        const HttpResponse response = attempt.get();
        EXPECT_EQ(response.status, 303);
        EXPECT_EQ(response.Header("Location"), "/login?failed=1");
        EXPECT_FALSE(response.HasHeader("Set-Cookie"));
    }
    const HttpResponse limited = Login();
    EXPECT_EQ(limited.status, 429);
    ExpectSecurityHeaders(limited, "429");

    // Another address logs in; its cookie is a 256-bit id, HttpOnly and
    // SameSite=Strict, not Secure over plain HTTP.
    const HttpResponse login = Login("127.0.0.2");
    ASSERT_EQ(login.status, 303);
    EXPECT_EQ(login.Header("Location"), "/");
    const std::string setCookie = login.Header("Set-Cookie");
    const std::string cookie = setCookie.substr(0, setCookie.find(';'));
    EXPECT_EQ(cookie.size(), std::string("vistrel1=").size() + 64) << setCookie;
    EXPECT_NE(setCookie.find("; HttpOnly"), std::string::npos) << setCookie;
    EXPECT_NE(setCookie.find("; SameSite=Strict"), std::string::npos) << setCookie;
    EXPECT_EQ(setCookie.find("Secure"), std::string::npos) << setCookie;

    const HttpResponse status = Request(port_, "GET", "/api/v1/status", {{"Cookie", cookie}});
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.body.find("\"letter\":\"A\""), std::string::npos) << status.body;
    EXPECT_NE(status.body.find("\"frameRate\":\"10.0 fps\""), std::string::npos) << status.body;

    // A logged-in browser still cannot be made to POST by another site.
    const std::string form = "camera=A&from=1765000000&to=1765000100&format=zip";
    EXPECT_EQ(Request(port_, "POST", "/api/v1/exports", {{"Cookie", cookie}, {"Origin", "http://evil.example"}}, form)
                  .status,
              403);
    EXPECT_EQ(Request(port_, "POST", "/api/v1/exports", {{"Cookie", cookie}}, form).status, 403);
    EXPECT_EQ(Request(port_, "POST", "/api/v1/exports", {{"Cookie", cookie}, {"Origin", Origin()}}, form).status, 202);

    // HTTP Basic would send the password in the clear: not over plain HTTP.
    const std::string basic = "Basic " + QByteArray((std::string(kUser) + ":" + kPassword).c_str()).toBase64().toStdString();
    EXPECT_EQ(Request(port_, "GET", "/api/v1/status", {{"Authorization", basic}}, "", "127.0.0.3").status, 401);

    // Logging out ends the session on the server, not only in the browser.
    const HttpResponse logout = Request(port_, "POST", "/logout", {{"Cookie", cookie}, {"Origin", Origin()}});
    EXPECT_EQ(logout.status, 303);
    EXPECT_NE(logout.Header("Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(Request(port_, "GET", "/api/v1/status", {{"Cookie", cookie}}).status, 401);
}

TEST_F(WebServerTest, ArchiveNamesFromRequestsNeverReachTheRecorder)
{
    Start(Config());
    const std::string name = "17650000000-Cam1A.jpg";
    backend_.AddArchiveImage(0, name, 1765000000000, {0xff, 0xd8, 0x01, 0x02, 0xff, 0xd9});
    const std::string cookie = LoginCookie();

    const std::vector<std::string> hostile = {
        "..%2F..%2Fetc%2Fpasswd",
        "..",
        "%2Fetc%2Fpasswd",
        "%2e%2e",
        "17650000000-Cam1A.jpg%00.png",
        "17650000000-Cam1A.jpg%2F..%2F..%2Fetc%2Fpasswd",
        "..%5C..%5Cwindows",
        "17650000000-Cam1B.jpg", // another camera's name
        "17650000000-Cam1A.jpeg",
        std::string(60, '1') + "-Cam1A.jpg", // overlong
        "17650000000-Cam1A.jpg/extra",
        "%",
    };
    for (const std::string& bad : hostile) {
        const HttpResponse response
            = Request(port_, "GET", "/api/v1/cameras/A/archive/" + bad, {{"Cookie", cookie}});
        EXPECT_TRUE(response.status == 404 || response.status == 400) << bad << " gave " << response.status;
        EXPECT_EQ(response.body.find("/etc"), std::string::npos) << bad;
        EXPECT_EQ(response.body.find('/'), std::string::npos) << "no path in an error: " << response.body;
    }
    // Absolute targets, and a raw NUL byte in the request line (the server
    // sees the target up to it, and judges that like any other name).
    const char withNul[] = "/api/v1/cameras/A/archive/17650000000-Cam1A\0.jpg";
    for (const std::string& target :
         {std::string("/etc/passwd"), std::string("http://127.0.0.1/etc/passwd"), std::string(withNul, sizeof withNul - 1)}) {
        const HttpResponse response = Request(port_, "GET", target, {{"Cookie", cookie}});
        EXPECT_TRUE(response.status == 404 || response.status == 400 || response.status == 0) << response.status;
    }
    EXPECT_TRUE(backend_.NamesAsked().empty()) << backend_.NamesAsked().front();

    // A well-formed name the index does not hold is asked for and refused;
    // a listed one is served.
    EXPECT_EQ(Request(port_, "GET", "/api/v1/cameras/A/archive/17650000010-Cam1A.jpg", {{"Cookie", cookie}}).status, 404);
    const HttpResponse image = Request(port_, "GET", "/api/v1/cameras/A/archive/" + name, {{"Cookie", cookie}});
    EXPECT_EQ(image.status, 200);
    EXPECT_EQ(image.Header("Content-Type"), "image/jpeg");
    EXPECT_EQ(image.body, std::string("\xff\xd8\x01\x02\xff\xd9", 6));
    EXPECT_EQ(backend_.NamesAsked(), (std::vector<std::string>{"17650000010-Cam1A.jpg", name}));

    // Times of the API: seconds, or local times; anything else is refused.
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 7;
    local.tm_hour = 14;
    local.tm_isdst = -1;
    const int64_t from = std::mktime(&local);
    const HttpResponse listing = Request(port_, "GET", "/api/v1/cameras/A/archive?from=2026-12-07T14:00&to=2026-12-07T15:00:30",
                                         {{"Cookie", cookie}});
    EXPECT_EQ(listing.status, 200) << listing.body;
    EXPECT_EQ(backend_.LastArchiveSpan(), std::make_pair(from, from + 3630));
    for (const char* bad : {"from=2026-02-30T10:00&to=2030-01-01T00:00", "from=yesterday&to=1", "from=5&to=4", "from=-1&to=4"})
        EXPECT_EQ(Request(port_, "GET", std::string("/api/v1/cameras/A/archive?") + bad, {{"Cookie", cookie}}).status, 400) << bad;
    const HttpResponse all = Request(port_, "GET", "/api/v1/cameras/A/archive?from=1765000000&to=1765000001", {{"Cookie", cookie}});
    EXPECT_NE(all.body.find("{\"name\":\"" + name + "\",\"timeMs\":1765000000000}"), std::string::npos) << all.body;

    // An export is a job: 202 with its id, then its state, then its file.
    const HttpResponse started = Request(port_, "POST", "/api/v1/exports", {{"Cookie", cookie}, {"Origin", Origin()}},
                                         "camera=B&from=1765000000&to=2026-12-07T15:00&format=mp4");
    ASSERT_EQ(started.status, 202) << started.body;
    EXPECT_EQ(started.body, "{\"id\":\"job1\"}");
    EXPECT_EQ(started.Header("Location"), "/api/v1/exports/job1");
    const HttpResponse state = Request(port_, "GET", "/api/v1/exports/job1", {{"Cookie", cookie}});
    EXPECT_NE(state.body.find("\"state\":\"done\",\"progress\":100"), std::string::npos) << state.body;
    const HttpResponse file = Request(port_, "GET", "/api/v1/exports/job1/file", {{"Cookie", cookie}});
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.Header("Content-Type"), "video/mp4");
    EXPECT_EQ(file.body, "export of camera B from 1765000000 to " + std::to_string(from + 3600));
    EXPECT_EQ(Request(port_, "POST", "/api/v1/exports", {{"Cookie", cookie}, {"Origin", Origin()}},
                      "camera=I&from=1&to=2&format=mp4")
                  .status,
              400);
}

TEST_F(WebServerTest, IdleAndSlowClientsDoNotStopALoggedInClient)
{
    Start(Config());
    const std::string cookie = LoginCookie();

    // 300 connections from one address that never send a byte: 16 are
    // taken, the rest closed at once.
    std::vector<std::unique_ptr<HttpConnection>> idle;
    for (int i = 0; i < 300; ++i) {
        if (auto connection = HttpConnection::Open(port_, "127.0.0.1", "127.0.0.2"))
            idle.push_back(std::move(connection));
    }
    // A client that sends its head one byte at a time.
    std::atomic<bool> slowDone{false};
    std::thread slow([this, &slowDone] {
        auto connection = HttpConnection::Open(port_, "127.0.0.1", "127.0.0.4");
        const std::string head = "GET /api/v1/status HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(40, 'p');
        for (char c : head) {
            if (!connection || slowDone || !connection->Send(std::string(1, c)))
                break;
            std::this_thread::sleep_for(100ms);
        }
    });

    for (int i = 0; i < 5; ++i) {
        const HttpResponse response = Request(port_, "GET", "/api/v1/status", {{"Cookie", cookie}});
        EXPECT_EQ(response.status, 200) << "request " << i;
    }
    // Served while the address's 16 still wait for their time-out; all the
    // others were already closed when they came.
    ASSERT_EQ(idle.size(), 300u);
    int closedAtOnce = 0;
    for (auto& connection : idle)
        closedAtOnce += connection->WaitClosed(0ms) ? 1 : 0;
    EXPECT_EQ(closedAtOnce, 300 - 16);
    // A stream still flows.
    backend_.PushFrame(0, 1000);
    auto viewer = HttpConnection::Open(port_);
    ASSERT_TRUE(viewer);
    viewer->Send("GET /api/v1/cameras/A/stream.mjpg HTTP/1.1\r\nHost: " + Host() + "\r\nCookie: " + cookie + "\r\n\r\n");
    EXPECT_NE(viewer->ReadAtLeast(1200).find("Content-Type: image/jpeg"), std::string::npos);
    slowDone = true;
    slow.join();

    // Beyond its 16, every idle connection was closed; the 16 go once they
    // have been silent for the head's time-out.
    int closed = 0;
    for (auto& connection : idle)
        closed += connection->WaitClosed(30s) ? 1 : 0;
    EXPECT_EQ(closed, 300);

    // Heads and bodies over their limits are refused.
    const HttpResponse longHead
        = Request(port_, "GET", "/api/v1/status", {{"Cookie", cookie}, {"X-Long", std::string(17 * 1024, 'h')}});
    EXPECT_EQ(longHead.status, 431);
    // The body's length is refused from its announcement, before it is sent.
    auto longBody = HttpConnection::Open(port_);
    ASSERT_TRUE(longBody);
    longBody->Send("POST /api/v1/exports HTTP/1.1\r\nHost: " + Host() + "\r\nCookie: " + cookie + "\r\nOrigin: "
                   + Origin() + "\r\nContent-Length: " + std::to_string(65 * 1024) + "\r\n\r\n");
    const std::optional<HttpResponse> refused = longBody->Read();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 413);
}

TEST_F(WebServerTest, OffByDefaultOnLoopbackAndNeverOpenWithoutAPassword)
{
    // The stored settings: defaults for an empty store, values as written.
    const std::filesystem::path store = dir_.path().toStdString() + "/registry";
    CRegistryKey key(store);
    WebSettings read = ReadWebSettings(key, 3);
    EXPECT_FALSE(read.enable);
    EXPECT_EQ(read.port, 8767);
    EXPECT_EQ(read.bind, "127.0.0.1");
    EXPECT_FALSE(read.tls);
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.SetKey(WebKeyPath(3), true));
    EXPECT_EQ(key.SubKey(), "Software\\Tallow Software\\Vistrel\\Camera3\\Web");
    key.WriteInt("Enable", 1);
    key.WriteInt("Tls", 1);
    key.WriteInt("Port", 70000); // out of range: the default stays
    key.WriteString("Bind", "0.0.0.0");
    key.WriteString("PasswordHash", PasswordHash());
    key.WriteString("KeyFile", "/srv/key.pem");
    CRegistryKey again(store);
    read = ReadWebSettings(again, 3);
    EXPECT_TRUE(read.enable && read.tls);
    EXPECT_EQ(read.port, 8767);
    EXPECT_EQ(read.bind, "0.0.0.0");
    EXPECT_EQ(read.passwordHash, PasswordHash());
    EXPECT_EQ(read.keyFile, "/srv/key.pem");

    WebServerConfig config = Config(false);
    config.settings.enable = false;
    EXPECT_EQ(WebServer::Start(backend_, config).status, WebStartStatus::Disabled);
    config.settings.enable = true;
    for (const char* open : {"0.0.0.0", "::", "192.0.2.1"}) {
        config.settings.bind = open;
        const WebStartResult refused = WebServer::Start(backend_, config);
        EXPECT_EQ(refused.status, WebStartStatus::BadSettings) << open;
        EXPECT_EQ(refused.problem, WebSettingsProblem::PasswordNeeded) << open;
        EXPECT_FALSE(refused.server);
        EXPECT_FALSE(WebStartText(refused, config).empty());
    }
    config.settings.bind = "localhost";
    EXPECT_EQ(WebServer::Start(backend_, config).problem, WebSettingsProblem::BadBindAddress);

    // By default it listens on 127.0.0.1 alone, and without a password
    // answers only requests that name the loopback as their host.
    Start(Config(false));
    EXPECT_EQ(Request(port_, "GET", "/api/v1/status").status, 200);
    EXPECT_FALSE(HttpConnection::Open(port_, "127.0.0.2"));
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 loopback6{};
    loopback6.sin6_family = AF_INET6;
    loopback6.sin6_port = htons(port_);
    loopback6.sin6_addr = in6addr_loopback;
    EXPECT_NE(::connect(v6, reinterpret_cast<sockaddr*>(&loopback6), sizeof loopback6), 0);
    ::close(v6);
    auto rebound = HttpConnection::Open(port_);
    ASSERT_TRUE(rebound);
    rebound->Send("GET /api/v1/status HTTP/1.1\r\nHost: camera.evil.example\r\n\r\n");
    EXPECT_EQ(rebound->Read()->status, 421);
}

TEST_F(WebServerTest, SlowViewersHoldOnlyTheNewestPictureAndStopIsPrompt)
{
    Start(Config());
    const std::string cookie = LoginCookie();
    const std::string streamRequest
        = "GET /api/v1/cameras/A/stream.mjpg HTTP/1.1\r\nHost: " + Host() + "\r\nCookie: " + cookie + "\r\n\r\n";

    // A viewer that never reads, on a small receive buffer.
    auto stalled = HttpConnection::Open(port_, "127.0.0.1", nullptr, 4096);
    ASSERT_TRUE(stalled);
    stalled->Send(streamRequest);
    ASSERT_TRUE(waitFor([&] { return backend_.Viewers(0) == 1; }));

    // Hundreds of pictures later it holds at most the one being sent and the
    // newest: the recorder's own, and no more.
    constexpr size_t kPictureBytes = 256 * 1024;
    int mostAlive = 0;
    uint64_t last = 0;
    for (int i = 0; i < 300; ++i) {
        last = backend_.PushFrame(0, kPictureBytes);
        mostAlive = std::max(mostAlive, backend_.LivePictures());
    }
    EXPECT_LE(mostAlive, 3);

    // A viewer that reads gets the newest picture.
    auto reader = HttpConnection::Open(port_);
    ASSERT_TRUE(reader);
    reader->Send(streamRequest);
    ASSERT_TRUE(waitFor([&] { return backend_.Viewers(0) == 2; }));
    std::string seen = reader->ReadAtLeast(kPictureBytes);
    const size_t body = seen.find("\r\n\r\n", seen.find("--vistrelframe"));
    ASSERT_NE(body, std::string::npos);
    if (seen.size() < body + 4 + 8)
        seen += reader->ReadAtLeast(body + 4 + 8 - seen.size());
    uint64_t sequence = 0;
    std::memcpy(&sequence, seen.data() + body + 4, sizeof sequence);
    EXPECT_EQ(sequence, last);

    // The event stream gets new events as they come, one data line each.
    auto events = HttpConnection::Open(port_);
    ASSERT_TRUE(events);
    events->Send("GET /api/v1/events/stream HTTP/1.1\r\nHost: " + Host() + "\r\nCookie: " + cookie + "\r\n\r\n");
    EXPECT_NE(events->ReadAtLeast(1).find("text/event-stream"), std::string::npos);
    std::string pushed;
    ASSERT_TRUE(waitFor([&] {
        backend_.PushEvent("{\"type\":\"motion\",\"camera\":\"A\"}");
        pushed += events->ReadAtLeast(1, 200ms);
        return pushed.find("data: {\"type\":\"motion\",\"camera\":\"A\"}\n\n") != std::string::npos;
    }));

    // Closing a viewer is noticed; with nobody left the recorder stops making
    // pictures for the web.
    reader.reset();
    ASSERT_TRUE(waitFor([&] {
        backend_.PushFrame(0, 100);
        return backend_.Viewers(0) == 1;
    }));

    // Stopping with streams open (one stalled, one suspended) returns, and
    // leaves the recorder without a listener and without viewers.
    auto stopped = std::async(std::launch::async, [this] { server_.reset(); });
    ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready);
    EXPECT_FALSE(backend_.HasListener());
    EXPECT_EQ(backend_.Viewers(0), 0);
    EXPECT_TRUE(stalled->WaitClosed(10s));
}

TEST_F(WebServerTest, SelfSignedCertificateIsMadeOnceKeptAndServed)
{
    WebServerConfig config = Config();
    config.settings.tls = true;
    Start(config);
    const std::filesystem::path certificate = SelfSignedCertificatePath(config.storeFolder, 1);
    const std::filesystem::path key = SelfSignedKeyPath(config.storeFolder, 1);
    for (const auto& file : {certificate, key}) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    const std::string fingerprint = server_->Fingerprint();
    ASSERT_EQ(fingerprint.size(), 32u * 3 - 1);

    // A client that trusts only this fingerprint connects, logs in (the
    // cookie now Secure), and may use HTTP Basic.
    QProcess client;
    client.start("python3", {VISTREL_WEB_TLS_CLIENT, QString::number(port_), QString::fromStdString(fingerprint), kUser,
                             kPassword});
    ASSERT_TRUE(client.waitForFinished(60000));
    const QString output = QString::fromUtf8(client.readAllStandardOutput() + client.readAllStandardError());
    EXPECT_EQ(client.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("healthz 200")) << output.toStdString();
    EXPECT_TRUE(output.contains("login 303 secure")) << output.toStdString();
    EXPECT_TRUE(output.contains("basic 200")) << output.toStdString();
    EXPECT_TRUE(output.contains("wrong 401")) << output.toStdString();

    // Made once: the next start serves the same certificate from the same files.
    struct stat before {};
    ::stat(certificate.c_str(), &before);
    server_.reset();
    Start(config);
    EXPECT_EQ(server_->Fingerprint(), fingerprint);
    struct stat after {};
    ::stat(certificate.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

} // namespace
} // namespace vistrel::test
