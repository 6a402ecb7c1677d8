// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "review/archive_index.h"
#include "review/timeline.h"

#include <QWidget>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace vistrel {

// The time axis of one camera's archive: images per pixel column (a blank
// column is a gap: nothing saved then), round local times, the selected
// range and the cursor. A click or drag asks for the cursor, Shift with a
// click or drag selects a range, the wheel zooms around the mouse. Lives on
// the user-interface thread, as part of the review window. The camera's
// events lie over the images: motion as marks along the top, a lost camera
// and recording faults as coloured bands.
class TimelineWidget : public QWidget {
    Q_OBJECT
public:
    explicit TimelineWidget(QWidget* parent = nullptr);

    void SetIndex(std::shared_ptr<const ArchiveIndex> index);
    void SetView(const TimelineView& view);
    const TimelineView& view() const { return view_; }
    void SetCursorTime(std::optional<int64_t> ms);
    void SetSelection(std::optional<std::pair<int64_t, int64_t>> range);
    // Events still open are drawn up to `nowS`.
    void SetEvents(std::vector<Event> events, int64_t nowS);
    // Where the events were drawn at the last paint, for tests: one rectangle
    // each, in the order given.
    const std::vector<QRect>& eventRects() const { return eventRects_; }

    QSize sizeHint() const override { return {800, 96}; }
    QSize minimumSizeHint() const override { return {200, 72}; }

Q_SIGNALS:
    void cursorRequested(int64_t ms);
    void selectionRequested(int64_t fromMs, int64_t toMs);
    void viewRequested(const vistrel::TimelineView& view);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    int64_t MsAt(double x) const { return view_.ToMs(x, width()); }

    std::shared_ptr<const ArchiveIndex> index_;
    TimelineView view_;
    std::optional<int64_t> cursorMs_;
    std::optional<std::pair<int64_t, int64_t>> selection_;
    std::vector<Event> events_;
    int64_t nowS_ = 0;
    std::vector<QRect> eventRects_;
    std::optional<int64_t> selectingFromMs_; // while Shift-dragging
    bool scrubbing_ = false;
};

} // namespace vistrel
