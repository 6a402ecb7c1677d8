// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/capture_preview.h"

#include "capture/capture_backend.h"

#include <QPainter>

#include <algorithm>

namespace vistrel {

namespace {

QImage::Format ImageFormat(int bitCount)
{
    switch (bitCount) {
    case 8: return QImage::Format_Grayscale8;
    case 16: return QImage::Format_RGB555;
    case 24: return QImage::Format_BGR888;
    case 32: return QImage::Format_RGB32;
    default: return QImage::Format_Invalid;
    }
}

} // namespace

CapturePreview::CapturePreview(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &CapturePreview::Poll);
}

CapturePreview::~CapturePreview() = default;

void CapturePreview::Attach(std::shared_ptr<ICaptureDevice> device)
{
    Detach();
    device_ = std::move(device);
    if (device_)
        timer_.setInterval(std::max(1, device_->FrameIntervalMs()));
    UpdateTimer();
}

void CapturePreview::Detach()
{
    device_.reset();
    image_ = QImage();
    frame_.reset();
    shownSequence_ = 0;
    UpdateTimer();
    update();
}

void CapturePreview::UpdateTimer()
{
    if (device_ && isVisible())
        timer_.start();
    else
        timer_.stop();
}

void CapturePreview::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    UpdateTimer();
}

void CapturePreview::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    UpdateTimer();
}

void CapturePreview::Poll()
{
    if (!device_ || !isVisible())
        return;
    if (device_->Lost()) {
        if (!image_.isNull()) {
            image_ = QImage();
            frame_.reset();
            update();
        }
        return;
    }
    const uint64_t sequence = device_->FrameSequence();
    if (sequence == shownSequence_)
        return;
    std::unique_ptr<Frame> frame = device_->PreviewFrame();
    if (!frame)
        return;
    ++framesFetched_;
    shownSequence_ = sequence;
    const QImage::Format format = ImageFormat(frame->bitCount());
    const int width = frame->width();
    const int height = frame->height();
    const qsizetype stride = qsizetype(width) * (frame->bitCount() / 8);
    if (format == QImage::Format_Invalid || width < 1 || height < 1 || frame->size() < size_t(stride) * size_t(height))
        return;
    // The image reads the frame's pixels in place; both are replaced together.
    image_ = QImage();
    frame_ = std::move(frame);
    image_ = QImage(frame_->data(), width, height, stride, format);
    update();
}

void CapturePreview::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (image_.isNull())
        return;
    // Frames are stored bottom-up: draw them mirrored vertically.
    painter.translate(0, height());
    painter.scale(1, -1);
    painter.drawImage(QRect(0, 0, width(), height()), image_);
}

} // namespace vistrel
