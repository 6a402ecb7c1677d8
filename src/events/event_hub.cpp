// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/event_hub.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace vistrel {

namespace {

constexpr std::chrono::hours kTrimInterval{1};

} // namespace

EventHub::EventHub(Options options)
    : options_(std::move(options))
    , keepS_(options_.keepS)
    , thread_([this] { Run(); })
{
}

EventHub::~EventHub()
{
    {
        std::lock_guard guard(queueMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool EventHub::Post(EventEdge edge)
{
    {
        std::lock_guard guard(queueMutex_);
        if (queue_.size() >= options_.queueLimit) {
            dropped_.fetch_add(1);
            return false;
        }
        queue_.push_back(std::move(edge));
    }
    wake_.notify_one();
    return true;
}

void EventHub::SetListener(Listener which, std::unique_ptr<IEventListener> listener)
{
    {
        std::lock_guard guard(listenersMutex_);
        listeners_[size_t(which)].swap(listener);
    }
    // `listener` now holds the old one, destroyed here, outside the lock.
}

void EventHub::SetRetention(int64_t keepS)
{
    {
        std::lock_guard guard(queueMutex_);
        keepS_ = keepS;
        trimRequested_ = true;
    }
    wake_.notify_one();
}

int64_t EventHub::Now() const
{
    return options_.now ? options_.now() : int64_t(std::time(nullptr));
}

void EventHub::Report(const std::string& line)
{
    if (options_.report)
        options_.report(line);
    else
        std::fprintf(stderr, "Vistrel: %s\n", line.c_str());
}

void EventHub::Run()
{
    OpenLog();
    using Clock = std::chrono::steady_clock;
    auto nextActivity = Clock::now() + options_.activityInterval;
    auto nextTrim = Clock::now() + kTrimInterval;
    std::deque<EventEdge> batch;
    while (true) {
        bool stopping = false;
        bool trim = false;
        {
            std::unique_lock guard(queueMutex_);
            wake_.wait_until(guard, std::min(nextActivity, nextTrim),
                             [this] { return stop_ || trimRequested_ || !queue_.empty(); });
            batch.swap(queue_);
            stopping = stop_;
            trim = trimRequested_;
            trimRequested_ = false;
        }
        for (const EventEdge& edge : batch)
            Handle(edge);
        batch.clear();

        const uint64_t dropped = dropped_.load();
        if (dropped != droppedReported_) {
            // Once per burst, not per edge.
            Report(std::to_string(dropped - droppedReported_) + " event edges were dropped: the event queue was full");
            droppedReported_ = dropped;
        }
        const auto now = Clock::now();
        if (log_ && now >= nextActivity) {
            LogResult(log_->SetActivity(Now()));
            nextActivity = now + options_.activityInterval;
        }
        if (trim || now >= nextTrim) {
            Trim(Now());
            nextTrim = now + kTrimInterval;
        }
        if (stopping)
            break;
    }
    CloseAll();
}

void EventHub::OpenLog()
{
    if (options_.logPath.empty())
        return;
    EventLogStatus status;
    log_ = EventLog::Open(options_.logPath, EventLog::Mode::ReadWrite, status);
    if (!log_) {
        Report("the event log cannot be used, events are not kept: " + status.message);
        return;
    }
    // Events a crash left open end when the recorder was last seen running.
    std::optional<int64_t> lastSeen;
    EventLogStatus result = log_->LastActivity(lastSeen);
    if (result.ok() && lastSeen) {
        int closed = 0;
        result = log_->CloseOpenEvents(*lastSeen, closed);
    }
    LogResult(result);
    LogResult(log_->SetActivity(Now()));
    Trim(Now());
}

void EventHub::Handle(const EventEdge& edge)
{
    const OpenKey key{TypeOfEdge(edge.kind), edge.camera};
    auto open = open_.find(key);
    if (IsStartEdge(edge.kind)) {
        if (open != open_.end()) {
            // Already open (a fault whose reason changed, say): the same event.
            Event& event = open->second;
            event.peak = std::max(event.peak, edge.level);
            if (event.firstImage.empty())
                event.firstImage = edge.firstImage;
            if (!edge.reason.empty())
                event.reason = edge.reason;
            return;
        }
        Event event;
        event.type = key.first;
        event.camera = edge.camera;
        event.start = edge.time;
        event.peak = edge.level;
        event.firstImage = edge.firstImage;
        event.lastImage = edge.lastImage;
        event.reason = edge.reason;
        if (log_)
            LogResult(log_->Insert(event));
        FanOut(edge, event);
        open_.emplace(key, std::move(event));
        return;
    }

    if (open == open_.end())
        return; // nothing of that kind is open: an end without a start says nothing
    Event event = std::move(open->second);
    open_.erase(open);
    event.end = std::max(edge.time, event.start);
    event.peak = std::max(event.peak, edge.level);
    if (event.firstImage.empty())
        event.firstImage = edge.firstImage;
    if (!edge.lastImage.empty())
        event.lastImage = edge.lastImage;
    if (log_ && event.id != 0)
        LogResult(log_->Update(event));
    FanOut(edge, event);
}

void EventHub::FanOut(const EventEdge& edge, const Event& event)
{
    std::lock_guard guard(listenersMutex_);
    for (const auto& listener : listeners_)
        if (listener)
            listener->OnEdge(edge, event);
}

void EventHub::Trim(int64_t now)
{
    int64_t keepS = 0;
    {
        std::lock_guard guard(queueMutex_);
        keepS = keepS_;
    }
    if (!log_ || keepS <= 0)
        return;
    int removed = 0;
    LogResult(log_->RemoveEndedBefore(now - keepS, removed));
}

// The recorder stops: what is still open ends now, in the log only (the
// listeners may be gone already).
void EventHub::CloseAll()
{
    if (!log_)
        return;
    const int64_t now = Now();
    for (auto& [key, event] : open_) {
        if (event.id == 0)
            continue;
        event.end = std::max(now, event.start);
        LogResult(log_->Update(event));
    }
    open_.clear();
    LogResult(log_->SetActivity(now));
}

void EventHub::LogResult(const EventLogStatus& status)
{
    if (status.ok() == !logFailing_)
        return;
    logFailing_ = !status.ok();
    Report(logFailing_ ? "the event log cannot be written: " + status.message : "the event log is written again");
}

} // namespace vistrel
