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

QRect CElidingLabel::textArea() const
{
    const int m = margin();
    return contentsRect().adjusted(m, m, -m, -m);
}

QString CElidingLabel::shownText() const
{
    return shown_.fit(fontMetrics(), font(), text(), textArea().width());
}

void CElidingLabel::paintEvent(QPaintEvent* event)
{
    const QRect area = textArea();
    const QString& shown = shown_.fit(fontMetrics(), font(), text(), area.width());
    if (shown == text()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, area, int(alignment()) | Qt::TextSingleLine, palette(), isEnabled(), shown,
                          foregroundRole());
}

} // namespace vistrel
