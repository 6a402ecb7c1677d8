// vistrel-events: the events of a recorder instance's log, one line each,
// or one JSON object a line, for scripts and headless machines. Exit status
// 0 when the list is whole (a log not made yet is an empty list), 1 when the
// log cannot be read, 2 for a wrong command line.
#include "events/event_log.h"
#include "review/timeline.h"
#include "settings/registry_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace vistrel {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: vistrel-events --instance N [--from \"YYYY-MM-DD HH:MM[:SS]\"] [--to \"YYYY-MM-DD HH:MM[:SS]\"] [--json]\n"
    "Lists the events of recorder instance N (1..100) that overlap the span from --from up to (not\n"
    "including) --to, local time (without them: all), oldest first: one line each, or with --json\n"
    "one JSON object a line.\n";

struct Options {
    int instance = 0;
    std::optional<LocalTime> from;
    std::optional<LocalTime> to;
    bool json = false;
};

int Fail(const std::string& message, int status = kExitFailed)
{
    std::fprintf(stderr, "vistrel-events: %s\n", message.c_str());
    if (status == kExitUsage)
        std::fputs(kUsage, stderr);
    return status;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (!arg.starts_with("--")) {
            error = "unexpected argument \"" + std::string(arg) + "\"";
            return false;
        }
        if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
            value = std::string(arg.substr(equals + 1));
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--instance") {
            if (!takeValue())
                return false;
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 100) {
                error = "--instance must be a number from 1 to 100, not \"" + value + "\"";
                return false;
            }
            options.instance = int(n);
        } else if (arg == "--from" || arg == "--to") {
            if (!takeValue())
                return false;
            const std::optional<LocalTime> time = ParseLocalTime(value);
            if (!time) {
                error = std::string(arg) + " must be a local date and time like \"2026-12-07 14:00\", not \"" + value
                    + "\"";
                return false;
            }
            (arg == "--from" ? options.from : options.to) = time;
        } else {
            error = "unknown option " + std::string(arg);
            return false;
        }
    }
    if (options.instance == 0) {
        error = "--instance is needed";
        return false;
    }
    return true;
}

std::string Line(const Event& event)
{
    std::string line = std::to_string(event.id) + "  " + std::string(EventTypeName(event.type));
    line += "  camera ";
    line += event.camera == kNoCamera ? '-' : event.camera;
    line += "  " + FormatLocalTime(event.start) + " to ";
    line += event.end ? FormatLocalTime(*event.end) : std::string("(open)");
    if (event.type == EventType::Motion)
        line += "  peak " + std::to_string(event.peak);
    if (!event.reason.empty())
        line += "  " + event.reason;
    if (!event.firstImage.empty())
        line += "  " + event.firstImage;
    return line;
}

int Run(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error))
        return Fail(error, kExitUsage);
    const int64_t from = options.from ? FromLocalTime(*options.from) : std::numeric_limits<int64_t>::min();
    const int64_t to = options.to ? FromLocalTime(*options.to) : std::numeric_limits<int64_t>::max();
    if (options.from && options.to && to <= from)
        return Fail("--to must be later than --from", kExitUsage);

    const std::filesystem::path path = EventLogPath(DefaultRegistryFolder(), options.instance);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0; // no event yet
        return Fail("the event log \"" + path.string() + "\" cannot be read: " + std::strerror(errno));
    }
    EventLogStatus status;
    const std::unique_ptr<EventLog> log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    if (!log)
        return Fail("the event log cannot be read: " + status.message);
    std::vector<Event> events;
    status = log->InRange(from, to, events);
    if (!status.ok())
        return Fail("the event log cannot be read: " + status.message);
    for (const Event& event : events) {
        const std::string line = options.json ? EventJson(event) : Line(event);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
    if (std::fflush(stdout) != 0)
        return Fail(std::string("cannot write the list: ") + std::strerror(errno));
    return 0;
}

} // namespace
} // namespace vistrel

int main(int argc, char** argv)
{
    return vistrel::Run(argc, argv);
}
