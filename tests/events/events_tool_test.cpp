// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/event_log.h"
#include "settings/registry_store.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <filesystem>
#include <fstream>

namespace vistrel {
namespace {

// Exit status and standard output of the built vistrel-events; standard
// error into `errors`.
int RunTool(const QStringList& arguments, QByteArray& output, QByteArray* errors = nullptr)
{
    QProcess process;
    process.start(VISTREL_EVENTS_TOOL, arguments);
    if (!process.waitForFinished(60000))
        return -1;
    output = process.readAllStandardOutput();
    if (errors)
        *errors = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString Local(int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString("yyyy-MM-dd HH:mm:ss");
}

TEST(EventsTool, ListsALogAsLinesOrJsonAndFailsClearly)
{
    const std::filesystem::path path = EventLogPath(DefaultRegistryFolder(), 5);
    std::filesystem::remove(path);
    QByteArray out, err;
    EXPECT_EQ(RunTool({"--instance", "5"}, out), 0); // no log yet: no events
    EXPECT_TRUE(out.isEmpty());
    EXPECT_EQ(RunTool({"--instance", "101"}, out, &err), 2);
    EXPECT_EQ(RunTool({"--instance", "5", "--from", "yesterday"}, out, &err), 2);
    EXPECT_TRUE(err.contains("--from")) << err.toStdString();

    const int64_t t = 1800000000;
    {
        EventLogStatus status;
        auto log = EventLog::Open(path, EventLog::Mode::ReadWrite, status);
        ASSERT_TRUE(log) << status.message;
        Event motion;
        motion.camera = 'B';
        motion.start = t;
        motion.end = t + 20;
        motion.peak = 61;
        motion.firstImage = "/a/\"b\"\\c.jpg";
        Event lost;
        lost.type = EventType::CameraLost;
        lost.camera = 'C';
        lost.start = t + 3600;
        ASSERT_TRUE(log->Insert(motion).ok());
        ASSERT_TRUE(log->Insert(lost).ok());
    }

    ASSERT_EQ(RunTool({"--instance", "5"}, out), 0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("1  motion  camera B  " + Local(t).toUtf8() + " to " + Local(t + 20).toUtf8()))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("peak 61")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains("camera_lost  camera C") && lines[1].contains("(open)")) << lines[1].toStdString();

    ASSERT_EQ(RunTool({"--instance", "5", "--json", "--from", Local(t + 60), "--to", Local(t + 7200)}, out), 0);
    const QList<QByteArray> json = out.trimmed().split('\n');
    ASSERT_EQ(json.size(), 1);
    const QJsonObject lost = QJsonDocument::fromJson(json[0]).object();
    EXPECT_EQ(lost.value("id").toInteger(), 2);
    EXPECT_EQ(lost.value("type").toString(), "camera_lost");
    EXPECT_EQ(lost.value("camera").toString(), "C");
    EXPECT_TRUE(lost.value("end").isNull());
    ASSERT_EQ(RunTool({"--instance", "5", "--json", "--to", Local(t + 60)}, out), 0);
    EXPECT_EQ(QJsonDocument::fromJson(out).object().value("first_image").toString(), "/a/\"b\"\\c.jpg");

    std::filesystem::remove(path.string() + "-wal");
    std::filesystem::remove(path.string() + "-shm");
    std::ofstream(path, std::ios::trunc) << "this is no database, not even close to one; " << std::string(5000, '#');
    EXPECT_EQ(RunTool({"--instance", "5"}, out, &err), 1);
    EXPECT_TRUE(err.startsWith("vistrel-events: the event log cannot be read")) << err.toStdString();
    EXPECT_TRUE(out.isEmpty());
    std::filesystem::remove(path);
}

} // namespace
} // namespace vistrel
