// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/tray_menu.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace vistrel {

namespace {

QAction* CopyEntry(const QAction* original, QMenu& into, const std::function<void(int)>& dispatch);

void CopyPopup(const QMenu& from, QMenu& into, const std::function<void(int)>& dispatch)
{
    for (const QAction* entry : from.actions()) {
        QAction* copy = CopyEntry(entry, into, dispatch);
        into.addAction(copy);
        if (from.defaultAction() == entry)
            into.setDefaultAction(copy);
    }
}

QAction* CopyEntry(const QAction* original, QMenu& into, const std::function<void(int)>& dispatch)
{
    auto* copy = new QAction(original->text(), &into);
    if (original->isSeparator() || original->text().isEmpty()) {
        copy->setSeparator(true);
        return copy;
    }
    copy->setEnabled(original->isEnabled());
    copy->setCheckable(original->isCheckable());
    copy->setChecked(original->isChecked());
    copy->setFont(original->font());
    if (const QMenu* popup = original->menu()) {
        auto* popupCopy = new QMenu(original->text(), &into);
        CopyPopup(*popup, *popupCopy, dispatch);
        copy->setMenu(popupCopy);
        return copy;
    }
    const int id = CommandId(original);
    copy->setData(id);
    QObject::connect(copy, &QAction::triggered, copy, [dispatch, id] {
        if (dispatch)
            dispatch(id);
    });
    return copy;
}

QAction* AddCommand(QMenu& menu, const QString& text, int id, const std::function<void(int)>& dispatch)
{
    QAction* action = menu.addAction(text);
    action->setData(id);
    QObject::connect(action, &QAction::triggered, action, [dispatch, id] {
        if (dispatch)
            dispatch(id);
    });
    return action;
}

} // namespace

int CommandId(const QAction* action)
{
    return action ? action->data().toInt() : 0;
}

void ComposeTrayMenu(QMenu& menu, const QMenuBar* menuBar, const std::function<void(int)>& dispatch)
{
    // clear() deletes the entries the menu owns but not the copied popups,
    // which are its children too. The menu's remaining child action is its
    // own menuAction(), which must stay.
    menu.clear();
    qDeleteAll(menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly));

    QAction* restore = AddCommand(menu, QStringLiteral("&Restore"), kTrayRestoreCommand, dispatch);
    AddCommand(menu, QStringLiteral("&Exit"), kTrayExitCommand, dispatch);
    QFont bold = restore->font();
    bold.setBold(true);
    restore->setFont(bold);
    menu.setDefaultAction(restore);

    QAction* top = menu.insertSeparator(restore);
    if (!menuBar)
        return;
    for (const QAction* entry : menuBar->actions()) {
        QAction* copy = CopyEntry(entry, menu, dispatch);
        menu.insertAction(top, copy);
        top = copy;
    }
}

} // namespace vistrel
