// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDeadlineTimer>
#include <QMargins>
#include <QObject>
#include <QSize>

#include <functional>

class QMainWindow;
class QRect;

namespace vistrel {

// Where the main window is and how large: each layout fixes the window's
// size (a size the layout did not choose is undone), the window is kept on
// its screen as it grows and as the window system reports its place, and
// the maximise request never maximises the window but asks for the next
// view. Watches the window's events; lives on the user-interface thread
// with the window, which alone calls it.
class WindowPlacement : public QObject {
    Q_OBJECT
public:
    // `nextView` answers a maximise request; `relayout` runs once the window
    // is first shown, when the window system may report its frame. Both are
    // called later, from the event loop.
    WindowPlacement(QMainWindow& window, std::function<void()> nextView, std::function<void()> relayout);

    // Fixes the window to a layout: `outerSize` is the layout's window size,
    // frame and menu bar included; `controlsExtent` the area its controls
    // cover, in client coordinates, which the client keeps whatever the frame.
    void FitToLayout(const QSize& outerSize, const QRect& controlsExtent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnStateChange();
    void OnResize();
    // Moves the window so that a frame of `outerSize` at its place lies on its screen.
    void KeepOnScreen(const QSize& outerSize);
    // Shortly after a layout, keeps the place the window system reports on the screen.
    void CheckPlaceReported();
    QMargins FrameMargins() const;
    bool IsNormal() const;

    QMainWindow& window_;
    std::function<void()> nextView_;
    std::function<void()> relayout_;
    QSize laidOutSize_; // the window's size as the last layout set it
    QDeadlineTimer placeCheckUntil_{0}; // until then reported places are kept on the screen
    bool sizeRestorePending_ = false;
    bool viewCyclePending_ = false;
    bool shownOnce_ = false;
};

} // namespace vistrel
