// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace vistrel {

// The result of a log operation: 0 or the SQLite result code, and what went
// wrong in words, for the caller to report with its own context.
struct EventLogStatus {
    int code = 0;
    std::string message;

    bool ok() const { return code == 0; }
};

// <store folder>/events-<instance>.sqlite
std::filesystem::path EventLogPath(const std::filesystem::path& storeFolder, int instance);

// The event log of one recorder instance: an SQLite database in WAL mode
// with synchronous=FULL, so an event whose commit returned survives a crash
// or a power cut. Ids are never reused, even after old events are removed.
//
// Not synchronised: a log object belongs to one thread (the event hub's, or
// a reader's such as the review window or vistrel-events). Several
// connections, in one process or several, may use one file at once.
class EventLog {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // Opens the log, creating it (ReadWrite only) when it does not exist. A
    // file that is not a log, is damaged, or cannot be opened gives nothing
    // and a status saying why.
    static std::unique_ptr<EventLog> Open(const std::filesystem::path& path, Mode mode, EventLogStatus& status);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Stores a new event and sets its id.
    EventLogStatus Insert(Event& event);
    // Stores the end, peak, images and reason of an event the log has.
    EventLogStatus Update(const Event& event);

    // Events that overlap [from, to): begun before `to` and not ended before
    // `from` (open ones included), oldest first.
    EventLogStatus InRange(int64_t from, int64_t to, std::vector<Event>& events);
    EventLogStatus ById(int64_t id, std::optional<Event>& event);
    // The first event to start after `time`, and the last to start before it;
    // of one camera, or of any with kNoCamera.
    EventLogStatus Next(int64_t time, char camera, std::optional<Event>& event);
    EventLogStatus Previous(int64_t time, char camera, std::optional<Event>& event);

    // Removes the events that ended before `cutoff`.
    EventLogStatus RemoveEndedBefore(int64_t cutoff, int& removed);

    // When the recorder was last known to be running.
    EventLogStatus SetActivity(int64_t time);
    // The latest of the stored activity and the starts and ends of the
    // events; none in an empty log.
    EventLogStatus LastActivity(std::optional<int64_t>& time);
    // Ends every open event at `time` (or its start, if later): what a
    // recorder that stopped without closing them leaves behind.
    EventLogStatus CloseOpenEvents(int64_t time, int& closed);

private:
    explicit EventLog(sqlite3* db);
    EventLogStatus Exec(const char* sql);
    EventLogStatus Error(int code, const std::string& what) const;
    EventLogStatus Query(const char* sql, const std::vector<int64_t>& numbers, const char* text,
                         std::vector<Event>& events);
    EventLogStatus QueryOne(const char* sql, const std::vector<int64_t>& numbers, const char* text,
                            std::optional<Event>& event);

    sqlite3* db_;
};

} // namespace vistrel
