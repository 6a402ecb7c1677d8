// SPDX-License-Identifier: GPL-3.0-or-later
// vistrel-export: one camera's archive images between two local times as an
// MP4 video or a ZIP of the JPEGs, for headless machines and scripts.
// Exit status 0 only when the output file is whole; 1 for anything that
// stopped the export (nothing is left behind then), 2 for a wrong command
// line, 130 when interrupted (by any signal that would otherwise end it).
#include "cli/tool_command_line.h"
#include "events/event_log.h"
#include "review/archive_index.h"
#include "review/export_task.h"
#include "review/exporter.h"
#include "review/timeline.h"
#include "settings/instance_settings.h"
#include "settings/registry_key.h"
#include "settings/registry_store.h"
#include "settings/settings_io.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {
namespace {

constexpr int kExitInterrupted = 130;
// How long a cancelled export may take to stop and remove its temporary file.
constexpr auto kStopWait = std::chrono::seconds(10);
// What an event's export holds before its start and after its end.
constexpr int64_t kEventMarginS = 5;

constexpr const char* kUsage =
    "usage: vistrel-export --instance N --camera A --from \"YYYY-MM-DD HH:MM[:SS]\" --to \"YYYY-MM-DD HH:MM[:SS]\"\n"
    "                      [--archive FOLDER] OUTPUT.mp4|OUTPUT.zip\n"
    "       vistrel-export --instance N --event ID [--archive FOLDER] OUTPUT.mp4|OUTPUT.zip\n"
    "Exports the images of camera A of recorder instance N (1..100) saved from --from up to (not\n"
    "including) --to, local time, as an H.264 MP4 video or a ZIP of the JPEG files. The archive\n"
    "folder is the camera's from the settings store unless --archive names another. With --event,\n"
    "the camera and span are those of event ID of the instance's event log (as vistrel-events\n"
    "lists them), with 5 seconds before its start and after its end.\n";

struct Options {
    int instance = 0;
    int camera = -1;
    std::optional<TimeArgument> from;
    std::optional<TimeArgument> to;
    std::optional<int64_t> event;
    std::string archive;
    std::string output;
};

// False (with `error` set) for anything but the options of the usage text.
bool ParseOptions(ToolCommandLine& commandLine, Options& options, std::string& error)
{
    while (commandLine.Next()) {
        const std::string_view option = commandLine.Option();
        std::string value;
        if (option.empty()) {
            if (!options.output.empty()) {
                error = "more than one output file given";
                return false;
            }
            options.output = std::string(commandLine.Argument());
            continue;
        }
        if (option == "--instance") {
            if (!commandLine.TakeValue(value, error) || !ReadInstance(value, options.instance, error))
                return false;
        } else if (option == "--camera") {
            if (!commandLine.TakeValue(value, error))
                return false;
            const char letter = value.size() == 1 ? char(std::toupper(static_cast<unsigned char>(value[0]))) : 0;
            if (letter < 'A' || letter > 'H') {
                error = "--camera must be a letter from A to H, not \"" + value + "\"";
                return false;
            }
            options.camera = letter - 'A';
        } else if (option == "--from" || option == "--to") {
            std::optional<TimeArgument>& time = option == "--from" ? options.from : options.to;
            if (!commandLine.TakeValue(value, error) || !ReadTime(option, value, time, error))
                return false;
        } else if (option == "--event") {
            if (!commandLine.TakeValue(value, error))
                return false;
            char* end = nullptr;
            errno = 0;
            const long long id = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || id < 1) {
                error = "--event must be an event number, not \"" + value + "\"";
                return false;
            }
            options.event = id;
        } else if (option == "--archive") {
            if (!commandLine.TakeValue(value, error))
                return false;
            options.archive = value;
        } else {
            error = "unknown option " + std::string(option);
            return false;
        }
    }
    if (options.event) {
        if (options.camera >= 0 || options.from || options.to) {
            error = "--event takes the place of --camera, --from and --to";
            return false;
        }
        if (options.instance == 0 || options.output.empty()) {
            error = "--instance, --event and an output file are all needed";
            return false;
        }
        return true;
    }
    if (options.instance == 0 || options.camera < 0 || !options.from || !options.to || options.output.empty()) {
        error = "--instance, --camera, --from, --to and an output file are all needed";
        return false;
    }
    return true;
}

// The camera's archive folder as the recorder's settings store has it (the
// recorder's default when the store has none); the store is only read.
std::string StoredArchiveFolder(int instance, int camera)
{
    const std::string fallback = DefaultArchivePath(instance, camera);
    CRegistryKey key;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (!key.SetKey(CameraKeyPath(instance, camera), false))
        return fallback;
    return key.ReadString("ArchivePath", fallback);
}

// The signals whose default action ends the process, but for those a fault
// of the process itself raises (a crash stays a crash) and SIGKILL.
sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGPOLL, SIGPROF,
                        SIGVTALRM, SIGXCPU, SIGXFSZ, SIGSTKFLT, SIGPWR})
        sigaddset(&signals, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
        sigaddset(&signals, s);
    return signals;
}

// A time as it was given.
std::string Shown(const TimeArgument& time)
{
    return FormatLocalDateTime(time.local);
}

// The camera and span of the event, read from the instance's log: empty, or
// why not.
std::string EventSpan(Options& options, int64_t& fromS, int64_t& toS)
{
    const std::string id = std::to_string(*options.event);
    const std::string instance = std::to_string(options.instance);
    const std::filesystem::path path = EventLogPath(DefaultRegistryFolder(), options.instance);
    std::error_code missing;
    if (!std::filesystem::exists(path, missing))
        return "instance " + instance + " has no event log (" + path.string() + ")";
    EventLogStatus status;
    const std::unique_ptr<EventLog> log = EventLog::Open(path, EventLog::Mode::ReadOnly, status);
    std::optional<Event> event;
    if (log)
        status = log->ById(*options.event, event);
    if (!log || !status.ok())
        return "the event log " + path.string() + " cannot be read: " + status.message;
    if (!event)
        return "the event log of instance " + instance + " holds no event " + id;
    if (event->camera < 'A' || event->camera > 'H')
        return "event " + id + " (" + std::string(EventTypeName(event->type)) + ") is of no camera";
    options.camera = event->camera - 'A';
    // An event still open reaches to now.
    const int64_t end = event->end.value_or(std::max<int64_t>(event->start, int64_t(std::time(nullptr))));
    fromS = event->start - kEventMarginS;
    toS = end + kEventMarginS + 1; // the images of the last second count
    return {};
}

int Run(int argc, char** argv)
{
    ToolCommandLine commandLine("vistrel-export", kUsage, argc, argv);
    const auto Fail = [&commandLine](const std::string& message, int status = kExitFailed) {
        return commandLine.Fail(message, status);
    };
    Options options;
    std::string error;
    if (!ParseOptions(commandLine, options, error))
        return Fail(error, kExitUsage);
    const std::optional<ExportFormat> format = ExportFormatFor(options.output);
    if (!format)
        return Fail("the output file must end in .mp4 or .zip: \"" + options.output + "\"", kExitUsage);
    int64_t fromS = 0;
    int64_t toS = 0;
    std::string fromText;
    std::string toText;
    if (options.event) {
        if (const std::string why = EventSpan(options, fromS, toS); !why.empty())
            return Fail(why);
        fromText = FormatLocalDateTime(LocalDateTimeAt(fromS));
        toText = FormatLocalDateTime(LocalDateTimeAt(toS));
    } else {
        fromS = options.from->seconds;
        toS = options.to->seconds;
        fromText = Shown(*options.from);
        toText = Shown(*options.to);
        if (toS <= fromS)
            return Fail("--to (" + toText + ") must be later than --from (" + fromText + ")", kExitUsage);
    }
    const int64_t fromMs = fromS * 1000;
    const int64_t toMs = toS * 1000;

    const std::string camera = std::to_string(options.instance) + CameraLetter(options.camera);
    const std::string folder = options.archive.empty() ? StoredArchiveFolder(options.instance, options.camera)
                                                       : options.archive;
    struct stat st;
    if (stat((folder + "/").c_str(), &st) != 0)
        return Fail("the archive folder \"" + folder + "\" of camera " + camera + " cannot be read: "
                    + std::strerror(errno));
    const std::string suffix = ArchiveSuffix(options.instance, options.camera);
    std::vector<ArchiveImage> images;
    const std::atomic<bool> never{false};
    if (!ListArchiveImages(folder, suffix, images, never))
        return Fail("the archive folder \"" + folder + "\" of camera " + camera + " cannot be read: "
                    + std::strerror(errno));
    const ArchiveIndex index(std::move(images), ArchiveIndex::State::Ready);
    const auto [first, last] = index.Range(fromMs, toMs);
    if (first >= last) {
        std::string held = "it holds no images of camera " + camera;
        if (!index.empty())
            held = "it holds " + std::to_string(index.size()) + " images from "
                + FormatLocalTime(index.TimeMs(0) / 1000) + " to " + FormatLocalTime(index.TimeMs(index.size() - 1) / 1000);
        return Fail("no images of camera " + camera + " from " + fromText + " to " + toText
                    + " in \"" + folder + "\" (" + held + ")");
    }

    ExportJob job;
    job.folder = folder;
    job.suffix = suffix;
    job.frames = ExportFramesOf(index, first, last);
    job.output = options.output;
    job.format = *format;
    const size_t total = job.frames.size();
    const int64_t firstMs = job.frames.front().timeMs;
    const int64_t lastMs = job.frames.back().timeMs;

    // Every signal that would end the process cancels the export instead (its
    // temporary file goes), so no half file is left: they are taken from a
    // signalfd by the event loop, not by a handler. SIGKILL cannot be; the
    // next export to the same output removes what it leaves.
    const sigset_t stops = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    const int signalFd = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0)
        return Fail(std::string("cannot take the stop signals: ") + std::strerror(errno));

    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    ExportTask task(std::move(job));
    bool interrupted = false;
    QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        if (interrupted)
            return;
        interrupted = true;
        task.Cancel();
        QTimer::singleShot(kStopWait, &app, [&] {
            // Stuck in the file system: the process goes without it.
            Fail("interrupted: the export did not stop in time; the next export to \"" + options.output
                 + "\" removes its temporary file");
            std::_Exit(kExitInterrupted);
        });
    });
    // The count as it was last reported, shown a few times a second.
    qint64 done = 0;
    QTimer progressTimer;
    if (isatty(STDERR_FILENO) == 1) {
        QObject::connect(&task, &Task::progress, &app, [&](qint64 images, qint64) { done = images; });
        QObject::connect(&progressTimer, &QTimer::timeout, &app,
                         [&] { std::fprintf(stderr, "\rvistrel-export: %lld of %zu images", qlonglong(done), total); });
        progressTimer.start(200);
    }
    QObject::connect(&task, &Task::finished, &app, &QCoreApplication::quit);
    task.Start();
    app.exec();
    if (progressTimer.isActive())
        std::fprintf(stderr, "\rvistrel-export: %lld of %zu images\n", qlonglong(done), total);
    stopNotifier.setEnabled(false);
    close(signalFd);
    const ExportResult& result = task.result();

    switch (result.status) {
    case ExportResult::Status::Done:
        if (!result.note.empty())
            std::fprintf(stderr, "vistrel-export: %s\n", result.note.c_str());
        for (const std::string& leftOut : DescribeLeftOut(result))
            std::fprintf(stderr, "vistrel-export: %s\n", leftOut.c_str());
        std::printf("%s: %zu images of camera %s from %s to %s\n", options.output.c_str(), result.written,
                    camera.c_str(), FormatLocalTime(firstMs / 1000).c_str(), FormatLocalTime(lastMs / 1000).c_str());
        return 0;
    case ExportResult::Status::Cancelled:
        return Fail("interrupted: nothing was written", interrupted ? kExitInterrupted : kExitFailed);
    case ExportResult::Status::Failed:
        break;
    }
    return Fail(result.error);
}

} // namespace
} // namespace vistrel

int main(int argc, char** argv)
{
    return vistrel::Run(argc, argv);
}
