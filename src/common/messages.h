// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QEvent>

#include <cstdint>

namespace vistrel {

// The private messages between windows and worker threads. Their numbers are
// fixed and all lie inside Qt's user event range, so they double as QEvent types.
inline constexpr int WM_THREAD_STOP = 1225;
inline constexpr int WM_THREAD_START = 1226;
inline constexpr int WM_SETTINGS_CHANGED = 1227;
inline constexpr int WM_RELAYOUT = 1228;
// A save found its disk full: the archive thread makes room at once.
inline constexpr int WM_ROOM_WANTED = 1229;

static_assert(WM_THREAD_STOP >= QEvent::User && WM_ROOM_WANTED <= QEvent::MaxUser);

// A posted thread or window message with its two parameters.
class ThreadMessageEvent : public QEvent {
public:
    ThreadMessageEvent(int message, quintptr wParam, qintptr lParam)
        : QEvent(QEvent::Type(message))
        , wParam_(wParam)
        , lParam_(lParam)
    {
    }
    int message() const { return int(type()); }
    quintptr wParam() const { return wParam_; }
    qintptr lParam() const { return lParam_; }

private:
    quintptr wParam_;
    qintptr lParam_;
};

// Identifies a worker thread for posting; 0 is no thread.
using ThreadId = uint32_t;

} // namespace vistrel
