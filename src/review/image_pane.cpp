// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/image_pane.h"

#include <QPainter>

namespace vistrel {

ImagePane::ImagePane(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ImagePane::SetImage(QImage image, QString message)
{
    image_ = std::move(image);
    message_ = std::move(message);
    if (!fitted_ && !image_.isNull() && size() != image_.size())
        resize(image_.size());
    update();
}

void ImagePane::SetFitted(bool fitted)
{
    fitted_ = fitted;
    if (!fitted_ && !image_.isNull())
        resize(image_.size());
    update();
}

void ImagePane::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (image_.isNull()) {
        painter.setPen(Qt::lightGray);
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, message_);
        return;
    }
    if (!fitted_) {
        painter.drawImage(0, 0, image_);
        return;
    }
    const QSize scaled = image_.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - scaled.width()) / 2, (height() - scaled.height()) / 2), scaled);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image_);
}

} // namespace vistrel
