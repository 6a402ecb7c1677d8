// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/tray_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include <vector>

namespace vistrel {
namespace {

// A menu bar shaped like the main window's, with one checked and one
// disabled entry and a separator to see that state and shape are copied.
class TrayMenuTest : public testing::Test {
protected:
    void SetUp() override
    {
        add(bar.addMenu("&File"), "&Exit", 32772);
        add(bar.addMenu("&Device"), "&Select Device\tF2", 32774);
        add(bar.addMenu("&Options"), "&Multiplexing", 32775)->setEnabled(false);
        QMenu* view = bar.addMenu("&View");
        add(view, "&1 Camera", 32776);
        QAction* four = add(view, "&4 Cameras", 32777);
        four->setCheckable(true);
        four->setChecked(true);
        view->addSeparator();
        add(view, "&8 Cameras", 32778);
        QMenu* help = bar.addMenu("&Help");
        add(help, "&About...", 32773);
        add(help, "&Manual", 32787);
    }

    static QAction* add(QMenu* menu, const QString& text, int id)
    {
        QAction* action = menu->addAction(text);
        action->setData(id);
        return action;
    }

    static QStringList texts(const QMenu& menu)
    {
        QStringList result;
        for (const QAction* action : menu.actions())
            result << (action->isSeparator() ? QString("-") : action->text());
        return result;
    }

    static QAction* find(const QMenu& menu, const QString& text)
    {
        for (QAction* action : menu.actions()) {
            if (action->text() == text)
                return action;
        }
        return nullptr;
    }

    QMenuBar bar;
    QMenu menu;
    std::vector<int> dispatched;
};

TEST_F(TrayMenuTest, CopiesTheMenuBarInReverseAboveRestoreAndExit)
{
    ComposeTrayMenu(menu, &bar, [this](int id) { dispatched.push_back(id); });

    EXPECT_EQ(texts(menu),
              QStringList({"&Help", "&View", "&Options", "&Device", "&File", "-", "&Restore", "&Exit"}));
    ASSERT_NE(menu.defaultAction(), nullptr);
    EXPECT_EQ(menu.defaultAction()->text(), "&Restore");
    EXPECT_TRUE(menu.defaultAction()->font().bold());
    EXPECT_EQ(CommandId(find(menu, "&Restore")), kTrayRestoreCommand);
    EXPECT_EQ(CommandId(find(menu, "&Exit")), kTrayExitCommand);
}

TEST_F(TrayMenuTest, CopiedEntriesKeepStateAndDispatchTheirCommand)
{
    ComposeTrayMenu(menu, &bar, [this](int id) { dispatched.push_back(id); });

    QMenu* view = find(menu, "&View")->menu();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(texts(*view), QStringList({"&1 Camera", "&4 Cameras", "-", "&8 Cameras"}));
    QAction* four = find(*view, "&4 Cameras");
    EXPECT_TRUE(four->isCheckable());
    EXPECT_TRUE(four->isChecked());
    EXPECT_FALSE(find(*view, "&1 Camera")->isChecked());

    QAction* mux = find(*find(menu, "&Options")->menu(), "&Multiplexing");
    EXPECT_FALSE(mux->isEnabled());
    EXPECT_EQ(find(*find(menu, "&Device")->menu(), "&Select Device\tF2")->data().toInt(), 32774);

    four->trigger();
    find(menu, "&Restore")->trigger();
    find(menu, "&Exit")->trigger();
    EXPECT_EQ(dispatched, (std::vector<int>{32777, kTrayRestoreCommand, kTrayExitCommand}));
}

TEST_F(TrayMenuTest, ComposingAgainReplacesTheOldCopyWithTheCurrentState)
{
    ComposeTrayMenu(menu, &bar, {});
    bar.actions()[3]->menu()->actions()[1]->setChecked(false); // "&4 Cameras"
    ComposeTrayMenu(menu, &bar, {});

    EXPECT_EQ(menu.actions().size(), 8);
    EXPECT_EQ(menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly).size(), 5);
    EXPECT_FALSE(find(*find(menu, "&View")->menu(), "&4 Cameras")->isChecked());
}

TEST_F(TrayMenuTest, ComposingAgainKeepsTheMenusOwnActionUsable)
{
    // The menu's own action (the one a parent menu would show) belongs to
    // the menu, not to the composition, and must survive it.
    const QPointer<QAction> own = menu.menuAction();
    ComposeTrayMenu(menu, &bar, {});
    ComposeTrayMenu(menu, &bar, {});
    ASSERT_TRUE(own);
    ASSERT_EQ(menu.menuAction(), own.data());
    // Nothing of the first composition is left over: the entries and the own action.
    EXPECT_EQ(menu.findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).size(), menu.actions().size() + 1);

    menu.setTitle("Tray");
    menu.setEnabled(false);
    EXPECT_EQ(own->text(), "Tray");
    EXPECT_FALSE(own->isEnabled());
    QMenu* view = find(menu, "&View")->menu();
    view->setTitle("&Cameras");
    view->setEnabled(false);
    EXPECT_EQ(view->menuAction()->text(), "&Cameras");
}

TEST_F(TrayMenuTest, WithoutAMenuBarOnlyTheIconEntriesRemain)
{
    ComposeTrayMenu(menu, nullptr, {});
    EXPECT_EQ(texts(menu), QStringList({"-", "&Restore", "&Exit"}));
}

} // namespace
} // namespace vistrel
