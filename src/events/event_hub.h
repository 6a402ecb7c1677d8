// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "events/event_listener.h"
#include "events/event_log.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace vistrel {

// Where every edge of the recorder goes. Post() queues it and returns; the
// hub's own thread joins it to its event, writes the event to the log (the
// one source of the events) and then tells the listeners. The thread is
// started by the constructor; the destructor lets it finish the edges
// already posted, closes what is still open in the log, and joins it.
//
// Post, SetListener and SetRetention may be called from any thread.
class EventHub : public IEventSink {
public:
    enum class Listener { Hook, Mqtt, Desktop, Web };

    struct Options {
        std::filesystem::path logPath; // empty: no log
        // Events that ended longer ago leave the log; 0 keeps them all.
        int64_t keepS = 0;
        // How often the log hears that the recorder still runs, so that a
        // crash leaves open events an end near the truth.
        std::chrono::seconds activityInterval{60};
        size_t queueLimit = 256;
        std::function<int64_t()> now;                   // seconds since 1970; time() if unset
        std::function<void(const std::string&)> report; // one line for people; standard error if unset
    };

    explicit EventHub(Options options);
    ~EventHub() override;
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    bool Post(EventEdge edge) override;

    // Replaces one listener (none: removes it). The old one is destroyed on
    // the caller's thread once the hub no longer uses it.
    void SetListener(Listener which, std::unique_ptr<IEventListener> listener);
    void SetRetention(int64_t keepS);

    // Edges dropped because the queue was full.
    uint64_t dropped() const { return dropped_.load(); }

private:
    using OpenKey = std::pair<EventType, char>;

    void Run();
    void OpenLog();
    void Handle(const EventEdge& edge);
    void FanOut(const EventEdge& edge, const Event& event);
    void Trim(int64_t now);
    void CloseAll();
    // Says once when writing the log starts failing, and once when it works again.
    void LogResult(const EventLogStatus& status);
    void Report(const std::string& line);
    int64_t Now() const;

    Options options_;
    std::atomic<uint64_t> dropped_{0};

    // Hub thread only.
    std::unique_ptr<EventLog> log_;
    bool logFailing_ = false;
    uint64_t droppedReported_ = 0;
    std::map<OpenKey, Event> open_;

    std::mutex queueMutex_; // guards queue_, stop_, keepS_ and trimRequested_
    std::condition_variable wake_;
    std::deque<EventEdge> queue_;
    bool stop_ = false;
    int64_t keepS_ = 0;
    bool trimRequested_ = false;

    std::mutex listenersMutex_; // guards listeners_; held only while calling them, never across I/O waits
    std::array<std::unique_ptr<IEventListener>, 4> listeners_;

    std::thread thread_; // last: starts once everything above is ready
};

} // namespace vistrel
