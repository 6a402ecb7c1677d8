// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "events/event_listener.h"

#include <QDBusConnection>
#include <QObject>

#include <atomic>
#include <bitset>
#include <cstdint>
#include <map>
#include <mutex>

class QDBusMessage;

namespace vistrel {

// Shows "Motion on camera A" through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), with the event's
// first image, for the cameras chosen. Activating a notification emits
// Activated with its camera and the event's start, for the review window.
// Without a session bus or a notification service nothing breaks: the first
// failure is one line on standard error and the rest are counted.
//
// Lives on the thread that made it (the user-interface thread), whose event
// loop serves the bus; OnEdge and SetCameras may be called from any thread.
class DesktopNotifier : public QObject, public IEventListener {
    Q_OBJECT
public:
    static constexpr int kCallTimeoutMs = 5000;

    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // Which cameras notify ("NotifyDesktop"), bit k for camera index k.
    void SetCameras(std::bitset<8> cameras);

    void OnEdge(const EventEdge& edge, const Event& event) override;

    uint64_t shown() const { return shown_.load(); }
    uint64_t failed() const { return failed_.load(); }

Q_SIGNALS:
    void Activated(char camera, qint64 startS);

private Q_SLOTS:
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);

private:
    void Show(char camera, qint64 startS, const QString& image);
    void Failed(const QString& why);

    QDBusConnection bus_;
    std::atomic<uint64_t> shown_{0};
    std::atomic<uint64_t> failed_{0};
    bool failureReported_ = false; // this object's thread only

    std::mutex camerasMutex_; // guards cameras_
    std::bitset<8> cameras_;

    // Notification id -> the camera and start of its event; this object's
    // thread only, bounded by the notifications still shown.
    std::map<uint, std::pair<char, qint64>> shownEvents_;
};

} // namespace vistrel
