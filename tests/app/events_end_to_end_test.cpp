// SPDX-License-Identifier: GPL-3.0-or-later
// The built recorder's events against real parts the test starts and stops:
// a mosquitto broker on loopback read with mosquitto_sub, and a hook program
// that writes down its arguments.
#include "events/event_log.h"
#include "events/events_settings.h"
#include "settings/registry_key.h"
#include "settings/settings_io.h"
#include "support/mqtt_broker.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using test::Broker;
using test::Subscriber;
using test::waitFor;

constexpr int kSaveEveryMs = 200;

std::string ReadWhole(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

class EventsEndToEnd : public testing::Test {
protected:
    // Instance 1 records the moving test pattern on camera A into `archive`,
    // keeping a frame whenever there is motion, and tells the broker on
    // `port` and the hook.
    void Seed(const std::string& archive, int port, const std::string& hook)
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(key.SetKey(ProcessKeyPath(1), true));
        key.WriteInt("CamView", 1);
        key.WriteInt("Device", 0);
        key.WriteInt("InputPin", 0);
        key.WriteString("VideoFormat", "320x240 24 bit");
        key.WriteInt("VideoOn", 1);
        key.WriteInt("MuxerSpeed", kSaveEveryMs);
        key.WriteInt("EnableMux", 0);
        key.WriteInt("SaveEvery", kSaveEveryMs);
        ASSERT_TRUE(key.SetKey(CameraKeyPath(1, 0), true));
        key.WriteInt("EnableArchving", 1);
        key.WriteInt("EnableArchiveMotion", 1);
        key.WriteString("ArchivePath", archive);
        key.WriteInt("TriggerLevel", 5);
        key.WriteInt("SaveCount", 1);
        key.WriteInt("Hours", 1);
        key.WriteInt("EventGapS", 1);
        ASSERT_TRUE(key.SetKey(EventsKeyPath(1), true));
        key.WriteString("MqttHost", "127.0.0.1");
        key.WriteInt("MqttPort", port);
        key.WriteString("MqttTopic", "P");
        key.WriteString("Hook", hook);
        key.WriteString("HookEvents", "motion-start");
    }

    std::unique_ptr<QProcess> Start()
    {
        QProcessEnvironment e = env.RecorderEnvironment();
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(e);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(VISTREL_EXECUTABLE, {"-m"});
        EXPECT_TRUE(process->waitForStarted());
        return process;
    }

    static int Images(const std::string& folder)
    {
        return int(QDir(QString::fromStdString(folder)).entryList({"*-Cam1A.jpg"}, QDir::Files).size());
    }

    test::TempEnvironment env;
};

bool Has(const std::vector<std::string>& payloads, std::initializer_list<const char*> inOrder)
{
    auto at = payloads.begin();
    for (const char* wanted : inOrder) {
        at = std::find(at, payloads.end(), wanted);
        if (at == payloads.end())
            return false;
        ++at;
    }
    return true;
}

// Motion on the test pattern reaches the broker and the hook; a broker away
// for 10 s mid-event loses nothing and recording goes on; a recorder killed
// with SIGKILL goes offline through its last will and leaves a sound log.
TEST_F(EventsEndToEnd, MotionReachesTheBrokerAndTheHookAndSurvivesTheBrokerAndAKill)
{
    QTemporaryDir dir;
    Broker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.port(), {"P/#"}, "vistrel-e2e-watcher", true);
    // A camera folder whose name a shell would split and run.
    const std::string pwned = dir.path().toStdString() + "/pwned";
    const std::string archive = env.homeDir().toStdString() + "/Cameras/it's a \"cam\" $(touch " + pwned + ")/";
    const std::string hookArgs = dir.path().toStdString() + "/hook-args";
    Seed(archive, broker.port(), std::string("'") + VISTREL_EVENTS_HELPER + "' args '" + hookArgs + "' %f");

    auto recorder = Start();
    ASSERT_TRUE(waitFor([&] { return Has(sub.On("P/A/motion"), {"ON"}); }, 60s)) << "no motion ON";
    EXPECT_TRUE(Has(sub.On("P/status"), {"online"}));

    // Home Assistant finds the camera in retained configs, as a newcomer sees them.
    Subscriber newcomer(broker.port(), {"homeassistant/#"}, "vistrel-e2e-newcomer", false);
    ASSERT_TRUE(waitFor([&] { return newcomer.messages().size() >= 3; }, 30s));
    for (const Subscriber::Message& config : newcomer.messages()) {
        EXPECT_TRUE(config.retained) << config.topic;
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(QByteArray::fromStdString(config.payload), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << config.topic;
        EXPECT_EQ(json.object().value("availability_topic").toString(), "P/status") << config.payload;
    }

    // The hook got the first image's path as one argument, and nothing ran it.
    ASSERT_TRUE(waitFor([&] { return QFileInfo(QString::fromStdString(hookArgs)).size() > 0; }, 30s));
    const std::string args = ReadWhole(hookArgs);
    ASSERT_EQ(std::count(args.begin(), args.end(), '\0'), 1) << args;
    const std::string firstImage = args.substr(0, args.size() - 1);
    EXPECT_EQ(firstImage.rfind(archive, 0), 0u) << firstImage;
    EXPECT_TRUE(QFileInfo(QString::fromStdString(firstImage)).isFile()) << firstImage;
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(pwned)));

    // The broker goes away for 10 s; meanwhile a script changes the events'
    // settings, which ends the motion event and starts the next one.
    const int before = Images(archive);
    broker.Stop();
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(key.SetKey(CameraKeyPath(1, 0), false));
        key.WriteInt("EventGapS", 2);
        ASSERT_TRUE(key.SetKey(EventsKeyPath(1), false));
        key.WriteInt("HookTimeoutS", 20);
    }
    QElapsedTimer away;
    away.start();
    EXPECT_TRUE(waitFor([&] { return away.elapsed() >= 10000; }, 20s));
    const int during = Images(archive) - before;
    // Every 200 ms for 10 s is 50 frames; a loaded machine keeps most of them.
    EXPECT_GE(during, 25) << "recording slowed while the broker was away";
    ASSERT_TRUE(broker.Start());

    EXPECT_TRUE(waitFor([&] { return Has(sub.On("P/A/motion"), {"ON", "OFF", "ON"}); }, 60s))
        << "the edges made while the broker was away were lost";
    bool ended = false;
    EXPECT_TRUE(waitFor(
        [&] {
            for (const std::string& json : sub.On("P/A/event")) {
                const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
                ended |= event.value("type") == "motion" && event.value("end").isDouble()
                    && event.value("first_image").toString().toStdString() == firstImage;
            }
            return ended;
        },
        30s))
        << "no JSON of the ended event";

    recorder->kill();
    recorder->waitForFinished();
    EXPECT_TRUE(waitFor(
        [&] {
            const std::vector<std::string> status = sub.On("P/status");
            return !status.empty() && status.back() == "offline";
        },
        30s))
        << "no offline from the last will";

    // The log survived the kill whole, with the ended event in it.
    const std::string logPath = EventLogPath(env.registryDir().toStdString(), 1).string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(logPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);
    EventLogStatus status;
    auto log = EventLog::Open(logPath, EventLog::Mode::ReadOnly, status);
    ASSERT_TRUE(log) << status.message;
    std::vector<Event> events;
    ASSERT_TRUE(log->InRange(0, INT64_MAX, events).ok());
    const auto first = std::find_if(events.begin(), events.end(),
                                    [](const Event& e) { return e.type == EventType::Motion; });
    ASSERT_NE(first, events.end());
    EXPECT_EQ(first->firstImage, firstImage);
    EXPECT_TRUE(first->end.has_value());
}

} // namespace
} // namespace vistrel
