#include "events/mqtt_publisher.h"

#include "event_fixtures.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using test::Edge;
using test::ReadFile;
using test::Reports;
using test::TempPath;
using test::waitFor;

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool Accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Debian's mosquitto on a free loopback port, keeping its sessions in a
// temporary folder across a stop and a start.
class Broker {
public:
    explicit Broker(const QTemporaryDir& dir)
        : port_(FreeLoopbackPort())
        , config_(TempPath(dir, "mosquitto.conf"))
    {
        std::ofstream config(config_);
        config << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
               << "persistence true\npersistence_location " << dir.path().toStdString() << "/\n";
        if (const passwd* user = getpwuid(geteuid()))
            config << "user " << user->pw_name << "\n"; // as root it would turn into another user
    }
    ~Broker() { Stop(); }

    int port() const { return port_; }
    bool Start()
    {
        process_.start("mosquitto", {"-c", QString::fromStdString(config_)});
        return process_.waitForStarted() && waitFor([&] { return Accepts(port_); });
    }
    void Stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(30000))
            process_.kill();
        process_.waitForFinished();
    }

private:
    const int port_;
    const std::string config_;
    QProcess process_;
};

// mosquitto_sub with a session the broker keeps, so that nothing sent while
// it reconnects is missed. Each message is "<retained> <topic> <hex payload>".
class Subscriber {
public:
    struct Message {
        bool retained = false;
        std::string topic;
        std::string payload;
    };

    Subscriber(int port, QStringList topics, const QString& id, bool persistent)
    {
        QStringList args{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-i", id, "-F", "%r %t %x"};
        if (persistent)
            args << "-c";
        for (const QString& topic : topics)
            args << "-t" << topic;
        process_.start("mosquitto_sub", args);
        process_.waitForStarted();
    }
    ~Subscriber()
    {
        process_.kill();
        process_.waitForFinished();
    }

    // Every message so far (reads what has arrived).
    const std::vector<Message>& messages()
    {
        pending_ += process_.readAllStandardOutput();
        int newline;
        while ((newline = pending_.indexOf('\n')) >= 0) {
            const QList<QByteArray> fields = pending_.left(newline).split(' ');
            pending_.remove(0, newline + 1);
            Message message;
            message.retained = fields.value(0) == "1";
            message.topic = fields.value(1).toStdString();
            message.payload = QByteArray::fromHex(fields.value(2)).toStdString();
            messages_.push_back(message);
        }
        return messages_;
    }
    // The payloads of one topic, in order.
    std::vector<std::string> On(const std::string& topic)
    {
        std::vector<std::string> payloads;
        for (const Message& message : messages())
            if (message.topic == topic)
                payloads.push_back(message.payload);
        return payloads;
    }

private:
    QProcess process_;
    QByteArray pending_;
    std::vector<Message> messages_;
};

QJsonObject JsonOf(const std::string& text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return document.object();
}

Event MotionEvent(int64_t id, int64_t start, const std::string& image)
{
    Event event;
    event.id = id;
    event.camera = 'A';
    event.start = start;
    event.firstImage = image;
    event.lastImage = image;
    return event;
}

// Edges reach the broker as the motion state, the event and the snapshot;
// while the broker is away nothing waits for it, and what was published
// then arrives once it is back, with the retained topics again.
TEST(MqttPublisher, PublishesEdgesAndLosesNothingWhileTheBrokerIsAway)
{
    QTemporaryDir dir;
    Broker broker(dir);
    ASSERT_TRUE(broker.Start());
    const std::string image = TempPath(dir, "1800000000-1-CamA.jpg");
    const std::string jpeg = std::string("\xff\xd8\xff\xe0", 4) + std::string(3000, '\0') + "\xff\xd9";
    std::ofstream(image, std::ios::binary) << jpeg;

    Subscriber sub(broker.port(), {"P/#", "homeassistant/#"}, "vistrel-test-watcher", true);
    Reports reports;
    MqttOptions options;
    options.host = "127.0.0.1";
    options.port = broker.port();
    options.prefix = "P";
    options.hostName = "test.host";
    options.instance = 3;
    options.cameras = "A";
    options.reconnectMax = 2s;
    options.report = reports.Sink();
    MqttPublisher publisher(options);
    ASSERT_TRUE(waitFor([&] { return sub.On("P/status") == std::vector<std::string>{"online"}; }));

    Event first = MotionEvent(1, 1800000000, image);
    publisher.OnEdge(Edge(EdgeKind::MotionStart, 'A', first.start), first);
    first.end = 1800000005;
    publisher.OnEdge(Edge(EdgeKind::MotionEnd, 'A', *first.end), first);
    ASSERT_TRUE(waitFor([&] { return sub.On("P/A/event").size() == 2; }));
    EXPECT_EQ(sub.On("P/A/motion"), (std::vector<std::string>{"OFF", "ON", "OFF"}));
    EXPECT_EQ(sub.On("P/A/snapshot"), std::vector<std::string>{jpeg});
    EXPECT_TRUE(JsonOf(sub.On("P/A/event")[0]).value("end").isNull());
    EXPECT_EQ(JsonOf(sub.On("P/A/event")[1]).value("end").toInteger(), 1800000005);

    // The broker goes for ten seconds, in the middle of an event.
    const size_t seenBefore = sub.messages().size();
    const auto away = std::chrono::steady_clock::now();
    broker.Stop();
    ASSERT_TRUE(waitFor([&] { return !publisher.connected(); }));
    Event second = MotionEvent(2, 1800000100, image);
    auto posted = std::async(std::launch::async, [&] {
        publisher.OnEdge(Edge(EdgeKind::MotionStart, 'A', second.start), second);
        Event fault;
        fault.id = 3;
        fault.type = EventType::RecordingFault;
        fault.camera = 'A';
        fault.reason = "disk full";
        publisher.OnEdge(Edge(EdgeKind::FaultStart, 'A', 1800000101), fault);
        second.end = 1800000102;
        publisher.OnEdge(Edge(EdgeKind::MotionEnd, 'A', *second.end), second);
    });
    // Long before the broker is back.
    ASSERT_EQ(posted.wait_for(8s), std::future_status::ready) << "publishing waited for the broker";
    std::this_thread::sleep_until(away + 10s); // the outage itself, not a wait for something
    ASSERT_TRUE(broker.Start());

    ASSERT_TRUE(waitFor([&] { return sub.On("P/A/event").size() == 5; }, 60s));
    const auto events = sub.On("P/A/event");
    EXPECT_EQ(JsonOf(events[2]).value("id").toInteger(), 2);
    EXPECT_EQ(JsonOf(events[3]).value("reason").toString(), "disk full");
    EXPECT_EQ(JsonOf(events[4]).value("end").toInteger(), 1800000102);
    ASSERT_TRUE(waitFor([&] {
        const auto status = sub.On("P/status");
        return status.size() >= 2 && status.back() == "online" && sub.On("P/A/fault").back() == "disk full";
    }));
    EXPECT_EQ(sub.On("P/A/motion").back(), "OFF");
    EXPECT_EQ(sub.On("P/A/recording").back(), "OFF");
    EXPECT_EQ(publisher.dropped(), 0u);
    EXPECT_TRUE(waitFor([&] { return publisher.waiting() == 0; }));

    // Retained for whoever comes later: the discovery configs, valid JSON
    // grouping the camera under the recorder's device.
    Subscriber late(broker.port(), {"homeassistant/#", "P/A/motion"}, "vistrel-test-late", false);
    const std::string base = "homeassistant/";
    const std::string id = "vistrel_test_host_3_A_";
    ASSERT_TRUE(waitFor([&] { return late.messages().size() >= 4; }));
    std::map<std::string, QJsonObject> configs;
    for (const auto& message : late.messages()) {
        EXPECT_TRUE(message.retained) << message.topic;
        if (message.topic.starts_with(base))
            configs[message.topic] = JsonOf(message.payload);
    }
    ASSERT_EQ(configs.size(), 3u);
    const QJsonObject motion = configs[base + "binary_sensor/" + id + "motion/config"];
    EXPECT_EQ(motion.value("state_topic").toString(), "P/A/motion");
    EXPECT_EQ(motion.value("device_class").toString(), "motion");
    EXPECT_EQ(motion.value("unique_id").toString().toStdString(), id + "motion");
    EXPECT_EQ(motion.value("availability_topic").toString(), "P/status");
    const QJsonObject camera = configs[base + "camera/" + id + "snapshot/config"];
    EXPECT_EQ(camera.value("topic").toString(), "P/A/snapshot");
    const QJsonObject problem = configs[base + "binary_sensor/" + id + "problem/config"];
    EXPECT_EQ(problem.value("state_topic").toString(), "P/A/recording");
    EXPECT_EQ(problem.value("payload_on").toString(), "OFF");
    EXPECT_EQ(motion.value("device").toObject().value("identifiers"),
              camera.value("device").toObject().value("identifiers"));
    EXPECT_FALSE(motion.value("device").toObject().value("identifiers").toArray().isEmpty());

    // Said again after the reconnection, not only kept by the broker (which
    // would send it as retained when the watcher subscribes again).
    const auto& seen = sub.messages();
    EXPECT_TRUE(std::any_of(seen.begin() + long(seenBefore), seen.end(), [&](const Subscriber::Message& message) {
        return message.topic == base + "camera/" + id + "snapshot/config" && !message.retained;
    }));
}

// The last will: a publishing process killed -9 is announced offline.
TEST(MqttPublisher, AKilledRecorderGoesOfflineThroughItsLastWill)
{
    QTemporaryDir dir;
    Broker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.port(), {"P2/status"}, "vistrel-test-will", false);
    QProcess recorder;
    recorder.start(VISTREL_EVENTS_HELPER, {"mqtt", "127.0.0.1", QString::number(broker.port()), "P2"});
    ASSERT_TRUE(waitFor([&] { return recorder.canReadLine() || recorder.waitForReadyRead(10); }, 30s));
    ASSERT_TRUE(waitFor([&] { return sub.On("P2/status") == std::vector<std::string>{"online"}; }));
    kill(pid_t(recorder.processId()), SIGKILL);
    recorder.waitForFinished();
    EXPECT_TRUE(waitFor([&] { return sub.On("P2/status") == std::vector<std::string>{"online", "offline"}; }, 30s));
}

} // namespace
} // namespace vistrel
