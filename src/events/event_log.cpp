// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/event_log.h"

#include <sqlite3.h>

#include <string_view>
#include <utility>

namespace vistrel {

namespace {

constexpr int kSchemaVersion = 1;
// A reader (vistrel-events, the review window) may hold the file for a moment.
constexpr int kBusyTimeoutMs = 2000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS events(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  type TEXT NOT NULL,
  camera TEXT,
  start INTEGER NOT NULL,
  "end" INTEGER,
  peak INTEGER NOT NULL DEFAULT 0,
  first_image TEXT NOT NULL DEFAULT '',
  last_image TEXT NOT NULL DEFAULT '',
  reason TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS events_by_start ON events(start);
CREATE TABLE IF NOT EXISTS activity(
  id INTEGER PRIMARY KEY CHECK (id = 1),
  time INTEGER NOT NULL);
)sql";

constexpr const char* kColumns = R"sql(SELECT id, type, camera, start, "end", peak, first_image, last_image, reason FROM events )sql";

// One prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql)
    {
        code_ = sqlite3_prepare_v2(db, sql.data(), int(sql.size()), &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int code() const { return code_; }
    sqlite3_stmt* get() const { return statement_; }

    void Bind(int index, int64_t value) { Keep(sqlite3_bind_int64(statement_, index, value)); }
    void Bind(int index, std::string_view text)
    {
        Keep(sqlite3_bind_text(statement_, index, text.data(), int(text.size()), SQLITE_TRANSIENT));
    }
    void BindNull(int index) { Keep(sqlite3_bind_null(statement_, index)); }
    // SQLITE_ROW, SQLITE_DONE or an error; a failed bind is reported here.
    int Step()
    {
        if (code_ != SQLITE_OK)
            return code_;
        return sqlite3_step(statement_);
    }

    std::string Text(int column) const
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return text ? std::string(text, size_t(sqlite3_column_bytes(statement_, column))) : std::string();
    }

private:
    void Keep(int code)
    {
        if (code_ == SQLITE_OK)
            code_ = code;
    }

    sqlite3_stmt* statement_ = nullptr;
    int code_ = SQLITE_OK;
};

std::string CameraText(char camera)
{
    return camera == kNoCamera ? std::string() : std::string(1, camera);
}

void BindCamera(Statement& statement, int index, char camera)
{
    if (camera == kNoCamera)
        statement.BindNull(index);
    else
        statement.Bind(index, CameraText(camera));
}

// False for a row whose type this program does not know.
bool ReadEvent(const Statement& row, Event& event)
{
    sqlite3_stmt* s = row.get();
    const std::optional<EventType> type = ParseEventType(row.Text(1));
    if (!type)
        return false;
    event = Event{};
    event.id = sqlite3_column_int64(s, 0);
    event.type = *type;
    const std::string camera = row.Text(2);
    event.camera = camera.size() == 1 ? camera[0] : kNoCamera;
    event.start = sqlite3_column_int64(s, 3);
    if (sqlite3_column_type(s, 4) != SQLITE_NULL)
        event.end = sqlite3_column_int64(s, 4);
    event.peak = sqlite3_column_int(s, 5);
    event.firstImage = row.Text(6);
    event.lastImage = row.Text(7);
    event.reason = row.Text(8);
    return true;
}

} // namespace

std::filesystem::path EventLogPath(const std::filesystem::path& storeFolder, int instance)
{
    return storeFolder / ("events-" + std::to_string(instance) + ".sqlite");
}

std::unique_ptr<EventLog> EventLog::Open(const std::filesystem::path& path, Mode mode, EventLogStatus& status)
{
    const int flags = (mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
        | SQLITE_OPEN_NOMUTEX;
    sqlite3* db = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (code != SQLITE_OK) {
        status = {code, "cannot open " + path.string() + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code))};
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<EventLog> log(new EventLog(db));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);

    // The first read of the file is where a file that is no database shows.
    int version = 0;
    {
        Statement query(db, "PRAGMA user_version");
        const int step = query.Step();
        if (step != SQLITE_ROW) {
            status = log->Error(step, path.string());
            return nullptr;
        }
        version = sqlite3_column_int(query.get(), 0);
    }
    if (version > kSchemaVersion) {
        status = {SQLITE_ERROR, path.string() + " was written by a newer version of this program"};
        return nullptr;
    }
    {
        Statement check(db, "PRAGMA quick_check");
        const int step = check.Step();
        if (step != SQLITE_ROW) {
            status = log->Error(step, path.string());
            return nullptr;
        }
        const std::string result = check.Text(0);
        if (result != "ok") {
            status = {SQLITE_CORRUPT, path.string() + " is damaged: " + result};
            return nullptr;
        }
    }

    if (mode == Mode::ReadWrite) {
        {
            Statement wal(db, "PRAGMA journal_mode=WAL");
            const int step = wal.Step();
            if (step != SQLITE_ROW || wal.Text(0) != "wal") {
                status = step != SQLITE_ROW ? log->Error(step, path.string())
                                            : EventLogStatus{SQLITE_ERROR, path.string() + " cannot be kept in WAL mode"};
                return nullptr;
            }
        }
        for (const char* sql : {"PRAGMA synchronous=FULL", kSchema}) {
            status = log->Exec(sql);
            if (!status.ok()) {
                status.message = path.string() + ": " + status.message;
                return nullptr;
            }
        }
        if (version < kSchemaVersion)
            log->Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    } else if (version == 0) {
        status = {SQLITE_ERROR, path.string() + " holds no events table"};
        return nullptr;
    }
    status = {};
    return log;
}

EventLog::EventLog(sqlite3* db)
    : db_(db)
{
}

EventLog::~EventLog()
{
    sqlite3_close_v2(db_);
}

EventLogStatus EventLog::Error(int code, const std::string& what) const
{
    return {code == SQLITE_OK ? SQLITE_ERROR : code, what + ": " + sqlite3_errmsg(db_)};
}

EventLogStatus EventLog::Exec(const char* sql)
{
    char* message = nullptr;
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    EventLogStatus status;
    if (code != SQLITE_OK)
        status = {code, message ? message : sqlite3_errstr(code)};
    sqlite3_free(message);
    return status;
}

EventLogStatus EventLog::Insert(Event& event)
{
    Statement insert(db_, R"sql(INSERT INTO events(type, camera, start, "end", peak, first_image, last_image, reason)
                                VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8))sql");
    insert.Bind(1, EventTypeName(event.type));
    BindCamera(insert, 2, event.camera);
    insert.Bind(3, event.start);
    if (event.end)
        insert.Bind(4, *event.end);
    else
        insert.BindNull(4);
    insert.Bind(5, int64_t(event.peak));
    insert.Bind(6, event.firstImage);
    insert.Bind(7, event.lastImage);
    insert.Bind(8, event.reason);
    const int step = insert.Step();
    if (step != SQLITE_DONE)
        return Error(step, "cannot store an event");
    event.id = sqlite3_last_insert_rowid(db_);
    return {};
}

EventLogStatus EventLog::Update(const Event& event)
{
    Statement update(db_, R"sql(UPDATE events SET "end" = ?2, peak = ?3, first_image = ?4, last_image = ?5,
                                reason = ?6 WHERE id = ?1)sql");
    update.Bind(1, event.id);
    if (event.end)
        update.Bind(2, *event.end);
    else
        update.BindNull(2);
    update.Bind(3, int64_t(event.peak));
    update.Bind(4, event.firstImage);
    update.Bind(5, event.lastImage);
    update.Bind(6, event.reason);
    const int step = update.Step();
    if (step != SQLITE_DONE)
        return Error(step, "cannot store the end of event " + std::to_string(event.id));
    if (sqlite3_changes(db_) == 0)
        return {SQLITE_NOTFOUND, "event " + std::to_string(event.id) + " is not in the log"};
    return {};
}

EventLogStatus EventLog::Query(const char* where, const std::vector<int64_t>& numbers, const char* camera,
                               std::vector<Event>& events)
{
    Statement query(db_, std::string(kColumns) + where);
    int index = 1;
    for (const int64_t number : numbers)
        query.Bind(index++, number);
    if (camera)
        BindCamera(query, index, *camera);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        Event event;
        if (ReadEvent(query, event))
            events.push_back(std::move(event));
    }
    if (step != SQLITE_DONE)
        return Error(step, "cannot read the events");
    return {};
}

EventLogStatus EventLog::QueryOne(const char* where, const std::vector<int64_t>& numbers, const char* camera,
                                  std::optional<Event>& event)
{
    std::vector<Event> events;
    EventLogStatus status = Query(where, numbers, camera, events);
    event.reset();
    if (status.ok() && !events.empty())
        event = std::move(events.front());
    return status;
}

EventLogStatus EventLog::InRange(int64_t from, int64_t to, std::vector<Event>& events)
{
    events.clear();
    return Query(R"sql(WHERE start < ?2 AND ("end" IS NULL OR "end" >= ?1) ORDER BY start, id)sql", {from, to},
                 nullptr, events);
}

EventLogStatus EventLog::ById(int64_t id, std::optional<Event>& event)
{
    return QueryOne("WHERE id = ?1", {id}, nullptr, event);
}

EventLogStatus EventLog::Next(int64_t time, char camera, std::optional<Event>& event)
{
    return QueryOne("WHERE start > ?1 AND (?2 IS NULL OR camera = ?2) ORDER BY start, id LIMIT 1", {time}, &camera,
                    event);
}

EventLogStatus EventLog::Previous(int64_t time, char camera, std::optional<Event>& event)
{
    return QueryOne("WHERE start < ?1 AND (?2 IS NULL OR camera = ?2) ORDER BY start DESC, id DESC LIMIT 1", {time},
                    &camera, event);
}

EventLogStatus EventLog::RemoveEndedBefore(int64_t cutoff, int& removed)
{
    Statement remove(db_, R"sql(DELETE FROM events WHERE "end" IS NOT NULL AND "end" < ?1)sql");
    remove.Bind(1, cutoff);
    const int step = remove.Step();
    removed = step == SQLITE_DONE ? sqlite3_changes(db_) : 0;
    if (step != SQLITE_DONE)
        return Error(step, "cannot remove old events");
    return {};
}

EventLogStatus EventLog::SetActivity(int64_t time)
{
    Statement store(db_, "INSERT OR REPLACE INTO activity(id, time) VALUES (1, ?1)");
    store.Bind(1, time);
    const int step = store.Step();
    if (step != SQLITE_DONE)
        return Error(step, "cannot store the time of activity");
    return {};
}

EventLogStatus EventLog::LastActivity(std::optional<int64_t>& time)
{
    Statement query(db_, R"sql(SELECT MAX(t) FROM (SELECT time AS t FROM activity
                               UNION ALL SELECT MAX(start, COALESCE("end", start)) FROM events))sql");
    const int step = query.Step();
    if (step != SQLITE_ROW)
        return Error(step, "cannot read the time of activity");
    time.reset();
    if (sqlite3_column_type(query.get(), 0) != SQLITE_NULL)
        time = sqlite3_column_int64(query.get(), 0);
    return {};
}

EventLogStatus EventLog::CloseOpenEvents(int64_t time, int& closed)
{
    Statement close(db_, R"sql(UPDATE events SET "end" = MAX(start, ?1) WHERE "end" IS NULL)sql");
    close.Bind(1, time);
    const int step = close.Step();
    closed = step == SQLITE_DONE ? sqlite3_changes(db_) : 0;
    if (step != SQLITE_DONE)
        return Error(step, "cannot close the events left open");
    return {};
}

} // namespace vistrel
