// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/system_tray.h"

#include "tray/desktop_settings.h"
#include "tray/tray_menu.h"

#include <QMenu>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace vistrel {

namespace {

constexpr int kAnimationMs = 200;
// How often the notification area is looked for, to put the icon back when
// the panel restarts (Qt has no signal for it).
constexpr int kWatchIntervalMs = 2000;

} // namespace

CSystemTray::CSystemTray(ITrayTarget& target, std::function<bool()> trayAvailable, QObject* parent)
    : QObject(parent)
    , target_(target)
    , trayAvailable_(trayAvailable ? std::move(trayAvailable) : [] { return QSystemTrayIcon::isSystemTrayAvailable(); })
    , reportsDoubleClicks_(TrayReportsDoubleClicks)
    , animationsEnabled_(DesktopAnimationsEnabled)
    , menu_(std::make_unique<QMenu>())
    , watchIntervalMs_(kWatchIntervalMs)
{
    connect(menu_.get(), &QMenu::aboutToShow, this, &CSystemTray::ComposeMenu);
    ComposeMenu();
}

CSystemTray::~CSystemTray()
{
    StopAnimation();
    RemoveFromTray();
}

bool CSystemTray::ShowInTray(const QString& toolTip, const QIcon& icon, int iconId)
{
    toolTip_ = toolTip;
    iconImage_ = icon;
    iconId_ = iconId;

    if (!watch_) {
        watch_ = new QTimer(this);
        watch_->setInterval(watchIntervalMs_);
        connect(watch_, &QTimer::timeout, this, &CSystemTray::CheckAvailability);
        watch_->start();
    }
    lastAvailable_ = trayAvailable_();
    if (!lastAvailable_) {
        iconAdded_ = false;
        pendingAdd_ = true;
        return false;
    }
    CreateIcon();
    return iconAdded_;
}

void CSystemTray::SetToolTip(const QString& toolTip)
{
    toolTip_ = toolTip;
    if (icon_)
        icon_->setToolTip(toolTip_);
}

void CSystemTray::setWatchInterval(int intervalMs)
{
    watchIntervalMs_ = intervalMs;
    if (watch_)
        watch_->setInterval(intervalMs);
}

void CSystemTray::setReportsDoubleClicks(std::function<bool()> reportsDoubleClicks)
{
    reportsDoubleClicks_ = std::move(reportsDoubleClicks);
    doubleClicks_.reset();
}

void CSystemTray::setAnimationsEnabled(std::function<bool()> animationsEnabled)
{
    animationsEnabled_ = std::move(animationsEnabled);
    animations_.reset();
}

bool CSystemTray::ReportsDoubleClicks()
{
    if (!doubleClicks_)
        doubleClicks_ = reportsDoubleClicks_();
    return *doubleClicks_;
}

bool CSystemTray::AnimationsEnabled()
{
    if (!animations_)
        animations_ = animationsEnabled_();
    return *animations_;
}

void CSystemTray::CreateIcon()
{
    pendingAdd_ = false;
    icon_ = std::make_unique<QSystemTrayIcon>(iconImage_);
    icon_->setToolTip(toolTip_);
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { HandleIconMessage(iconId_, reason); });
    icon_->show();
    iconAdded_ = true;
}

void CSystemTray::RemoveFromTray()
{
    pendingAdd_ = false;
    if (!iconAdded_)
        return;
    if (icon_)
        icon_->hide();
    icon_.reset();
    iconAdded_ = false;
}

void CSystemTray::ReAddIcon()
{
    if (!iconAdded_)
        return;
    // A notification area created anew does not know the icon; taking it out
    // and showing it again registers it there.
    icon_->hide();
    icon_->show();
}

void CSystemTray::CheckAvailability()
{
    const bool available = trayAvailable_();
    if (available && !lastAvailable_) {
        if (pendingAdd_)
            CreateIcon();
        else
            ReAddIcon();
    }
    lastAvailable_ = available;
}

int CSystemTray::HandleIconMessage(int iconId, QSystemTrayIcon::ActivationReason reason)
{
    if (iconId != iconId_)
        return 0;
    switch (reason) {
    case QSystemTrayIcon::Context:
        // The platform opens the context menu itself; it is composed on aboutToShow.
        return 1;
    case QSystemTrayIcon::DoubleClick:
        target_.PostCommand(CommandId(menu_->defaultAction()));
        return 1;
    case QSystemTrayIcon::Trigger:
        // Where a double click never arrives, the click is all the user has.
        if (!ReportsDoubleClicks())
            target_.PostCommand(CommandId(menu_->defaultAction()));
        return 1;
    default:
        return 1;
    }
}

void CSystemTray::ComposeMenu()
{
    ComposeTrayMenu(*menu_, target_.TrayMenuBar(), [this](int id) { target_.PostCommand(id); });
}

QRect CSystemTray::FindNotifyAreaRect() const
{
    if (!icon_ || !iconAdded_)
        return {};
    const QRect rect = icon_->geometry();
    return rect.isValid() && !rect.isEmpty() ? rect : QRect();
}

void CSystemTray::StopAnimation()
{
    if (animation_) {
        // Finishing runs the end-of-animation steps (hide, restore geometry).
        animation_->setCurrentTime(animation_->totalDuration());
        animation_->stop();
    }
}

void CSystemTray::Animate(QWidget* window, const QRect& fromRect, const QRect& toRect, qreal fromOpacity,
                          qreal toOpacity, std::function<void(QWidget&)> atEnd)
{
    auto* group = new QParallelAnimationGroup(this);
    auto* move = new QPropertyAnimation(window, "geometry", group);
    move->setDuration(kAnimationMs);
    move->setStartValue(fromRect);
    move->setEndValue(toRect);
    auto* fade = new QPropertyAnimation(window, "windowOpacity", group);
    fade->setDuration(kAnimationMs);
    fade->setStartValue(fromOpacity);
    fade->setEndValue(toOpacity);
    if (atEnd) {
        QPointer<QWidget> guarded(window);
        connect(group, &QAbstractAnimation::finished, this, [guarded, atEnd = std::move(atEnd)] {
            if (guarded)
                atEnd(*guarded);
        });
    }
    animation_ = group;
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void CSystemTray::HideToTray(QWidget* window, bool force)
{
    if (!window)
        return;
    StopAnimation();
    const QRect iconRect = FindNotifyAreaRect();
    if (iconRect.isEmpty() || window->isMinimized() || !window->isVisible() || !(force || AnimationsEnabled())) {
        window->hide();
        return;
    }
    const QRect from = window->geometry();
    Animate(window, from, iconRect, 1.0, 0.0, [from](QWidget& hidden) {
        hidden.hide();
        hidden.setGeometry(from);
        // A hidden widget keeps its place to itself, and the desktop's late
        // reports of the shrunken window would then overwrite it; telling the
        // desktop too makes its last report the right one.
        if (QWindow* handle = hidden.windowHandle())
            handle->setGeometry(from);
        hidden.setWindowOpacity(1.0);
    });
}

void CSystemTray::ShowFromTray(QWidget* window, bool force)
{
    if (!window)
        return;
    StopAnimation();
    const QRect iconRect = FindNotifyAreaRect();
    if (window->isMinimized()) {
        window->showNormal();
    } else if (window->isVisible() || iconRect.isEmpty() || !(force || AnimationsEnabled())) {
        window->show();
    } else {
        const QRect to = window->geometry();
        window->setWindowOpacity(0.0);
        window->setGeometry(iconRect);
        window->show();
        Animate(window, iconRect, to, 0.0, 1.0, {});
    }
    window->raise();
    window->activateWindow();
}

} // namespace vistrel
