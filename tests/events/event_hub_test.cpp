// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/event_hub.h"

#include "event_fixtures.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <condition_variable>

namespace vistrel {
namespace {

using test::Edge;
using test::Reports;
using test::TempPath;
using test::waitFor;

// Records what the hub tells; can be made to hold the hub's thread.
class RecordingListener : public IEventListener {
public:
    void OnEdge(const EventEdge& edge, const Event& event) override
    {
        std::unique_lock guard(mutex_);
        heard_.emplace_back(edge, event);
        changed_.notify_all();
        changed_.wait(guard, [this] { return !holding_; });
    }
    std::vector<std::pair<EventEdge, Event>> heard() const
    {
        std::lock_guard guard(mutex_);
        return heard_;
    }
    void Hold(bool hold)
    {
        std::lock_guard guard(mutex_);
        holding_ = hold;
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_; // guards heard_ and holding_
    std::condition_variable changed_;
    std::vector<std::pair<EventEdge, Event>> heard_;
    bool holding_ = false;
};

std::optional<Event> Stored(const std::string& path, int64_t id)
{
    EventLogStatus status;
    auto log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    std::optional<Event> event;
    if (log)
        log->ById(id, event);
    return event;
}

// Edges become events in the log first, then go to the listeners; an
// event a crash left open is closed when the recorder was last seen.
TEST(EventHub, JoinsEdgesIntoLoggedEventsAndClosesWhatACrashLeftOpen)
{
    QTemporaryDir dir;
    const std::string path = TempPath(dir, "events-1.sqlite");
    {
        EventLogStatus status;
        auto log = EventLog::Open(path, EventLog::Mode::ReadWrite, status);
        ASSERT_TRUE(log);
        Event crashed;
        crashed.type = EventType::Recorder;
        crashed.start = 500;
        ASSERT_TRUE(log->Insert(crashed).ok());
        ASSERT_TRUE(log->SetActivity(560).ok());
    }

    auto listener = std::make_unique<RecordingListener>();
    RecordingListener& heard = *listener;
    Reports reports;
    EventHub::Options options;
    options.logPath = path;
    options.now = [] { return int64_t(1000); };
    options.report = reports.Sink();
    std::vector<std::pair<EventEdge, Event>> events;
    {
        EventHub hub(options);
        hub.SetListener(EventHub::Listener::Mqtt, std::move(listener));
        EXPECT_TRUE(hub.Post(Edge(EdgeKind::CameraBack, 'B', 590))); // nothing open: says nothing
        EXPECT_TRUE(hub.Post(Edge(EdgeKind::MotionStart, 'A', 600, 40, "/a/1.jpg")));
        EXPECT_TRUE(hub.Post(Edge(EdgeKind::FaultStart, 'A', 605, 0, {}, "disk full")));
        EventEdge end = Edge(EdgeKind::MotionEnd, 'A', 630, 90, "/a/1.jpg");
        end.lastImage = "/a/9.jpg";
        EXPECT_TRUE(hub.Post(end));
        ASSERT_TRUE(waitFor([&] { return heard.heard().size() == 3; }));
        events = heard.heard(); // the hub owns the listener
    }
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].first.kind, EdgeKind::MotionStart);
    EXPECT_EQ(events[0].second.id, 2);
    EXPECT_FALSE(events[0].second.end);
    EXPECT_EQ(events[1].second.type, EventType::RecordingFault);
    EXPECT_EQ(events[1].second.reason, "disk full");
    EXPECT_EQ(events[2].first.kind, EdgeKind::MotionEnd);
    const Event& motion = events[2].second;
    EXPECT_EQ(motion.id, 2);
    EXPECT_EQ(motion.start, 600);
    EXPECT_EQ(motion.end, 630);
    EXPECT_EQ(motion.peak, 90);
    EXPECT_EQ(motion.firstImage, "/a/1.jpg");
    EXPECT_EQ(motion.lastImage, "/a/9.jpg");

    EXPECT_EQ(Stored(path, 1)->end, 560); // the crashed run's, at its last sign of life
    EXPECT_EQ(Stored(path, 2), motion);
    EXPECT_EQ(Stored(path, 3)->end, 1000); // the fault still open at exit ends then
    EXPECT_TRUE(reports.lines().empty());
}

// Posting never waits for the hub: with its thread held, the queue fills
// and further edges are dropped and counted; a log that cannot be used is
// said once and the listeners still hear everything.
TEST(EventHub, DropsBeyondItsQueueAndRunsWithoutALog)
{
    QTemporaryDir dir;
    const std::string garbage = TempPath(dir, "events-1.sqlite");
    std::ofstream(garbage) << std::string(4096, 'x');

    auto listener = std::make_unique<RecordingListener>();
    RecordingListener& heard = *listener;
    Reports reports;
    EventHub::Options options;
    options.logPath = garbage;
    options.queueLimit = 8;
    options.report = reports.Sink();
    EventHub hub(options);
    hub.SetListener(EventHub::Listener::Hook, std::move(listener));

    heard.Hold(true);
    ASSERT_TRUE(hub.Post(Edge(EdgeKind::CameraLost, 'A', 1)));
    ASSERT_TRUE(waitFor([&] { return heard.heard().size() == 1; })); // the hub's thread is held in there
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(hub.Post(Edge(i % 2 ? EdgeKind::CameraLost : EdgeKind::CameraBack, 'A', 2 + i)));
    EXPECT_FALSE(hub.Post(Edge(EdgeKind::CameraLost, 'B', 20)));
    EXPECT_FALSE(hub.Post(Edge(EdgeKind::CameraLost, 'C', 21)));
    EXPECT_EQ(hub.dropped(), 2u);
    heard.Hold(false);
    ASSERT_TRUE(waitFor([&] { return heard.heard().size() == 9; }));
    EXPECT_EQ(heard.heard().back().first.time, 9);
    EXPECT_EQ(heard.heard().back().second.id, 0); // no log, no id

    ASSERT_TRUE(waitFor([&] { return reports.lines().size() == 2; }));
    const auto lines = reports.lines();
    EXPECT_NE(lines[0].find("event log cannot be used"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("2 event edges were dropped"), std::string::npos) << lines[1];
}

} // namespace
} // namespace vistrel
