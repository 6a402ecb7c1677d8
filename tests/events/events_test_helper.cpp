// SPDX-License-Identifier: GPL-3.0-or-later
// A child process for the event tests, in one of these modes:
//   args OUT ARG...        a hook: writes its arguments to OUT, each ended by a
//                          zero byte, and to OUT.proc its pid, what its
//                          standard input is and which descriptors it holds
//   fail                   a hook that fails (status 3)
//   log-burst LOG          writes events to the log without end, saying on
//                          standard output "I <id>" once an insert is
//                          committed and "E <id>" once its end is
//   mqtt HOST PORT PREFIX  publishes as instance 2 with camera A, says "ready"
//                          once connected, then waits to be killed
#include "events/event_log.h"
#include "events/mqtt_publisher.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include <dirent.h>
#include <unistd.h>

namespace {

int Args(int argc, char** argv)
{
    const std::string out = argv[2];
    std::ofstream file(out, std::ios::binary);
    for (int i = 3; i < argc; ++i)
        file << argv[i] << '\0';
    std::ofstream proc(out + ".proc");
    char stdinPath[256] = {};
    const ssize_t length = readlink("/proc/self/fd/0", stdinPath, sizeof stdinPath - 1);
    proc << "pid " << getpid() << "\nstdin " << std::string(stdinPath, size_t(length > 0 ? length : 0)) << "\nfds";
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::atoi(name.c_str()) == dirfd(dir))
            continue;
        // The two files this program opened itself are not inherited.
        char target[512] = {};
        const ssize_t n = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        const std::string_view path(target, size_t(n > 0 ? n : 0));
        if (path == out || path == out + ".proc")
            continue;
        proc << ' ' << name;
    }
    if (dir)
        closedir(dir);
    proc << '\n';
    return proc && file ? 0 : 1;
}

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

int Mqtt(char** argv)
{
    vistrel::MqttOptions options;
    options.host = argv[2];
    options.port = std::atoi(argv[3]);
    options.prefix = argv[4];
    options.hostName = "helper";
    options.instance = 2;
    options.cameras = "A";
    static vistrel::MqttPublisher publisher(options); // never destroyed: this process is killed
    while (!publisher.connected())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("ready\n");
    std::fflush(stdout);
    while (true)
        pause();
}

} // namespace

int main(int argc, char** argv)
{
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "args" && argc >= 3)
        return Args(argc, argv);
    if (mode == "fail")
        return 3;
    if (mode == "log-burst" && argc == 3)
        return LogBurst(argv[2]);
    if (mode == "mqtt" && argc == 5)
        return Mqtt(argv);
    std::fprintf(stderr, "events_test_helper: unknown mode\n");
    return 2;
}
