// SPDX-License-Identifier: GPL-3.0-or-later
// vistrel-events: the events of a recorder instance's log, one line each,
// or one JSON object a line, for scripts and headless machines. Exit status
// 0 when the list is whole (a log not made yet is an empty list), 1 when the
// log cannot be read, 2 for a wrong command line.
#include "cli/tool_command_line.h"
#include "events/event_log.h"
#include "settings/registry_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace vistrel {
namespace {

constexpr const char* kUsage =
    "usage: vistrel-events --instance N [--from \"YYYY-MM-DD HH:MM[:SS]\"] [--to \"YYYY-MM-DD HH:MM[:SS]\"] [--json]\n"
    "Lists the events of recorder instance N (1..100) that overlap the span from --from up to (not\n"
    "including) --to, local time (without them: all), oldest first: one line each, or with --json\n"
    "one JSON object a line.\n";

struct Options {
    int instance = 0;
    std::optional<TimeArgument> from;
    std::optional<TimeArgument> to;
    bool json = false;
};

bool ParseOptions(ToolCommandLine& commandLine, Options& options, std::string& error)
{
    while (commandLine.Next()) {
        const std::string_view option = commandLine.Option();
        std::string value;
        if (option.empty()) {
            error = "unexpected argument \"" + std::string(commandLine.Argument()) + "\"";
            return false;
        }
        if (option == "--json") {
            options.json = true;
        } else if (option == "--instance") {
            if (!commandLine.TakeValue(value, error) || !ReadInstance(value, options.instance, error))
                return false;
        } else if (option == "--from" || option == "--to") {
            std::optional<TimeArgument>& time = option == "--from" ? options.from : options.to;
            if (!commandLine.TakeValue(value, error) || !ReadTime(option, value, time, error))
                return false;
        } else {
            error = "unknown option " + std::string(option);
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
    line += "  " + FormatLocalDateTime(LocalDateTimeAt(event.start)) + " to ";
    line += event.end ? FormatLocalDateTime(LocalDateTimeAt(*event.end)) : std::string("(open)");
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
    ToolCommandLine commandLine("vistrel-events", kUsage, argc, argv);
    Options options;
    std::string error;
    if (!ParseOptions(commandLine, options, error))
        return commandLine.Fail(error, kExitUsage);
    const int64_t from = options.from ? options.from->seconds : std::numeric_limits<int64_t>::min();
    const int64_t to = options.to ? options.to->seconds : std::numeric_limits<int64_t>::max();
    if (options.from && options.to && to <= from)
        return commandLine.Fail("--to must be later than --from", kExitUsage);

    const std::filesystem::path path = EventLogPath(DefaultRegistryFolder(), options.instance);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return 0; // no event yet
        return commandLine.Fail("the event log \"" + path.string() + "\" cannot be read: " + std::strerror(errno));
    }
    EventLogStatus status;
    const std::unique_ptr<EventLog> log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    if (!log)
        return commandLine.Fail("the event log cannot be read: " + status.message);
    std::vector<Event> events;
    status = log->InRange(from, to, events);
    if (!status.ok())
        return commandLine.Fail("the event log cannot be read: " + status.message);
    for (const Event& event : events) {
        const std::string line = options.json ? EventJson(event) : Line(event);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
    if (std::fflush(stdout) != 0)
        return commandLine.Fail(std::string("cannot write the list: ") + std::strerror(errno));
    return 0;
}

} // namespace
} // namespace vistrel

int main(int argc, char** argv)
{
    return vistrel::Run(argc, argv);
}
