// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

class QAction;
class QMenu;
class QMenuBar;

namespace vistrel {

// Menu resource 134 ("Systray") and its two commands.
inline constexpr int kTrayIconId = 134;
inline constexpr int kTrayRestoreCommand = 32785;
inline constexpr int kTrayExitCommand = 32784;

// Menu entries carry their command id in QAction::data(); 0 for none.
int CommandId(const QAction* action);

// Fills `menu` with the tray's icon menu: the popups of `menuBar` copied in
// reverse order (each insert goes to the top), a separator, "&Restore" (the
// default entry, shown bold) and "&Exit". Copied entries keep the text,
// command id and state (checkable, checked, disabled, default) of their
// originals; separators stay separators. Choosing any entry calls
// dispatch(command id). Whatever `menu` held before is discarded. Runs on the
// user-interface thread; needs no tray.
void ComposeTrayMenu(QMenu& menu, const QMenuBar* menuBar, const std::function<void(int)>& dispatch);

} // namespace vistrel
