// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/eliding_label.h"

#include <QPainter>
#include <QStyle>

namespace vistrel {

const QString& ElidedText::fit(const QFontMetrics& metrics, const QFont& font, const QString& text, int width)
{
    if (width != width_ || text != text_ || font != font_) {
        text_ = text;
        font_ = font;
        width_ = width;
        shown_ = metrics.elidedText(text, Qt::ElideRight, width);
    }
    return shown_;
}

CElidingLabel::CElidingLabel(QWidget* parent)
    : QLabel(parent)
{
    setProperty(kElidesTextProperty, true);
}

// Where QLabel puts its text: inside the margin, and a framed label with the
// default indent keeps half an 'x' from the edges it is aligned to.
QRect CElidingLabel::textArea() const
{
    const int m = margin();
    QRect area = contentsRect().adjusted(m, m, -m, -m);
    int extra = indent();
    if (extra < 0 && frameWidth() > 0)
        extra = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - m;
    if (extra > 0) {
        const Qt::Alignment align = QStyle::visualAlignment(layoutDirection(), alignment());
        if (align & Qt::AlignLeft)
            area.setLeft(area.left() + extra);
        if (align & Qt::AlignRight)
            area.setRight(area.right() - extra);
        if (align & Qt::AlignTop)
            area.setTop(area.top() + extra);
        if (align & Qt::AlignBottom)
            area.setBottom(area.bottom() - extra);
    }
    return area;
}

QString CElidingLabel::shownText() const
{
    return shown_.fit(fontMetrics(), font(), text(), textArea().width());
}

void CElidingLabel::paintEvent(QPaintEvent* event)
{
    const QRect area = textArea();
    const QString& shown = shown_.fit(fontMetrics(), font(), text(), area.width());
    if (shown == text() && alignment() != Qt::AlignCenter) {
        QLabel::paintEvent(event);
        return;
    }
    if (shown != shapedText_ || font() != shapedFont_) {
        shapedText_ = shown;
        shapedFont_ = font();
        shaped_ = QStaticText(shown);
        shaped_.setTextFormat(Qt::PlainText);
        shaped_.prepare(QTransform(), shapedFont_);
    }
    // Placed as the style places one line of text by the alignment.
    const QSizeF size = shaped_.size();
    const Qt::Alignment align = QStyle::visualAlignment(layoutDirection(), alignment());
    qreal x = area.x();
    if (align & Qt::AlignHCenter)
        x += (area.width() - size.width()) / 2;
    else if (align & Qt::AlignRight)
        x += area.width() - size.width();
    qreal y = area.y();
    if (align & Qt::AlignVCenter)
        y += (area.height() - size.height()) / 2;
    else if (align & Qt::AlignBottom)
        y += area.height() - size.height();

    QPainter painter(this);
    drawFrame(&painter);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    painter.drawStaticText(QPointF(x, y), shaped_);
}

} // namespace vistrel
