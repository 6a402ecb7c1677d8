// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/event_log.h"

#include "event_fixtures.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <set>

#include <sqlite3.h>

namespace vistrel {
namespace {

using test::TempPath;
using test::waitFor;

Event Made(EventType type, char camera, int64_t start, std::optional<int64_t> end, std::string reason = {})
{
    Event event;
    event.type = type;
    event.camera = camera;
    event.start = start;
    event.end = end;
    event.reason = std::move(reason);
    return event;
}

std::vector<int64_t> Ids(const std::vector<Event>& events)
{
    std::vector<int64_t> ids;
    for (const Event& event : events)
        ids.push_back(event.id);
    return ids;
}

TEST(EventLog, StoresQueriesAndForgetsOldEvents)
{
    QTemporaryDir dir;
    const std::string path = TempPath(dir, "events-1.sqlite");
    EventLogStatus status;
    auto log = EventLog::Open(path, EventLog::Mode::ReadWrite, status);
    ASSERT_TRUE(log) << status.message;

    Event a = Made(EventType::Motion, 'A', 1000, std::nullopt);
    a.firstImage = "/archive/it's \"odd\"\n\xff.jpg";
    Event b = Made(EventType::CameraLost, 'B', 1100, 1200);
    Event c = Made(EventType::RecordingFault, 'A', 1300, std::nullopt, "cannot save: No space left on device");
    Event r = Made(EventType::Recorder, kNoCamera, 900, std::nullopt);
    for (Event* event : {&a, &b, &c, &r})
        ASSERT_TRUE(log->Insert(*event).ok());
    EXPECT_EQ(Ids({a, b, c, r}), (std::vector<int64_t>{1, 2, 3, 4}));
    a.end = 1150;
    a.peak = 77;
    a.lastImage = "/archive/last.jpg";
    ASSERT_TRUE(log->Update(a).ok());
    Event unknown = a;
    unknown.id = 99;
    EXPECT_FALSE(log->Update(unknown).ok());

    std::optional<Event> found;
    ASSERT_TRUE(log->ById(a.id, found).ok());
    EXPECT_EQ(found, a); // bytes of the paths as given
    ASSERT_TRUE(log->ById(99, found).ok());
    EXPECT_FALSE(found);

    // Overlap: begun before the end of the span, not ended before its start.
    std::vector<Event> events;
    ASSERT_TRUE(log->InRange(1150, 1300, events).ok());
    EXPECT_EQ(Ids(events), (std::vector<int64_t>{r.id, a.id, b.id}));
    ASSERT_TRUE(log->InRange(1201, 5000, events).ok());
    EXPECT_EQ(Ids(events), (std::vector<int64_t>{r.id, c.id}));

    ASSERT_TRUE(log->Next(1000, kNoCamera, found).ok());
    EXPECT_EQ(found->id, b.id);
    ASSERT_TRUE(log->Next(1000, 'A', found).ok());
    EXPECT_EQ(found->id, c.id);
    ASSERT_TRUE(log->Previous(1300, 'A', found).ok());
    EXPECT_EQ(found->id, a.id);
    ASSERT_TRUE(log->Previous(900, kNoCamera, found).ok());
    EXPECT_FALSE(found);

    // A crash left c and r open: they end when the recorder was last seen.
    std::optional<int64_t> seen;
    ASSERT_TRUE(log->LastActivity(seen).ok());
    EXPECT_EQ(seen, 1300);
    ASSERT_TRUE(log->SetActivity(1400).ok());
    ASSERT_TRUE(log->LastActivity(seen).ok());
    EXPECT_EQ(seen, 1400);
    int closed = 0;
    ASSERT_TRUE(log->CloseOpenEvents(1400, closed).ok());
    EXPECT_EQ(closed, 2);
    ASSERT_TRUE(log->ById(c.id, found).ok());
    EXPECT_EQ(found->end, 1400);

    // Only what ended before the bound goes, and ids are never reused.
    int removed = 0;
    ASSERT_TRUE(log->RemoveEndedBefore(1200, removed).ok());
    EXPECT_EQ(removed, 1); // a
    ASSERT_TRUE(log->InRange(0, 10000, events).ok());
    EXPECT_EQ(Ids(events), (std::vector<int64_t>{r.id, b.id, c.id}));
    ASSERT_TRUE(log->RemoveEndedBefore(1401, removed).ok());
    EXPECT_EQ(removed, 3);
    Event d = Made(EventType::Motion, 'C', 2000, std::nullopt);
    ASSERT_TRUE(log->Insert(d).ok());
    EXPECT_EQ(d.id, 5);

    // A second connection, read-only, sees the committed state.
    auto reader = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    ASSERT_TRUE(reader) << status.message;
    ASSERT_TRUE(reader->InRange(0, 10000, events).ok());
    EXPECT_EQ(Ids(events), (std::vector<int64_t>{d.id}));
}

TEST(EventLog, RefusesWhatItCannotUseWithAReason)
{
    QTemporaryDir dir;
    const std::string garbage = TempPath(dir, "garbage.sqlite");
    std::ofstream(garbage) << std::string(8192, 'x');
    EventLogStatus status;
    EXPECT_FALSE(EventLog::Open(garbage, EventLog::Mode::ReadWrite, status));
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message.find(garbage), std::string::npos) << status.message;
    EXPECT_FALSE(EventLog::Open(TempPath(dir, "no/such/folder/events.sqlite"), EventLog::Mode::ReadWrite, status));
    EXPECT_FALSE(status.ok());

    // A log whose pages were damaged after it was written.
    const std::string damaged = TempPath(dir, "damaged.sqlite");
    {
        auto log = EventLog::Open(damaged, EventLog::Mode::ReadWrite, status);
        ASSERT_TRUE(log);
        for (int i = 0; i < 100; ++i) {
            Event event = Made(EventType::Motion, 'A', i, i + 1);
            event.firstImage = std::string(1000, 'p');
            ASSERT_TRUE(log->Insert(event).ok());
        }
    }
    {
        // The headers of a few b-tree pages.
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        for (int page = 2; page < 6; ++page) {
            file.seekp(4096 * page);
            file << std::string(16, '\x5a');
        }
    }
    EXPECT_FALSE(EventLog::Open(damaged, EventLog::Mode::ReadWrite, status));
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(EventLog::Open(damaged, EventLog::Mode::ReadOnly, status));
}

// A child writes events as fast as it can and is killed -9 mid-burst: every
// insert and end it saw committed is in the file, and the file is sound.
TEST(EventLog, SurvivesAKillInTheMiddleOfABurst)
{
    QTemporaryDir dir;
    const std::string path = TempPath(dir, "events-1.sqlite");
    QProcess child;
    child.start(VISTREL_EVENTS_HELPER, {"log-burst", QString::fromStdString(path)});
    ASSERT_TRUE(child.waitForStarted());
    std::set<int64_t> inserted, ended;
    QByteArray pending;
    ASSERT_TRUE(waitFor([&] {
        pending += child.readAllStandardOutput();
        int newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(newline);
            pending.remove(0, newline + 1);
            (line.startsWith("I ") ? inserted : ended).insert(line.mid(2).toLongLong());
        }
        return ended.size() >= 200 || child.state() == QProcess::NotRunning;
    }, std::chrono::seconds(60)));
    ASSERT_EQ(child.state(), QProcess::Running) << child.readAllStandardError().toStdString();
    kill(pid_t(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished());
    // What it reported before the kill, down to the last whole line.
    pending += child.readAllStandardOutput();
    for (const QByteArray& line : pending.split('\n'))
        if (line.size() > 2)
            (line.startsWith("I ") ? inserted : ended).insert(line.mid(2).toLongLong());

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);

    EventLogStatus status;
    auto log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    ASSERT_TRUE(log) << status.message;
    std::vector<Event> events;
    ASSERT_TRUE(log->InRange(0, INT64_MAX, events).ok());
    std::set<int64_t> stored, storedEnded;
    for (const Event& event : events) {
        stored.insert(event.id);
        if (event.end)
            storedEnded.insert(event.id);
    }
    for (const int64_t id : inserted)
        EXPECT_TRUE(stored.count(id)) << "event " << id << " was committed and is gone";
    for (const int64_t id : ended)
        EXPECT_TRUE(storedEnded.count(id)) << "the end of event " << id << " was committed and is gone";
}

} // namespace
} // namespace vistrel
