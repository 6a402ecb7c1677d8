// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/control_id.h" // FindControl, for the dialogs and their tests
#include "common/messages.h"

#include <QWidget>

#include <functional>

namespace vistrel {

class IDialogHost;

// How the dialogs post thread messages; PostThreadMessage by default, a
// recorder in tests.
using ThreadPoster = std::function<bool(ThreadId id, int message, quintptr wParam, qintptr lParam)>;
ThreadPoster DefaultThreadPoster();

// WM_SETTINGS_CHANGED to the image thread, then to the archive thread.
void AnnounceSettingsChanged(IDialogHost& host, const ThreadPoster& post);

} // namespace vistrel
