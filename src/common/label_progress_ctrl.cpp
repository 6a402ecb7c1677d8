// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/label_progress_ctrl.h"

#include "common/eliding_label.h"
#include "common/logfont.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace vistrel {

namespace {

// Truncates toward zero and saturates, so absurd positions cannot overflow.
int truncateToInt(double value)
{
    if (std::isnan(value))
        return 0;
    constexpr double lo = std::numeric_limits<int>::min();
    constexpr double hi = std::numeric_limits<int>::max();
    return int(std::clamp(std::trunc(value), lo, hi));
}

} // namespace

CLabelProgressCtrl::CLabelProgressCtrl(QWidget* parent)
    : QWidget(parent)
{
    setProperty(kElidesTextProperty, true);
}

void CLabelProgressCtrl::SetRange(uint16_t lower, uint16_t upper)
{
    SetRange32(lower, upper);
}

void CLabelProgressCtrl::SetRange32(int lower, int upper)
{
    lower_ = lower;
    upper_ = upper;
}

int CLabelProgressCtrl::GetRange(bool wantLower, Range* range) const
{
    if (range) {
        range->iLow = lower_;
        range->iHigh = upper_;
    }
    return wantLower ? lower_ : upper_;
}

void CLabelProgressCtrl::GetRange(int& lower, int& upper) const
{
    lower = lower_;
    upper = upper_;
}

int CLabelProgressCtrl::SetPos(int pos)
{
    const int old = pos_;
    pos_ = pos;
    // An empty range has no bar; without this the division gives inf or NaN.
    // A vertical bar is measured along its height, the way it grows.
    int length = 0;
    if (upper_ != lower_) {
        const double fraction = (double(pos_) - lower_) / (double(upper_) - lower_);
        const QRect client = clientRect();
        length = truncateToInt(fraction * (vertical_ ? client.height() : client.width()));
    }
    if (length != barLength_) {
        barLength_ = length;
        repaint();
    }
    return old;
}

int CLabelProgressCtrl::SetStep(int step)
{
    const int old = step_;
    step_ = step;
    return old;
}

uint32_t CLabelProgressCtrl::SetBarColour(uint32_t colour)
{
    invalidate();
    return std::exchange(barColour_, colour);
}

uint32_t CLabelProgressCtrl::SetBkColour(uint32_t colour)
{
    invalidate();
    return std::exchange(bkColour_, colour);
}

uint32_t CLabelProgressCtrl::SetTextColour(uint32_t colour)
{
    invalidate();
    return std::exchange(textColour_, colour);
}

void CLabelProgressCtrl::SetShowText(bool show)
{
    if (show != showText_)
        invalidate();
    showText_ = show;
}

void CLabelProgressCtrl::SetWindowText(const QString& text)
{
    // A null and an empty text compare equal, as an absent text counts as empty.
    if (text == text_)
        return;
    text_ = text;
    invalidate();
}

int CLabelProgressCtrl::GetWindowText(char* buffer, int bufferSize) const
{
    if (!buffer || bufferSize <= 0)
        return 0;
    const QByteArray utf8 = text_.toUtf8();
    const int count = std::min<int>(bufferSize - 1, int(utf8.size()));
    std::memcpy(buffer, utf8.constData(), size_t(count));
    buffer[count] = '\0';
    return count;
}

void CLabelProgressCtrl::SetStaticEdge(bool edge)
{
    if (edge == staticEdge_)
        return;
    staticEdge_ = edge;
    // The client area changes size, as on a resize.
    barLength_ = -1;
    invalidate();
}

void CLabelProgressCtrl::SetVertical(bool vertical)
{
    if (vertical == vertical_)
        return;
    vertical_ = vertical;
    barLength_ = -1; // measured along the other side from now on
    invalidate();
}

QRect CLabelProgressCtrl::clientRect() const
{
    return staticEdge_ ? rect().adjusted(1, 1, -1, -1) : rect();
}

void CLabelProgressCtrl::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    barLength_ = -1;
}

QColor CLabelProgressCtrl::resolve(uint32_t colour, QPalette::ColorRole role) const
{
    if (colour == kDefaultColour)
        return palette().color(role);
    return ToQColor(colour);
}

void CLabelProgressCtrl::paintEvent(QPaintEvent*)
{
    ++paintCount_;
    QPainter painter(this);

    if (staticEdge_) {
        const QRect r = rect();
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawLine(r.topLeft(), r.topRight());
        painter.drawLine(r.topLeft(), r.bottomLeft());
        painter.setPen(palette().color(QPalette::Light));
        painter.drawLine(r.bottomLeft(), r.bottomRight());
        painter.drawLine(r.topRight(), r.bottomRight());
    }

    if (lower_ >= upper_)
        return;

    // The platform's window colour is the text-area background, Qt's Base role.
    const QColor bar = resolve(barColour_, QPalette::Highlight);
    const QColor back = resolve(bkColour_, QPalette::Base);
    const double fraction = (double(pos_) - lower_) / (double(upper_) - lower_);

    const QRect client = clientRect();
    QRect barPart;
    QRect rest;
    if (vertical_) {
        const int length = std::clamp(truncateToInt(fraction * client.height()), 0, client.height());
        barPart = QRect(client.left(), client.bottom() + 1 - length, client.width(), length);
        rest = QRect(client.left(), client.top(), client.width(), client.height() - length);
    } else {
        const int length = std::clamp(truncateToInt(client.width() * fraction), 0, client.width());
        barPart = QRect(client.left(), client.top(), length, client.height());
        rest = QRect(client.left() + length, client.top(), client.width() - length, client.height());
    }
    painter.fillRect(barPart, bar);
    painter.fillRect(rest, back);

    if (!showText_ || vertical_)
        return;

    // Too long for the bar: cut at the end, not at both sides of the centre.
    const QStaticText& caption = ShapedCaption(
        text_.isEmpty() ? QStringLiteral("%1%").arg(truncateToInt(fraction * 100.0)) : text_, client.width());
    // Centred as a single line of text in the whole bar.
    const QSizeF size = caption.size();
    const QPointF at(client.x() + (client.width() - size.width()) / 2, client.y() + (client.height() - size.height()) / 2);
    const bool ownTextColour = textColour_ != kDefaultColour;
    const QColor textColour = resolve(textColour_, QPalette::Text);

    painter.setClipRect(barPart);
    painter.setPen(ownTextColour ? textColour : back);
    painter.drawStaticText(at, caption);
    painter.setClipRect(rest);
    painter.setPen(ownTextColour ? textColour : bar);
    painter.drawStaticText(at, caption);
}

const QStaticText& CLabelProgressCtrl::ShapedCaption(const QString& text, int width)
{
    if (text == caption_.text && width == caption_.width && font() == caption_.font)
        return caption_.shaped;
    caption_.text = text;
    caption_.width = width;
    caption_.font = font();
    caption_.shaped = QStaticText(text);
    caption_.shaped.setTextFormat(Qt::PlainText);
    caption_.shaped.prepare(QTransform(), caption_.font);
    // Too long for the bar: cut at the end, not at both sides of the centre.
    if (caption_.shaped.size().width() > width) {
        caption_.shaped.setText(QFontMetrics(caption_.font).elidedText(text, Qt::ElideRight, width));
        caption_.shaped.prepare(QTransform(), caption_.font);
    }
    return caption_.shaped;
}

} // namespace vistrel
