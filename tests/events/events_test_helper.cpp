// A child process for the event tests, in one of these modes:
//   log-burst LOG          writes events to the log without end, saying on
//                          standard output "I <id>" once an insert is
//                          committed and "E <id>" once its end is
#include "events/event_log.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int LogBurst(const char* path)
{
    vistrel::EventLogStatus status;
    auto log = vistrel::EventLog::Open(path, vistrel::EventLog::Mode::ReadWrite, status);
    if (!log) {
        std::fprintf(stderr, "%s\n", status.message.c_str());
        return 1;
    }
    for (int64_t t = 1800000000;; ++t) {
        vistrel::Event event;
        event.camera = 'A';
        event.start = t;
        event.firstImage = "/archive/" + std::to_string(t) + ".jpg";
        if (!log->Insert(event).ok())
            return 1;
        std::printf("I %lld\n", static_cast<long long>(event.id));
        std::fflush(stdout);
        event.end = t;
        event.peak = 50;
        if (!log->Update(event).ok())
            return 1;
        std::printf("E %lld\n", static_cast<long long>(event.id));
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "log-burst" && argc == 3)
        return LogBurst(argv[2]);
    std::fprintf(stderr, "events_test_helper: unknown mode\n");
    return 2;
}
