// SPDX-License-Identifier: GPL-3.0-or-later
// The web server inside the built recorder: the program run as a user runs
// it (offscreen, test-pattern device, private store and home), its password
// set by `vistrel --web-password`, and clients on loopback.
#include "web/password_hash.h"
#include "web/web_settings.h"

#include "settings/registry_key.h"

#include "http_client.h"
#include "support/temp_env.h"

#include <QDir>
#include <QProcess>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace vistrel::test {
namespace {

using namespace std::chrono_literals;

const char* const kPassword = "Tr0ub4dor&3 with spaces";

class RecorderWeb : public testing::Test {
protected:
    ~RecorderWeb() override
    {
        if (recorder_) {
            recorder_->terminate();
            if (!recorder_->waitForFinished(60000))
                recorder_->kill();
        }
    }

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment e = env_.RecorderEnvironment();
        return e;
    }

    // Runs `vistrel` with `input` on standard input; its exit status, -1 when it hung.
    int Run(const QStringList& arguments, const QByteArray& input, QByteArray* errors = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(Environment());
        process.start(VISTREL_EXECUTABLE, arguments);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        if (errors)
            *errors = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }

    std::string StoredHash(int instance)
    {
        CRegistryKey key;
        return ReadWebSettings(key, instance).passwordHash;
    }

    QString WebKeyFile(int instance) const
    {
        return env_.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera"
            + QString::number(instance) + "/Web/values.reg";
    }

    // A port nothing listens on now.
    static uint16_t FreePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(fd);
        return ntohs(address.sin_port);
    }

    // This machine's addresses other than 127.0.0.1 (::1 and every
    // interface's), with the port.
    static std::vector<sockaddr_storage> OtherAddresses(uint16_t port)
    {
        std::vector<sockaddr_storage> addresses;
        sockaddr_storage v6{};
        auto* loopback6 = reinterpret_cast<sockaddr_in6*>(&v6);
        loopback6->sin6_family = AF_INET6;
        loopback6->sin6_addr = in6addr_loopback;
        addresses.push_back(v6);
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
                if (!entry->ifa_addr || (entry->ifa_addr->sa_family != AF_INET && entry->ifa_addr->sa_family != AF_INET6))
                    continue;
                sockaddr_storage address{};
                std::memcpy(&address, entry->ifa_addr,
                            entry->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
                if (address.ss_family == AF_INET
                    && reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr == htonl(INADDR_LOOPBACK))
                    continue;
                addresses.push_back(address);
            }
            ::freeifaddrs(list);
        }
        for (sockaddr_storage& address : addresses) {
            if (address.ss_family == AF_INET)
                reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
            else
                reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
        }
        return addresses;
    }

    static bool Connects(const sockaddr_storage& address)
    {
        const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const socklen_t size = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
        ::close(fd);
        return connected;
    }

    int ArchiveImages() const
    {
        return int(QDir(env_.homeDir() + "/Cameras/Camera1A").entryList({"*-Cam1A.jpg"}, QDir::Files).size());
    }

    TempEnvironment env_;
    std::unique_ptr<QProcess> recorder_;
};

// The password comes from standard input, never from the command line; only
// its hash is stored, in a file for its owner alone.
TEST_F(RecorderWeb, WebPasswordIsReadFromStandardInputAndStoredAsAHash)
{
    QByteArray errors;
    ASSERT_EQ(Run({"--web-password", "--instance", "3"}, QByteArray(kPassword) + "\nsecond line\n", &errors), 0)
        << errors.toStdString();
    const std::string hash = StoredHash(3);
    EXPECT_TRUE(VerifyPassword(hash, kPassword)) << hash;
    EXPECT_FALSE(VerifyPassword(hash, "second line"));
    EXPECT_TRUE(StoredHash(1).empty());
    QFile file(WebKeyFile(3));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains(kPassword));
    struct stat st {};
    ASSERT_EQ(::stat(WebKeyFile(3).toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Refused, and nothing changed: a password given on the command line, a
    // bad instance, no password at all, an empty one.
    struct Case {
        QStringList arguments;
        QByteArray input;
        int status;
    };
    const Case refused[] = {
        {{"--web-password", "hunter2"}, "", 2},
        {{"--web-password", "--instance", "0"}, "x\n", 2},
        {{"--web-password", "--instance"}, "x\n", 2},
        {{"--web-password", "--instance", "3"}, "", 1},
        {{"--web-password", "--instance", "3"}, "\n", 1},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(Run(c.arguments, c.input, &errors), c.status) << c.arguments.join(' ').toStdString();
        EXPECT_TRUE(errors.startsWith("vistrel: ")) << errors.toStdString();
    }
    EXPECT_EQ(StoredHash(3), hash);
    EXPECT_TRUE(StoredHash(1).empty());
}

TEST_F(RecorderWeb, OnlyALoggedInClientGetsInAndNoClientStopsTheRecording)
{
    ASSERT_EQ(Run({"--seed-defaults"}, ""), 0);
    ASSERT_EQ(Run({"--web-password"}, QByteArray(kPassword) + "\n"), 0);
    const uint16_t port = FreePort();
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(key.SetKey(WebKeyPath(1), false));
        ASSERT_TRUE(key.WriteInt("Enable", 1) && key.WriteInt("Port", port) && key.WriteString("User", "keeper"));
    }
    recorder_ = std::make_unique<QProcess>();
    recorder_->setProcessEnvironment(Environment());
    recorder_->setProcessChannelMode(QProcess::ForwardedChannels);
    recorder_->start(VISTREL_EXECUTABLE, {});
    ASSERT_TRUE(recorder_->waitForStarted());
    ASSERT_TRUE(waitFor([&] { return Request(port, "GET", "/healthz").status == 200; }, 60s));

    // Bound to 127.0.0.1 alone: no other address of this machine answers.
    EXPECT_FALSE(HttpConnection::Open(port, "127.0.0.2"));
    for (const sockaddr_storage& address : OtherAddresses(port))
        EXPECT_FALSE(Connects(address)) << "answered on another address";

    // No session: pages send to the login, the API says 401, nothing more.
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    for (const char* target : {"/", "/archive", "/events", "/api/v1/status", "/api/v1/cameras",
                               "/api/v1/cameras/A/latest.jpg", "/api/v1/cameras/A/stream.mjpg",
                               "/api/v1/cameras/A/archive?from=0&to=4000000000", "/api/v1/events",
                               "/api/v1/events/stream", "/api/v1/status/stream", "/api/v1/exports/x1abc/file"}) {
        const HttpResponse response = Request(port, "GET", target, {{"Origin", origin}});
        if (std::string(target).starts_with("/api/"))
            EXPECT_EQ(response.status, 401) << target;
        else
            EXPECT_TRUE(response.status == 303 && response.Header("Location") == "/login") << target;
    }
    EXPECT_EQ(Request(port, "POST", "/api/v1/exports", {{"Origin", origin}}, "camera=A&from=1&to=2&format=mp4").status,
              401);

    // Wrong passwords from one address: limited after five.
    const auto login = [&](const std::string& password, const char* from) {
        return Request(port, "POST", "/login", {{"Origin", origin}, {"Content-Type", "application/x-www-form-urlencoded"}},
                       "user=keeper&password=" + password, from);
    };
    int limited = 0;
    for (int i = 0; i < 7; ++i)
        limited += login("wrong", "127.0.0.3").status == 429 ? 1 : 0;
    EXPECT_GE(limited, 1);
    const HttpResponse good = login("Tr0ub4dor%263+with+spaces", nullptr);
    ASSERT_EQ(good.status, 303);
    const std::string setCookie = good.Header("Set-Cookie");
    const std::string cookie = setCookie.substr(0, setCookie.find(';'));

    // Names from the request never reach the file system; a name the
    // archive index holds is served.
    ASSERT_TRUE(waitFor([&] { return ArchiveImages() > 0; }, 30s));
    std::string listed;
    ASSERT_TRUE(waitFor([&] {
        listed = Request(port, "GET", "/api/v1/cameras/A/archive?from=0&to=4000000000", {{"Cookie", cookie}}).body;
        return listed.find("-Cam1A.jpg") != std::string::npos;
    }, 30s)) << listed;
    const size_t nameAt = listed.find("\"name\":\"") + 8;
    const std::string name = listed.substr(nameAt, listed.find('"', nameAt) - nameAt);
    const HttpResponse image = Request(port, "GET", "/api/v1/cameras/A/archive/" + name, {{"Cookie", cookie}});
    EXPECT_EQ(image.status, 200) << name;
    EXPECT_EQ(image.body.substr(0, 2), "\xff\xd8");
    const std::string nul("/api/v1/cameras/A/archive/x\0.jpg", 32);
    for (const std::string& target : std::vector<std::string>{
             "/api/v1/cameras/A/archive/..%2F..%2Fetc%2Fpasswd", "/api/v1/cameras/A/archive/%2Fetc%2Fpasswd",
          "/api/v1/cameras/A/archive/" + name + "%00.png", "/api/v1/cameras/A/archive/" + std::string(300, '1') + "-Cam1A.jpg",
          "/api/v1/cameras/B/archive/" + name, "/api/v1/cameras/A/archive/..%2FCamera1A%2F" + name, nul,
          "/etc/passwd"}) {
        const HttpResponse response = Request(port, "GET", target, {{"Cookie", cookie}});
        EXPECT_TRUE(response.status == 404 || response.status == 400) << target << " gave " << response.status;
        EXPECT_EQ(response.body.find(env_.homeDir().toStdString()), std::string::npos) << response.body;
    }

    // 300 idle connections from one address and a client that sends its head
    // a byte at a time stop neither a logged-in client nor the recording.
    std::vector<std::unique_ptr<HttpConnection>> idle;
    for (int i = 0; i < 300; ++i) {
        if (auto connection = HttpConnection::Open(port, "127.0.0.1", "127.0.0.2"))
            idle.push_back(std::move(connection));
    }
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        auto connection = HttpConnection::Open(port, "127.0.0.1", "127.0.0.4");
        const std::string head = "GET /api/v1/status HTTP/1.1\r\nHost: x\r\nX-Padding: " + std::string(60, 'p');
        for (char c : head) {
            if (!connection || slowDone || !connection->Send(std::string(1, c)))
                break;
            std::this_thread::sleep_for(100ms);
        }
    });
    const int imagesBefore = ArchiveImages();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Request(port, "GET", "/api/v1/status", {{"Cookie", cookie}}).status, 200) << i;
        const HttpResponse latest = Request(port, "GET", "/api/v1/cameras/A/latest.jpg", {{"Cookie", cookie}});
        EXPECT_EQ(latest.status, 200) << i;
        EXPECT_EQ(latest.body.substr(0, 2), "\xff\xd8") << i;
    }
    EXPECT_TRUE(waitFor([&] { return ArchiveImages() >= imagesBefore + 3; }, 30s))
        << imagesBefore << " then " << ArchiveImages();
    slowDone = true;
    slow.join();
    EXPECT_EQ(recorder_->state(), QProcess::Running);
}

} // namespace
} // namespace vistrel::test
