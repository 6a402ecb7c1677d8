// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/picture_box.h"

#include "pipeline/jpeg.h"

#include <libyuv.h>

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>

namespace vistrel {

namespace {

constexpr QColor kNoPicture(64, 64, 64);
constexpr QColor kMotionBox(255, 0, 0);
constexpr int kGrid = 10; // motion blocks form a 10 x 10 grid, column-major

} // namespace

QImage StoredRowsImage(const Frame& frame)
{
    const BITMAPINFOHEADER& bmi = frame.header.bmi;
    if (bmi.biCompression != 0 || bmi.biWidth <= 0 || bmi.biHeight <= 0)
        return {};
    QImage::Format format;
    switch (bmi.biBitCount) {
    case 8:
        format = QImage::Format_Grayscale8;
        break;
    case 16:
        format = QImage::Format_RGB555;
        break;
    case 24:
        format = QImage::Format_BGR888;
        break;
    case 32:
        format = QImage::Format_RGB32;
        break;
    default:
        return {};
    }
    const qsizetype stride = qsizetype(bmi.biWidth) * (bmi.biBitCount / 8);
    if (frame.size() < size_t(stride) * size_t(bmi.biHeight))
        return {};
    return QImage(frame.data(), bmi.biWidth, bmi.biHeight, stride, format);
}

QImage UprightScreenImage(const Frame& frame)
{
    const QImage stored = StoredRowsImage(frame);
    if (stored.isNull())
        return {};
    if (stored.format() == QImage::Format_BGR888) {
        // Every capture format but the 8, 16 and 32-bit ones arrives this way:
        // one SIMD pass turns it upright (a negative height reads the rows
        // from the last up) and opaque.
        QImage upright(stored.size(), QImage::Format_RGB32);
        libyuv::RGB24ToARGB(stored.constBits(), int(stored.bytesPerLine()), upright.bits(),
            int(upright.bytesPerLine()), stored.width(), -stored.height());
        return upright;
    }
    return stored.mirrored(false, true).convertToFormat(QImage::Format_RGB32);
}

CPictureBoxEx::CPictureBoxEx(QWidget* parent)
    : QFrame(parent)
{
    // Every paint covers the whole pane.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CPictureBoxEx::~CPictureBoxEx() = default;

void CPictureBoxEx::SetImage(std::unique_ptr<Frame> frame, bool repaint)
{
    if (!frame || frame->size() == 0)
        return;
    // A shown pane gets the picture it will paint made here, while the frame
    // is in this thread's caches; a hidden one costs nothing.
    QImage screen = shown_ ? UprightScreenImage(*frame) : QImage();
    std::shared_ptr<const Frame> previous;
    std::shared_ptr<const Encoded> previousEncoded;
    {
        std::lock_guard lock(imageMutex_);
        previous = std::exchange(image_, std::shared_ptr<const Frame>(std::move(frame)));
        std::swap(screenImage_, screen);
        previousEncoded = std::move(encoded_);
    }
    // Both are freed here, outside the lock, unless a paint or a save still holds them.
    if (repaint)
        requestUpdate();
}

void CPictureBoxEx::SetHasPicture(bool hasPicture)
{
    // Only a pane that loses its picture needs painting grey; the multiplexer
    // clears the panes it skips at every step.
    if (hasPicture_.exchange(hasPicture) && !hasPicture)
        requestUpdate();
}

void CPictureBoxEx::SetMotionBlocks(std::vector<uint32_t> blocks)
{
    std::lock_guard lock(imageMutex_);
    blocks_ = std::move(blocks);
}

void CPictureBoxEx::SetOverlaySettings(const OverlaySettings& settings)
{
    std::lock_guard lock(overlayMutex_);
    overlay_.setSettings(settings);
}

OverlaySettings CPictureBoxEx::overlaySettings() const
{
    std::lock_guard lock(overlayMutex_);
    return overlay_.settings();
}

void CPictureBoxEx::DrawOverlay(Frame& frame)
{
    DrawOverlay(frame, std::time(nullptr));
}

void CPictureBoxEx::DrawOverlay(Frame& frame, std::time_t now)
{
    std::lock_guard lock(overlayMutex_);
    overlay_.draw(frame, now);
}

std::shared_ptr<const CPictureBoxEx::Encoded> CPictureBoxEx::Encode(int quality, bool encode)
{
    std::shared_ptr<const Frame> current;
    std::shared_ptr<const Encoded> kept;
    {
        std::lock_guard lock(imageMutex_);
        current = image_;
        kept = encoded_;
    }
    if (!current)
        return nullptr;
    if (kept && kept->image == current && kept->quality == quality)
        return kept;
    if (!encode)
        return nullptr;

    // The frame is never changed once handed over, so encoding it needs
    // only a reference, not the lock.
    auto fresh = std::make_shared<Encoded>();
    fresh->image = current;
    fresh->quality = quality;
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    if (!EncodeJpeg(*current, quality, *bytes))
        return nullptr;
    fresh->bytes = std::move(bytes);
    ++encodeCount_;
    {
        std::lock_guard lock(imageMutex_);
        // Kept only if no newer image arrived while encoding.
        if (image_ == current)
            encoded_ = fresh;
    }
    return fresh;
}

FileStatus CPictureBoxEx::SaveJpeg(const std::string& path, int quality)
{
    const std::shared_ptr<const Encoded> kept = Encode(quality, true);
    if (!kept)
        return FileStatus::NothingToWrite();
    // A failed write keeps the bytes: the next save of this image may succeed.
    return WriteFileAtomically(path, kept->bytes->data(), kept->bytes->size());
}

std::shared_ptr<const std::vector<uint8_t>> CPictureBoxEx::Jpeg(int quality, bool encode)
{
    const std::shared_ptr<const Encoded> kept = Encode(quality, encode);
    return kept ? kept->bytes : nullptr;
}

std::shared_ptr<const Frame> CPictureBoxEx::image() const
{
    std::lock_guard lock(imageMutex_);
    return image_;
}

void CPictureBoxEx::requestUpdate()
{
    if (updateQueued_.exchange(true))
        return;
    QMetaObject::invokeMethod(this, [this] {
        updateQueued_ = false;
        update();
    }, Qt::QueuedConnection);
}

void CPictureBoxEx::paintEvent(QPaintEvent*)
{
    ++paintCount_;
    std::shared_ptr<const Frame> current;
    QImage screen;
    std::vector<uint32_t> blocks;
    const bool hasPicture = hasPicture_;
    if (hasPicture) {
        std::lock_guard lock(imageMutex_);
        current = image_;
        screen = screenImage_;
        blocks = blocks_;
    }
    // Painted, so on the screen: the next frames' screen pictures are made
    // as they arrive, until the pane is hidden (minimising hides it too).
    shown_ = true;
    if (current != shownFrame_) {
        shownImage_ = !screen.isNull() ? std::move(screen) : current ? UprightScreenImage(*current) : QImage();
        shownFrame_ = current;
    }
    const QImage& view = shownImage_;

    QPainter painter(this);
    drawFrame(&painter);
    // The client area lies inside the frame: a pane one pixel larger on each
    // side than the picture shows it 1:1 within its border.
    const QRect client = contentsRect();
    if (view.isNull()) {
        painter.fillRect(client, kNoPicture);
        return;
    }

    // Stretched over the whole pane without smoothing; a plain copy when the
    // pane fits the picture.
    painter.drawImage(client, view);

    const int cellWidth = client.width() / kGrid;
    const int cellHeight = client.height() / kGrid;
    if (cellWidth < 1 || cellHeight < 1)
        return;
    painter.setPen(kMotionBox);
    painter.setBrush(Qt::NoBrush);
    for (const uint32_t block : blocks) {
        // -1 marks an unused entry; anything else outside the grid cannot
        // come from a measurement and is skipped too.
        if (block >= uint32_t(kGrid * kGrid))
            continue;
        const int x = client.left() + cellWidth * int(block / kGrid);
        const int y = client.top() + cellHeight * int(block % kGrid);
        // A Qt outline of w x h covers w + 1 x h + 1 pixels.
        painter.drawRect(x, y, cellWidth - 1, cellHeight - 1);
        if (cellWidth > 2 && cellHeight > 2)
            painter.drawRect(x + 1, y + 1, cellWidth - 3, cellHeight - 3);
    }
}

void CPictureBoxEx::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    shown_ = false;
}

void CPictureBoxEx::mouseDoubleClickEvent(QMouseEvent* event)
{
    QFrame::mouseDoubleClickEvent(event);
    Q_EMIT doubleClicked(event->modifiers());
}

} // namespace vistrel
