// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/recorder_events.h"

#include "common/timed_lock.h"
#include "events/desktop_notifier.h"
#include "events/event_hub.h"
#include "events/event_log.h"
#include "events/hook_runner.h"
#include "events/mqtt_publisher.h"
#include "settings/instance_settings.h"
#include "settings/registry_key.h"

#include <QDir>

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace vistrel {

namespace {

constexpr int64_t kDayS = 24 * 3600;
constexpr int kReloadDelayMs = 200;

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
        return "localhost";
    return name;
}

// The folder of a key of the store, as the store lays keys out.
QString KeyFolder(const std::filesystem::path& store, const std::string& keyPath)
{
    std::string folder = keyPath;
    std::replace(folder.begin(), folder.end(), '\\', '/');
    return QString::fromStdString((store / "HKEY_LOCAL_MACHINE" / folder).string());
}

} // namespace

RecorderEvents::RecorderEvents(int instance, const std::filesystem::path& storeFolder, InstanceSettings& settings,
                               QObject* parent)
    : QObject(parent)
    , instance_(instance)
    , storeFolder_(storeFolder)
    , logPath_(EventLogPath(storeFolder, instance))
    , settings_(settings)
{
    EventHub::Options options;
    options.logPath = logPath_;
    options.report = [this](const std::string& line) { Report(line); };
    hub_ = std::make_unique<EventHub>(std::move(options));

    reloadTimer_.setSingleShot(true);
    reloadTimer_.setInterval(kReloadDelayMs);
    connect(&reloadTimer_, &QTimer::timeout, this, [this] {
        WatchKeys();
        if (Reload())
            Q_EMIT gapsChanged();
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { reloadTimer_.start(); });
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { reloadTimer_.start(); });
    WatchKeys();
}

RecorderEvents::~RecorderEvents()
{
    // The hub finishes what was posted and tells its listeners before they go.
    hub_.reset();
}

IEventSink& RecorderEvents::Sink()
{
    return *hub_;
}

void RecorderEvents::PostRecorderEdge(EdgeKind kind)
{
    EventEdge edge;
    edge.kind = kind;
    edge.time = int64_t(std::time(nullptr));
    hub_->Post(std::move(edge));
}

// The Events key is replaced by a rename, so its folder is watched, and the
// instance's folder for the Events folder to appear.
void RecorderEvents::WatchKeys()
{
    const std::string instanceKey = "Software\\Tallow Software\\Vistrel\\Camera" + std::to_string(instance_);
    QStringList folders;
    for (const QString& folder : {KeyFolder(storeFolder_, instanceKey), KeyFolder(storeFolder_, EventsKeyPath(instance_))})
        if (QDir(folder).exists() && !watcher_.directories().contains(folder))
            folders << folder;
    if (!folders.isEmpty())
        watcher_.addPaths(folders);
}

void RecorderEvents::SetWebListener(std::unique_ptr<IEventListener> listener)
{
    if (hub_)
        hub_->SetListener(EventHub::Listener::Web, std::move(listener));
}

bool RecorderEvents::Reload()
{
    CRegistryKey key(storeFolder_);
    std::vector<std::string> problems;
    const EventsSettings events = ReadEventsSettings(key, instance_, &problems);

    std::string joined;
    for (const std::string& problem : problems)
        joined += (joined.empty() ? "" : "; ") + problem;
    if (joined != problemsReported_ && !joined.empty())
        Report("the events settings are partly not used: " + joined);
    problemsReported_ = joined;

    int64_t longestS = 0;
    std::string cameras = "A";
    bool gapsChanged = false;
    {
        TimedLock lock(settings_.SettingsLock);
        if (lock) {
            for (size_t k = 0; k < size_t(kCameraCount); ++k) {
                longestS = std::max(longestS, int64_t(settings_.Days[k]) * kDayS + int64_t(settings_.Hours[k]) * 3600
                                                  + int64_t(settings_.Minutes[k]) * 60);
                if (settings_.EventGapS[k] != events.eventGapS[k]) {
                    settings_.EventGapS[k] = events.eventGapS[k];
                    gapsChanged = true;
                }
            }
            if (settings_.EnableMux) {
                cameras.clear();
                for (int k = 0; k < kCameraCount; ++k)
                    if (settings_.MuxerInputs[size_t(k)])
                        cameras += CameraLetter(k);
                if (cameras.empty())
                    cameras = "A";
            }
        }
    }
    hub_->SetRetention(longestS + kDayS);
    ApplyMqtt(events, cameras);
    ApplyHook(events);
    ApplyDesktop(events);
    return gapsChanged;
}

void RecorderEvents::ApplyMqtt(const EventsSettings& settings, const std::string& cameras)
{
    const std::string host = HostName();
    MqttOptions options;
    if (settings.MqttOn()) {
        options.host = settings.mqttHost;
        options.port = settings.mqttPort;
        options.user = settings.mqttUser;
        options.password = settings.mqttPassword;
        options.tls = settings.mqttTls != 0;
        options.caFile = settings.mqttCaFile;
        options.prefix = MqttTopicPrefix(settings, host, instance_);
        options.hostName = host;
        options.instance = instance_;
        options.cameras = cameras;
        options.report = [this](const std::string& line) { Report(line); };
    }
    // Kept in memory only, to tell whether the broker settings changed.
    const std::string madeWith = settings.MqttOn()
        ? options.host + '\n' + std::to_string(options.port) + '\n' + options.user + '\n' + options.password + '\n'
            + (options.tls ? "1" : "0") + '\n' + options.caFile + '\n' + options.prefix + '\n' + options.cameras
        : std::string();
    if (madeWith == mqttMadeWith_)
        return;
    mqttMadeWith_ = madeWith;
    // The old publisher says offline and goes before the new one connects.
    hub_->SetListener(EventHub::Listener::Mqtt, nullptr);
    if (settings.MqttOn())
        hub_->SetListener(EventHub::Listener::Mqtt, std::make_unique<MqttPublisher>(std::move(options)));
}

void RecorderEvents::ApplyHook(const EventsSettings& settings)
{
    if (!hook_ && settings.hook.empty())
        return; // no process of its own until a hook is set
    if (!hook_) {
        HookRunner::Options options;
        options.report = [this](const std::string& line) { Report(line); };
        auto runner = std::make_unique<HookRunner>(std::move(options));
        hook_ = runner.get();
        hub_->SetListener(EventHub::Listener::Hook, std::move(runner));
    }
    // The values were checked when read: these cannot fail.
    hook_->SetEdges(settings.hookEvents);
    hook_->SetTimeout(std::chrono::seconds(settings.hookTimeoutS));
    hook_->SetCommand(settings.hook);
}

void RecorderEvents::ApplyDesktop(const EventsSettings& settings)
{
    std::bitset<8> cameras;
    for (size_t k = 0; k < size_t(kCameraCount); ++k)
        cameras.set(k, settings.notifyDesktop[k] != 0);
    if (!notifier_ && cameras.none())
        return; // the session bus is not asked for until a camera notifies
    if (!notifier_) {
        auto notifier = std::make_unique<DesktopNotifier>();
        notifier_ = notifier.get();
        connect(notifier_, &DesktopNotifier::Activated, this, &RecorderEvents::notificationActivated);
        hub_->SetListener(EventHub::Listener::Desktop, std::move(notifier));
    }
    notifier_->SetCameras(cameras);
}

void RecorderEvents::Report(const std::string& line) const
{
    std::fprintf(stderr, "Vistrel %d: %s\n", instance_, line.c_str());
    std::fflush(stderr);
}

} // namespace vistrel
