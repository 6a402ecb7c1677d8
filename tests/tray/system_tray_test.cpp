// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/system_tray.h"

#include "support/temp_env.h"
#include "tray/tray_menu.h"

#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QWidget>

#include <vector>

namespace vistrel {
namespace {

QIcon testIcon()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::darkGray);
    return QIcon(pixmap);
}

class FakeTarget : public ITrayTarget {
public:
    FakeTarget() { bar.addMenu("&File")->addAction("&Exit")->setData(32772); }
    const QMenuBar* TrayMenuBar() const override { return &bar; }
    void PostCommand(int commandId) override { posted.push_back(commandId); }

    QMenuBar bar;
    std::vector<int> posted;
};

TEST(SystemTray, WithoutANotificationAreaNothingIsAddedAndEventsDoNothing)
{
    FakeTarget target;
    CSystemTray tray(target, [] { return false; });
    EXPECT_FALSE(tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId));
    EXPECT_FALSE(tray.iconAdded());
    EXPECT_FALSE(tray.isIconShown());
    tray.ReAddIcon();
    EXPECT_FALSE(tray.iconAdded());
}

// Restore comes from a double click where the desktop reports one, and from
// a single click (Trigger) on the StatusNotifierItem desktops, which never do.
struct ClickCase {
    bool desktopReportsDoubleClicks;
    QSystemTrayIcon::ActivationReason reason;
    bool restores;
};

class TrayClicks : public testing::TestWithParam<ClickCase> {};

TEST_P(TrayClicks, RestoreFollowsWhatTheDesktopReports)
{
    const ClickCase c = GetParam();
    FakeTarget target;
    CSystemTray tray(target, [] { return true; });
    tray.setReportsDoubleClicks([&] { return c.desktopReportsDoubleClicks; });
    ASSERT_TRUE(tray.ShowInTray("Vistrel 3", testIcon(), kTrayIconId));
    EXPECT_EQ(tray.toolTip(), "Vistrel 3");

    EXPECT_EQ(tray.HandleIconMessage(kTrayIconId + 1, c.reason), 0);
    EXPECT_TRUE(target.posted.empty());

    EXPECT_EQ(tray.HandleIconMessage(kTrayIconId, c.reason), 1);
    EXPECT_EQ(target.posted, c.restores ? std::vector<int>{kTrayRestoreCommand} : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(SystemTray, TrayClicks,
                         testing::Values(ClickCase{true, QSystemTrayIcon::DoubleClick, true},
                                         ClickCase{true, QSystemTrayIcon::Trigger, false},
                                         ClickCase{false, QSystemTrayIcon::Trigger, true},
                                         ClickCase{false, QSystemTrayIcon::MiddleClick, false}));

TEST(SystemTray, MenuIsComposedFromTheTargetsMenuBarWhenItOpens)
{
    FakeTarget target;
    CSystemTray tray(target, [] { return true; });
    tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId);
    target.bar.addMenu("&Help");
    Q_EMIT tray.menu()->aboutToShow();

    QStringList texts;
    for (const QAction* action : tray.menu()->actions())
        texts << (action->isSeparator() ? QString("-") : action->text());
    EXPECT_EQ(texts, QStringList({"&Help", "&File", "-", "&Restore", "&Exit"}));

    tray.menu()->actions().last()->trigger();
    EXPECT_EQ(target.posted, std::vector<int>{kTrayExitCommand});
}

TEST(SystemTray, ReAddAndRemoveKeepTheFlagsStraight)
{
    FakeTarget target;
    CSystemTray tray(target, [] { return true; });
    tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId);
    tray.ReAddIcon();
    EXPECT_TRUE(tray.iconAdded());
    EXPECT_TRUE(tray.isIconShown());
    tray.RemoveFromTray();
    EXPECT_FALSE(tray.iconAdded());
    tray.ReAddIcon();
    EXPECT_FALSE(tray.iconAdded());
}

TEST(SystemTray, IconIsAddedOnceANotificationAreaAppears)
{
    FakeTarget target;
    bool available = false;
    CSystemTray tray(target, [&] { return available; });
    tray.setWatchInterval(10);
    EXPECT_FALSE(tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId));
    available = true;
    EXPECT_TRUE(test::waitFor([&] { return tray.iconAdded(); }));
    EXPECT_TRUE(tray.isIconShown());
}

TEST(SystemTray, IconCountsAsShownOnlyWhileTheNotificationAreaIsThere)
{
    FakeTarget target;
    bool available = true;
    int asked = 0;
    CSystemTray tray(target, [&] {
        ++asked;
        return available;
    });
    tray.setWatchInterval(10);
    ASSERT_TRUE(tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId));
    EXPECT_TRUE(tray.isIconShown());

    // The panel goes away: the window must not be hidden where nothing brings it back.
    available = false;
    EXPECT_FALSE(tray.isIconShown());
    const int before = asked;
    ASSERT_TRUE(test::waitFor([&] { return asked > before; })); // the watch has seen it too
    EXPECT_FALSE(tray.isIconShown());
    EXPECT_TRUE(tray.iconAdded());

    // Back again, but the icon is only there once the watch has put it back.
    tray.setWatchInterval(60 * 60 * 1000);
    available = true;
    EXPECT_FALSE(tray.isIconShown());
    tray.setWatchInterval(10);
    EXPECT_TRUE(test::waitFor([&] { return tray.isIconShown(); }));
}

// An icon whose place the desktop reports, so the window is animated.
class PlacedTray : public CSystemTray {
public:
    using CSystemTray::CSystemTray;
    QRect FindNotifyAreaRect() const override { return QRect(600, 460, 16, 16); }
};

TEST(SystemTray, AnimationsEndWithTheWindowsPlaceAndOpacityIntact)
{
    FakeTarget target;
    PlacedTray tray(target, [] { return true; });
    tray.setAnimationsEnabled([] { return true; });
    tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId);
    QWidget window;
    window.setGeometry(100, 80, 200, 100);
    window.show();
    const QRect place = window.geometry();
    const auto restored = [&] { return window.geometry() == place && window.windowOpacity() == 1.0; };

    tray.HideToTray(&window, false);
    EXPECT_TRUE(window.isVisible()); // still shrinking
    ASSERT_TRUE(test::waitFor([&] { return !window.isVisible(); }));
    EXPECT_TRUE(test::waitFor(restored));

    tray.ShowFromTray(&window, false);
    EXPECT_TRUE(window.isVisible());
    ASSERT_TRUE(test::waitFor(restored));

    // Hiding while the window still grows out of the icon finishes the growth
    // first, so the window keeps its full place for the next restore.
    tray.HideToTray(&window, false);
    ASSERT_TRUE(test::waitFor([&] { return !window.isVisible(); }));
    tray.ShowFromTray(&window, false);
    tray.HideToTray(&window, false);
    ASSERT_TRUE(test::waitFor([&] { return !window.isVisible(); }));
    EXPECT_TRUE(test::waitFor(restored));
}

TEST(SystemTray, WithTheDesktopsAnimationsOffHidingAndRestoringAreImmediate)
{
    FakeTarget target;
    PlacedTray tray(target, [] { return true; });
    tray.setAnimationsEnabled([] { return false; });
    tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId);
    QWidget window;
    window.setGeometry(100, 80, 200, 100);
    window.show();
    const QRect place = window.geometry();

    tray.HideToTray(&window, false);
    EXPECT_FALSE(window.isVisible());
    tray.ShowFromTray(&window, false);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.geometry(), place);
    EXPECT_EQ(window.windowOpacity(), 1.0);
}

TEST(SystemTray, HidingAndRestoringWithoutAnIconPlaceIsImmediate)
{
    FakeTarget target;
    CSystemTray tray(target, [] { return true; });
    tray.ShowInTray("Vistrel 1", testIcon(), kTrayIconId);
    ASSERT_TRUE(tray.FindNotifyAreaRect().isEmpty()); // offscreen: the desktop reports no place

    QWidget window;
    window.resize(200, 100);
    window.show();
    tray.HideToTray(&window, false);
    EXPECT_FALSE(window.isVisible());
    tray.ShowFromTray(&window, false);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.size(), QSize(200, 100));

    window.showMinimized();
    tray.ShowFromTray(&window, false);
    EXPECT_FALSE(window.isMinimized());
}

} // namespace
} // namespace vistrel
