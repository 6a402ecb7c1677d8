// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/mqtt_publisher.h"

#include "event_fixtures.h"
#include "support/mqtt_broker.h"
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

using test::Broker;
using test::Subscriber;

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
