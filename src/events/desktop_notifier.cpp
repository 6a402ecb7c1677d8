// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/desktop_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QUrl>
#include <QVariantMap>

#include <cstdio>

namespace vistrel {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr size_t kRemembered = 64; // notifications whose activation still opens the review

} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    // QDBusConnection takes signals by their signature only.
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this, SLOT(OnClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::SetCameras(std::bitset<8> cameras)
{
    std::lock_guard guard(camerasMutex_);
    cameras_ = cameras;
}

void DesktopNotifier::OnEdge(const EventEdge& edge, const Event& event)
{
    if (edge.kind != EdgeKind::MotionStart || event.camera < 'A' || event.camera > 'H')
        return;
    {
        std::lock_guard guard(camerasMutex_);
        if (!cameras_.test(size_t(event.camera - 'A')))
            return;
    }
    const char camera = event.camera;
    const qint64 start = event.start;
    const QString image = QString::fromStdString(event.firstImage);
    // Talks to the bus from this object's own thread, never the caller's.
    QMetaObject::invokeMethod(this, [this, camera, start, image] { Show(camera, start, image); },
                              Qt::QueuedConnection);
}

void DesktopNotifier::Show(char camera, qint64 startS, const QString& image)
{
    if (!bus_.isConnected()) {
        Failed(QStringLiteral("there is no session bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    if (!image.isEmpty())
        hints.insert(QStringLiteral("image-path"), QUrl::fromLocalFile(image).toString());
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vistrel"));
    const QString when = QDateTime::fromSecsSinceEpoch(startS).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    call << QStringLiteral("Vistrel") << uint(0) << QString() << QStringLiteral("Motion on camera %1").arg(QChar(camera))
         << when << QStringList{QStringLiteral("default"), QStringLiteral("Review")} << hints << int(-1);

    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, camera, startS](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<uint> reply = *done;
        if (reply.isError()) {
            Failed(reply.error().message());
            return;
        }
        shown_.fetch_add(1);
        shownEvents_[reply.value()] = {camera, startS};
        while (shownEvents_.size() > kRemembered)
            shownEvents_.erase(shownEvents_.begin());
    });
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action)
{
    (void)action; // every action of ours opens the review
    const auto it = shownEvents_.find(id);
    if (it == shownEvents_.end())
        return;
    Q_EMIT Activated(it->second.first, it->second.second);
}

void DesktopNotifier::OnClosed(uint id, uint reason)
{
    (void)reason;
    shownEvents_.erase(id);
}

void DesktopNotifier::Failed(const QString& why)
{
    failed_.fetch_add(1);
    if (failureReported_)
        return;
    failureReported_ = true;
    std::fprintf(stderr, "Vistrel: desktop notifications cannot be shown (%s); further failures are not shown\n",
                 qUtf8Printable(why));
}

} // namespace vistrel
