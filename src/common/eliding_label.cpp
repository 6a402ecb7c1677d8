#include "common/eliding_label.h"

#include <QPainter>
#include <QStyle>

namespace vistrel {

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
    return fontMetrics().elidedText(text(), Qt::ElideRight, textArea().width());
}

void CElidingLabel::paintEvent(QPaintEvent* event)
{
    const QRect area = textArea();
    if (fontMetrics().horizontalAdvance(text()) <= area.width()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, area, int(alignment()) | Qt::TextSingleLine, palette(), isEnabled(),
                          shownText(), foregroundRole());
}

} // namespace vistrel
