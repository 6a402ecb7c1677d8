// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/timeline_widget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace vistrel {

namespace {

constexpr int kAxisHeight = 18;
const QColor kOutside(30, 30, 34);    // before the first image, after the last
const QColor kInside(52, 52, 60);     // within the archive: a gap shows as this
const QColor kImages(80, 150, 230);   // columns with images
const QColor kSelection(255, 210, 60, 70);
const QColor kCursor(230, 40, 40);
const QColor kTickText(210, 210, 210);
const QColor kTickLine(255, 255, 255, 40);
const QColor kMotionMark(255, 170, 0);
const QColor kLostBand(170, 90, 220, 90);
const QColor kFaultBand(230, 40, 40, 90);
constexpr int kMarkHeight = 6;

} // namespace

TimelineWidget::TimelineWidget(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    setMouseTracking(false);
}

void TimelineWidget::SetIndex(std::shared_ptr<const ArchiveIndex> index)
{
    index_ = std::move(index);
    update();
}

void TimelineWidget::SetView(const TimelineView& view)
{
    view_ = view;
    update();
}

void TimelineWidget::SetCursorTime(std::optional<int64_t> ms)
{
    if (cursorMs_ == ms)
        return;
    cursorMs_ = ms;
    update();
}

void TimelineWidget::SetSelection(std::optional<std::pair<int64_t, int64_t>> range)
{
    selection_ = range;
    update();
}

void TimelineWidget::SetEvents(std::vector<Event> events, int64_t nowS)
{
    events_ = std::move(events);
    nowS_ = nowS;
    update();
}

void TimelineWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int w = width();
    const int h = height();
    painter.fillRect(rect(), kOutside);
    const QRect bars(0, kAxisHeight, w, h - kAxisHeight);

    if (index_ && !index_->empty()) {
        const double first = view_.ToX(index_->TimeMs(0), w);
        const double last = view_.ToX(index_->TimeMs(index_->size() - 1), w) + 1;
        painter.fillRect(QRectF(first, bars.top(), last - first, bars.height()).intersected(QRectF(bars)), kInside);
        const std::vector<uint32_t> counts = ColumnCounts(*index_, view_, w);
        const uint32_t most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
        for (int c = 0; c < w && most > 0; ++c) {
            if (counts[size_t(c)] == 0)
                continue;
            // A square root keeps a lone image visible next to a dense event.
            const int barHeight = std::max(
                2, int(std::lround((bars.height() - 2) * std::sqrt(double(counts[size_t(c)]) / double(most)))));
            painter.fillRect(c, h - barHeight, 1, barHeight, kImages);
        }
    }

    eventRects_.clear();
    for (const Event& event : events_) {
        const double from = std::clamp(view_.ToX(event.start * 1000, w), -1.0, w + 1.0);
        const double to = std::clamp(view_.ToX((event.end.value_or(nowS_) + 1) * 1000, w), -1.0, w + 1.0);
        const bool mark = event.type == EventType::Motion;
        // A mark stays visible however short the event, and however far out the view.
        const QRect where = QRectF(from, bars.top(), std::max(2.0, to - from), mark ? kMarkHeight : bars.height())
                                .toAlignedRect();
        eventRects_.push_back(where);
        if (where.right() < 0 || where.left() > w)
            continue;
        const QColor colour = mark ? kMotionMark : event.type == EventType::CameraLost ? kLostBand : kFaultBand;
        painter.fillRect(where, colour);
    }

    if (selection_) {
        const double from = std::clamp(view_.ToX(selection_->first, w), -1.0, w + 1.0);
        const double to = std::clamp(view_.ToX(selection_->second, w), -1.0, w + 1.0);
        painter.fillRect(QRectF(from, 0, std::max(1.0, to - from), h), kSelection);
    }

    painter.setFont(font());
    for (const TimelineTick& tick : TimelineTicks(view_, w, fontMetrics().horizontalAdvance("Mon 00 Dec 0000") + 12)) {
        const int x = int(std::lround(view_.ToX(tick.seconds * 1000, w)));
        painter.setPen(kTickLine);
        painter.drawLine(x, kAxisHeight, x, h);
        painter.setPen(kTickText);
        painter.drawLine(x, tick.major ? 0 : kAxisHeight / 2, x, kAxisHeight);
        QFont labelFont = font();
        labelFont.setBold(tick.major);
        painter.setFont(labelFont);
        painter.drawText(x + 3, kAxisHeight - 5, QString::fromStdString(tick.label));
    }

    if (cursorMs_) {
        const int x = int(std::floor(view_.ToX(*cursorMs_, w)));
        painter.fillRect(x - 1, 0, 2, h, kCursor);
    }
}

void TimelineWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const int64_t ms = MsAt(event->position().x());
    if (event->modifiers() & Qt::ShiftModifier) {
        selectingFromMs_ = ms;
        Q_EMIT selectionRequested(ms, ms);
    } else {
        scrubbing_ = true;
        Q_EMIT cursorRequested(ms);
    }
}

void TimelineWidget::mouseMoveEvent(QMouseEvent* event)
{
    const int64_t ms = MsAt(std::clamp<double>(event->position().x(), 0, width()));
    if (selectingFromMs_)
        Q_EMIT selectionRequested(std::min(*selectingFromMs_, ms), std::max(*selectingFromMs_, ms));
    else if (scrubbing_)
        Q_EMIT cursorRequested(ms);
}

void TimelineWidget::mouseReleaseEvent(QMouseEvent* event)
{
    mouseMoveEvent(event);
    selectingFromMs_.reset();
    scrubbing_ = false;
}

void TimelineWidget::wheelEvent(QWheelEvent* event)
{
    const QPoint delta = event->angleDelta();
    if (delta.x() != 0 || (event->modifiers() & Qt::ShiftModifier)) {
        // Sideways (or Shift and the wheel): along the axis, a tenth of the view per step.
        const int steps = delta.x() != 0 ? delta.x() : delta.y();
        TimelineView moved = view_;
        moved.startMs -= int64_t(double(view_.spanMs) * 0.1 * steps / 120.0);
        Q_EMIT viewRequested(moved);
    } else if (delta.y() != 0) {
        const double factor = std::pow(0.8, delta.y() / 120.0);
        Q_EMIT viewRequested(view_.Zoomed(factor, MsAt(event->position().x())));
    }
    event->accept();
}

} // namespace vistrel
