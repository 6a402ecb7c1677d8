// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "events/event_listener.h"
#include "events/events_settings.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <string>

namespace vistrel {

class DesktopNotifier;
class EventHub;
class HookRunner;
struct InstanceSettings;

// The recorder's events: the hub with its log in the settings store, and the
// hook, MQTT and desktop listeners as the instance's events settings ask.
// Reload() reads those settings again (the Events key, each camera's
// "NotifyDesktop" and "EventGapS", and the retention that bounds the log);
// the main window calls it when it loads or saves the settings, and a watch
// on the Events key's folder calls it when a script writes the key.
//
// Lives on the user-interface thread and is made and destroyed there (the
// main window makes it before the workers and destroys it after them);
// Sink() is posted to from any thread.
class RecorderEvents : public QObject {
    Q_OBJECT
public:
    RecorderEvents(int instance, const std::filesystem::path& storeFolder, InstanceSettings& settings,
                   QObject* parent = nullptr);
    ~RecorderEvents() override; // finishes the edges posted, closes open events in the log

    IEventSink& Sink();
    // An edge of no camera at the current time (recorder-start, recorder-exit).
    void PostRecorderEdge(EdgeKind kind);

    // Reads the settings again and applies what changed. True when a
    // camera's "EventGapS" changed, which the image thread reads on reload.
    bool Reload();

    // What the web server's pages hear of each edge (none: nothing); replaced
    // or removed only once the hub no longer calls the old one.
    void SetWebListener(std::unique_ptr<IEventListener> listener);

    const std::filesystem::path& logPath() const { return logPath_; }

Q_SIGNALS:
    // A desktop notification of a motion event was activated.
    void notificationActivated(char camera, qint64 startS);
    // A script changed "EventGapS": the image thread should reload.
    void gapsChanged();

private:
    void ApplyMqtt(const EventsSettings& settings, const std::string& cameras);
    void ApplyHook(const EventsSettings& settings);
    void ApplyDesktop(const EventsSettings& settings);
    void WatchKeys();
    void Report(const std::string& line) const;

    const int instance_;
    const std::filesystem::path storeFolder_;
    const std::filesystem::path logPath_;
    InstanceSettings& settings_;
    std::unique_ptr<EventHub> hub_;
    HookRunner* hook_ = nullptr;          // owned by hub_
    DesktopNotifier* notifier_ = nullptr; // owned by hub_
    std::string mqttMadeWith_;            // the publisher's options as one text; empty: none
    std::string problemsReported_; // said once until they change
    QFileSystemWatcher watcher_;
    QTimer reloadTimer_; // gathers a burst of file changes into one reload
};

} // namespace vistrel
