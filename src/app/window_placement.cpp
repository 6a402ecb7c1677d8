// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window_placement.h"

#include <QEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>

#include <algorithm>

namespace vistrel {

namespace {

// The frame assumed where the window system reports none (offscreen, or
// before the window is first shown): the fixed dialog border and caption
// the window sizes were made for.
const QMargins kNominalFrame(3, 22, 3, 3);
// Room kept right of and below the lowest control when the window's frame
// leaves less than the layout needs.
constexpr int kClientMargin = 5;
// How long after a layout the window's reported place is kept on the screen.
constexpr int kPlaceCheckMs = 2000;

} // namespace

WindowPlacement::WindowPlacement(QMainWindow& window, std::function<void()> nextView, std::function<void()> relayout)
    : window_(window)
    , nextView_(std::move(nextView))
    , relayout_(std::move(relayout))
{
    window_.installEventFilter(this);
}

void WindowPlacement::FitToLayout(const QSize& outerSize, const QRect& controlsExtent)
{
    // The layout's sizes are outer sizes: take the frame the window system
    // reports (or the nominal one) and the menu bar off to get the client.
    const QMargins frame = FrameMargins();
    const int clientWidth
        = std::max(outerSize.width() - frame.left() - frame.right(), controlsExtent.right() + 1 + kClientMargin);
    int menuHeight = 0;
    QMenuBar* menuBar = window_.menuBar();
    if (!menuBar->isNativeMenuBar()) {
        menuHeight = menuBar->heightForWidth(clientWidth);
        if (menuHeight < 0)
            menuHeight = menuBar->sizeHint().height();
    }
    const int clientHeight = std::max(outerSize.height() - frame.top() - frame.bottom() - menuHeight,
                                      controlsExtent.bottom() + 1 + kClientMargin);
    // The layout fixes the size: no dragging the border. The smallest size
    // is one pixel narrower only because window managers drop the maximise
    // button of a window whose smallest and largest sizes match, and that
    // button steps through the views; any other size is undone at once.
    laidOutSize_ = QSize(clientWidth, clientHeight + menuHeight);
    window_.setMaximumSize(laidOutSize_);
    window_.setMinimumSize(laidOutSize_ - QSize(1, 0));
    window_.resize(laidOutSize_);
    KeepOnScreen(QSize(laidOutSize_.width() + frame.left() + frame.right(),
                       laidOutSize_.height() + frame.top() + frame.bottom()));
    // The window manager answers later, and may put the window back where
    // it was (after an unmaximise): the place is checked again as it reports.
    placeCheckUntil_.setRemainingTime(kPlaceCheckMs);
}

bool WindowPlacement::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &window_) {
        switch (event->type()) {
        case QEvent::WindowStateChange:
            OnStateChange();
            break;
        case QEvent::Resize:
            OnResize();
            break;
        case QEvent::Move:
            CheckPlaceReported();
            break;
        case QEvent::Show:
            // The first layout ran before the window had a frame; once shown,
            // the window system may report one, and the outer size can then be exact.
            if (!shownOnce_) {
                shownOnce_ = true;
                QMetaObject::invokeMethod(this, [this] { relayout_(); }, Qt::QueuedConnection);
            }
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void WindowPlacement::OnStateChange()
{
    // The maximise button never maximises: it moves on to the next view.
    // The platform may report a state again after we changed it back (an
    // echo of the request); acting only if the window is still maximised
    // when the queued step runs makes one request one step.
    if (!(window_.windowState() & Qt::WindowMaximized) || viewCyclePending_)
        return;
    viewCyclePending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            viewCyclePending_ = false;
            if (!(window_.windowState() & Qt::WindowMaximized))
                return;
            // The window manager moved the window to maximise it: it goes
            // back where the user had it, and the next view grows from there.
            const QRect normal = window_.normalGeometry();
            window_.setWindowState(window_.windowState() & ~Qt::WindowMaximized);
            if (normal.isValid())
                window_.setGeometry(normal);
            nextView_();
        },
        Qt::QueuedConnection);
}

void WindowPlacement::OnResize()
{
    CheckPlaceReported();
    // A size the layout did not choose (a window manager's resize) is undone.
    if (IsNormal() && laidOutSize_.isValid() && window_.size() != laidOutSize_ && !sizeRestorePending_) {
        sizeRestorePending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                sizeRestorePending_ = false;
                if (IsNormal() && window_.size() != laidOutSize_)
                    window_.resize(laidOutSize_);
            },
            Qt::QueuedConnection);
    }
}

bool WindowPlacement::IsNormal() const
{
    return !(window_.windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen));
}

void WindowPlacement::CheckPlaceReported()
{
    if (IsNormal() && !placeCheckUntil_.hasExpired() && window_.size() == laidOutSize_)
        KeepOnScreen(window_.frameGeometry().size());
}

QMargins WindowPlacement::FrameMargins() const
{
    const QRect outer = window_.frameGeometry();
    const QRect inner = window_.geometry();
    const QMargins margins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                           outer.bottom() - inner.bottom());
    return margins.isNull() ? kNominalFrame : margins;
}

void WindowPlacement::KeepOnScreen(const QSize& outerSize)
{
    if (!window_.isVisible())
        return;
    QScreen* current = window_.screen();
    if (!current)
        return;
    const QRect available = current->availableGeometry();
    // The size just asked for, not the one the window system reports yet:
    // a window that grows must be moved by its new size.
    const QRect frame(window_.frameGeometry().topLeft(), outerSize);
    QPoint topLeft = frame.topLeft();
    if (frame.right() > available.right())
        topLeft.rx() -= frame.right() - available.right();
    if (frame.bottom() > available.bottom())
        topLeft.ry() -= frame.bottom() - available.bottom();
    topLeft.rx() = std::max(topLeft.x(), available.left());
    topLeft.ry() = std::max(topLeft.y(), available.top());
    if (topLeft != frame.topLeft())
        window_.move(topLeft);
}

} // namespace vistrel
