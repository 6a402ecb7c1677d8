// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>

class QAbstractAnimation;
class QMenu;
class QMenuBar;
class QTimer;
class QWidget;

namespace vistrel {

// What the tray icon needs of the main window.
class ITrayTarget {
public:
    virtual ~ITrayTarget() = default;
    // The menu bar copied into the icon menu.
    virtual const QMenuBar* TrayMenuBar() const = 0;
    // Runs a menu command later on the user-interface thread (queued).
    virtual void PostCommand(int commandId) = 0;
};

// The program's icon in the desktop's notification area: tooltip, the icon
// menu composed from the main window's menu bar at each opening, Restore on a
// double click (on a click where the desktop reports no double clicks), and
// the hide and restore animation of the main window. Lives on the
// user-interface thread; only the main window calls it.
class CSystemTray : public QObject {
    Q_OBJECT
public:
    // `trayAvailable` answers whether the desktop has a notification area;
    // QSystemTrayIcon::isSystemTrayAvailable when not given.
    explicit CSystemTray(ITrayTarget& target, std::function<bool()> trayAvailable = {}, QObject* parent = nullptr);
    ~CSystemTray() override;

    // Adds the icon. False, and nothing created, when the desktop has no
    // notification area; the icon is then added once one appears.
    bool ShowInTray(const QString& toolTip, const QIcon& icon, int iconId);
    void RemoveFromTray();
    // Changes the tooltip, now and for an icon added later.
    void SetToolTip(const QString& toolTip);
    // Takes the icon out and puts it back, for a notification area that was
    // created anew.
    void ReAddIcon();
    // 1 handled, 0 not: events of another icon id are not handled.
    virtual int HandleIconMessage(int iconId, QSystemTrayIcon::ActivationReason reason);

    // Sends the window into the notification area, animated where the
    // desktop reports the icon's place, and hides it.
    void HideToTray(QWidget* window, bool force);
    // Shows the window again: restored when minimised, else animated out of
    // the icon's place where the desktop reports it.
    void ShowFromTray(QWidget* window, bool force);
    // The icon's place on the screen; empty where the desktop does not say.
    // Virtual so that tests can give a place where the desktop gives none.
    virtual QRect FindNotifyAreaRect() const;

    bool iconAdded() const { return iconAdded_; }
    // True while the icon is in the notification area, so hiding the window
    // there is safe: added, put back after the area last came (the watch),
    // and the area still there now (the watch may not have looked yet).
    bool isIconShown() const { return iconAdded_ && lastAvailable_ && trayAvailable_(); }
    QString toolTip() const { return toolTip_; }
    int iconId() const { return iconId_; }
    // The icon menu, composed anew each time it is about to open.
    QMenu* menu() const { return menu_.get(); }
    // How often the desktop is asked whether it has a notification area.
    void setWatchInterval(int intervalMs);
    // Stand-ins for TrayReportsDoubleClicks and DesktopAnimationsEnabled
    // (tests). Each is asked once, when its answer is first needed.
    void setReportsDoubleClicks(std::function<bool()> reportsDoubleClicks);
    void setAnimationsEnabled(std::function<bool()> animationsEnabled);

private:
    void ComposeMenu();
    void CheckAvailability();
    void CreateIcon();
    void StopAnimation();
    bool ReportsDoubleClicks();
    bool AnimationsEnabled();
    // Moves `window` between the two places while fading it, then calls
    // `atEnd` on it unless it is gone meanwhile.
    void Animate(QWidget* window, const QRect& fromRect, const QRect& toRect, qreal fromOpacity, qreal toOpacity,
                 std::function<void(QWidget&)> atEnd);

    ITrayTarget& target_;
    std::function<bool()> trayAvailable_;
    std::function<bool()> reportsDoubleClicks_;
    std::function<bool()> animationsEnabled_;
    std::optional<bool> doubleClicks_; // the answers, once asked
    std::optional<bool> animations_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QTimer* watch_ = nullptr;
    int watchIntervalMs_;
    QPointer<QAbstractAnimation> animation_;
    QString toolTip_;
    QIcon iconImage_;
    int iconId_ = 0;
    bool iconAdded_ = false;
    bool pendingAdd_ = false; // ShowInTray found no notification area yet
    bool lastAvailable_ = false;
};

} // namespace vistrel
