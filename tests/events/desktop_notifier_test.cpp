// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/desktop_notifier.h"

#include "event_fixtures.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

namespace vistrel {
namespace {

using test::Edge;
using test::waitFor;

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// Stands in for the desktop's notification service and records each call.
class NotificationListener : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, summary, body;
        QStringList actions;
        QVariantMap hints;
    };
    std::vector<Call> calls;

public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout)
    {
        (void)replaces, (void)icon, (void)timeout;
        calls.push_back({app, summary, body, actions, hints});
        return 7;
    }
};

// A session bus of the test's own, in a temporary folder.
class SessionBus {
public:
    explicit SessionBus(const QTemporaryDir& dir)
    {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1", "--address=unix:dir=" + dir.path()});
        if (daemon_.waitForStarted())
            waitFor([&] { return daemon_.canReadLine() || daemon_.waitForReadyRead(10); });
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~SessionBus()
    {
        daemon_.kill();
        daemon_.waitForFinished();
    }
    const QString& address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

TEST(DesktopNotifier, ShowsMotionWithItsImageAndReportsActivation)
{
    QTemporaryDir dir;
    SessionBus bus(dir);
    ASSERT_FALSE(bus.address().isEmpty());
    QDBusConnection server = QDBusConnection::connectToBus(bus.address(), "notification-server");
    QDBusConnection client = QDBusConnection::connectToBus(bus.address(), "recorder");
    ASSERT_TRUE(server.isConnected() && client.isConnected());
    NotificationListener listener;
    ASSERT_TRUE(server.registerObject(kPath, &listener, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(server.registerService(kInterface));

    {
        DesktopNotifier notifier(client);
        notifier.SetCameras(0b1); // camera A only
        std::vector<std::pair<char, qint64>> activated;
        QObject::connect(&notifier, &DesktopNotifier::Activated,
                         [&](char camera, qint64 start) { activated.emplace_back(camera, start); });
        Event event;
        event.camera = 'A';
        event.start = 1800000000;
        event.firstImage = "/archive/cam A/1800000000-1-CamA.jpg";
        Event other = event;
        other.camera = 'B';
        notifier.OnEdge(Edge(EdgeKind::MotionStart, 'B', other.start), other);
        notifier.OnEdge(Edge(EdgeKind::MotionEnd, 'A', event.start), event);
        notifier.OnEdge(Edge(EdgeKind::MotionStart, 'A', event.start), event);
        ASSERT_TRUE(waitFor([&] { return notifier.shown() == 1; }));
        ASSERT_EQ(listener.calls.size(), 1u);
        const NotificationListener::Call& call = listener.calls[0];
        EXPECT_EQ(call.summary, "Motion on camera A");
        EXPECT_EQ(call.hints.value("image-path").toString(),
                  QUrl::fromLocalFile("/archive/cam A/1800000000-1-CamA.jpg").toString());
        EXPECT_TRUE(call.actions.contains("default"));

        QDBusMessage invoked = QDBusMessage::createSignal(kPath, kInterface, "ActionInvoked");
        invoked << uint(7) << QString("default");
        ASSERT_TRUE(server.send(invoked));
        ASSERT_TRUE(waitFor([&] { return !activated.empty(); }));
        EXPECT_EQ(activated, (std::vector<std::pair<char, qint64>>{{'A', 1800000000}}));

        // The service goes away: the call fails, and nothing else happens.
        server.unregisterService(kInterface);
        notifier.OnEdge(Edge(EdgeKind::MotionStart, 'A', event.start), event);
        EXPECT_TRUE(waitFor([&] { return notifier.failed() == 1; }));
        EXPECT_EQ(listener.calls.size(), 1u);
    }

    // No bus at all.
    DesktopNotifier alone(QDBusConnection(QStringLiteral("no-such-connection")));
    alone.SetCameras(0b1);
    Event event;
    event.camera = 'A';
    alone.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), event);
    EXPECT_TRUE(waitFor([&] { return alone.failed() == 1; }));

    QDBusConnection::disconnectFromBus("notification-server");
    QDBusConnection::disconnectFromBus("recorder");
}

} // namespace
} // namespace vistrel

#include "desktop_notifier_test.moc"
