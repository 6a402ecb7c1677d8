#pragma once

#include "common/messages.h"

#include <QWidget>

#include <functional>

namespace vistrel {

class IDialogHost;

// Every control of the dialog templates carries its numeric id in the dynamic
// property "controlId" (object names must be identifiers, so they cannot be
// the bare number). These find a control by that id among a dialog's children.
inline constexpr char kControlIdProperty[] = "controlId";
QWidget* FindControl(const QWidget& dialog, int id);
template <class T>
T* FindControl(const QWidget& dialog, int id)
{
    return qobject_cast<T*>(FindControl(dialog, id));
}

// How the dialogs post thread messages; PostThreadMessage by default, a
// recorder in tests.
using ThreadPoster = std::function<bool(ThreadId id, int message, quintptr wParam, qintptr lParam)>;
ThreadPoster DefaultThreadPoster();

// WM_SETTINGS_CHANGED to the image thread, then to the archive thread.
void AnnounceSettingsChanged(IDialogHost& host, const ThreadPoster& post);

} // namespace vistrel
