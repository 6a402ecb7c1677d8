// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/desktop_settings.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

namespace vistrel {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
constexpr int kBusTimeoutMs = 1000;
constexpr int kToolTimeoutMs = 1000;

bool CurrentDesktopIs(const char* name)
{
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts);
    return desktops.contains(QLatin1String(name), Qt::CaseInsensitive);
}

// KDE keeps the switch as a factor on every animation's duration.
bool KdeAnimationsEnabled()
{
    const QString file
        = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/kdeglobals");
    if (!QFileInfo::exists(file))
        return true;
    const QSettings kdeglobals(file, QSettings::IniFormat);
    const QVariant factor = kdeglobals.value(QStringLiteral("KDE/AnimationDurationFactor"));
    return !factor.isValid() || factor.toDouble() > 0.0;
}

bool GnomeAnimationsEnabled()
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("gsettings"));
    if (tool.isEmpty())
        return true;
    QProcess gsettings;
    gsettings.start(tool, {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"),
                           QStringLiteral("enable-animations")});
    if (!gsettings.waitForFinished(kToolTimeoutMs)) {
        gsettings.kill();
        gsettings.waitForFinished();
        return true;
    }
    // A missing schema or key fails the tool: no setting, so animate.
    if (gsettings.exitStatus() != QProcess::NormalExit || gsettings.exitCode() != 0)
        return true;
    return gsettings.readAllStandardOutput().trimmed() != "false";
}

} // namespace

bool TrayReportsDoubleClicks()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kWatcherService))
        return true;
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kBusTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return true;
    const bool hostRegistered = qvariant_cast<QDBusVariant>(reply.arguments().first()).variant().toBool();
    return !hostRegistered;
}

bool DesktopAnimationsEnabled()
{
    if (CurrentDesktopIs("KDE"))
        return KdeAnimationsEnabled();
    return GnomeAnimationsEnabled();
}

} // namespace vistrel
