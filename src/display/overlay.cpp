// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/overlay.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <array>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <time.h>

namespace vistrel {

namespace {

// The time texts in the formats of the C runtime's default ("C") locale,
// not the desktop's, which QApplication installs: many locales have no AM/PM
// designator, and 3 AM and 3 PM would then be stamped alike.
locale_t timeLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return c ? c : LC_GLOBAL_LOCALE;
}

std::string formatTime(const std::tm& local, const char* format)
{
    char buffer[128];
    const size_t length = strftime_l(buffer, sizeof buffer, format, &local, timeLocale());
    return std::string(buffer, length);
}

void replaceAll(std::string& text, const std::string& token, const std::string& value)
{
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

struct Pass {
    QPoint offset;
    bool background; // drawn in the background colour, else in the text colour
};

bool validFrame(const Frame& frame)
{
    const BITMAPINFOHEADER& bmi = frame.header.bmi;
    const int bits = bmi.biBitCount;
    if (bmi.biCompression != 0 || bmi.biWidth <= 0 || bmi.biHeight <= 0)
        return false;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return false;
    return frame.size() >= size_t(bmi.biWidth) * size_t(bmi.biHeight) * size_t(bits / 8);
}

} // namespace

std::string ExpandOverlayText(const std::string& text, std::time_t now)
{
    std::string time = kInvalidDateTime;
    std::string date = kInvalidDateTime;
    std::string weekday = kInvalidDateTime;
    std::tm local {};
    if (localtime_r(&now, &local)) {
        time = formatTime(local, "%I:%M:%S%p");
        date = formatTime(local, "%x");
        weekday = formatTime(local, "%A");
    }
    std::string expanded = text;
    replaceAll(expanded, "%t", time);
    replaceAll(expanded, "%d", date);
    replaceAll(expanded, "%w", weekday);
    return expanded;
}

int AlignHorizontal(const std::string& horz, int width, int cx)
{
    if (horz == "CENTER")
        return (width - cx) / 2;
    if (horz == "RIGHT")
        return width - cx;
    return 0;
}

int AlignVertical(const std::string& vert, int height, int cy)
{
    if (vert == "CENTER")
        return (height - cy) / 2;
    if (vert == "BOTTOM")
        return height - cy;
    return 0;
}

void OverlayRenderer::setSettings(const OverlaySettings& settings)
{
    settings_ = settings;
    font_ = ToQFont(settings.font);
    layout_ = {};
}

const OverlayRenderer::Layout& OverlayRenderer::LayoutFor(const QString& text) const
{
    if (text != layout_.text || layout_.text.isNull()) {
        const QFontMetrics metrics(font_);
        layout_.text = text;
        layout_.advance = metrics.horizontalAdvance(text);
        layout_.ink = metrics.boundingRect(text);
        layout_.shaped = QStaticText(text);
        layout_.shaped.setTextFormat(Qt::PlainText);
        layout_.shaped.setPerformanceHint(QStaticText::AggressiveCaching);
        layout_.shaped.prepare(QTransform(), font_);
    }
    return layout_;
}

void OverlayRenderer::draw(Frame& frame, std::time_t now) const
{
    if (!settings_.enabled || !validFrame(frame))
        return;
    const QString text = QString::fromLocal8Bit(ExpandOverlayText(settings_.text, now));
    if (text.isEmpty())
        return;

    const int width = frame.width();
    const int height = frame.height();
    const QFontMetrics metrics(font_);
    const Layout& layout = LayoutFor(text);
    const QRect box(AlignHorizontal(settings_.horz, width, layout.advance),
        AlignVertical(settings_.vert, height, metrics.height()), layout.advance, metrics.height());
    // Glyphs may reach past their advance (italics, "f", "j"): the pixels
    // touched cover their ink too, so only the picture's edge clips them.
    const QPoint baseline = box.topLeft() + QPoint(0, metrics.ascent());
    const QRect ink = box | layout.ink.translated(baseline);

    // Shadow and Outline draw their passes with a transparent background and
    // leave it so, hence the main pass then has no box either. Solid, and any
    // value outside the list, keeps the opaque default.
    const int effect = settings_.effect;
    std::array<Pass, 5> passes;
    size_t count = 0;
    if (effect == 2 || effect == 3) {
        passes[count++] = { { 0, 1 }, true };
        passes[count++] = { { 1, 0 }, true };
    }
    if (effect == 3) {
        passes[count++] = { { 0, -1 }, true };
        passes[count++] = { { -1, 0 }, true };
    }
    passes[count++] = { { 0, 0 }, false };
    const bool opaque = effect != 1 && effect != 2 && effect != 3;

    QRect dirty;
    for (size_t i = 0; i < count; ++i)
        dirty |= ink.translated(passes[i].offset);
    dirty &= QRect(0, 0, width, height);
    if (dirty.isEmpty())
        return;

    const QColor textColour = ToQColor(settings_.textColor);
    const QColor backColour = ToQColor(settings_.backgroundColor);
    const auto paint = [&](QPainter& painter) {
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setClipRect(dirty);
        painter.setFont(font_);
        if (opaque)
            painter.fillRect(box, backColour);
        for (size_t i = 0; i < count; ++i) {
            painter.setPen(passes[i].background ? backColour : textColour);
            painter.drawStaticText(box.topLeft() + passes[i].offset, layout.shaped);
        }
    };

    // The text is drawn upright on a patch of the text's pixels only, copied out
    // of the bottom-up rows and back: a mirrored painter straight on the
    // frame would make Qt rasterise the glyphs as transformed outlines, which
    // look bolder than its ordinary glyphs. Grey frames are painted through a
    // colour patch, as Qt cannot paint on them; (i, i, i) comes back as i.
    const int bytesPerPixel = frame.bitCount() / 8;
    const size_t stride = size_t(width) * size_t(bytesPerPixel);
    const size_t patchRowBytes = size_t(dirty.width()) * size_t(bytesPerPixel);
    const auto frameRow = [&](int y) {
        return frame.data() + size_t(height - 1 - (dirty.top() + y)) * stride + size_t(dirty.left()) * size_t(bytesPerPixel);
    };
    const QImage::Format format = bytesPerPixel == 1 ? QImage::Format_RGB32
        : bytesPerPixel == 2                         ? QImage::Format_RGB555
        : bytesPerPixel == 3                         ? QImage::Format_BGR888
                                                     : QImage::Format_RGB32;
    QImage patch(dirty.size(), format);
    if (patch.isNull())
        return;
    for (int y = 0; y < dirty.height(); ++y) {
        const uint8_t* in = frameRow(y);
        if (bytesPerPixel == 1) {
            auto* out = reinterpret_cast<QRgb*>(patch.scanLine(y));
            for (int x = 0; x < dirty.width(); ++x)
                out[x] = qRgb(in[x], in[x], in[x]);
        } else {
            std::memcpy(patch.scanLine(y), in, patchRowBytes);
        }
    }
    {
        QPainter painter(&patch);
        painter.translate(-dirty.topLeft());
        paint(painter);
    }
    for (int y = 0; y < dirty.height(); ++y) {
        uint8_t* out = frameRow(y);
        if (bytesPerPixel == 1) {
            const auto* in = reinterpret_cast<const QRgb*>(patch.constScanLine(y));
            for (int x = 0; x < dirty.width(); ++x)
                out[x] = uint8_t(qGray(in[x]));
        } else {
            std::memcpy(out, patch.constScanLine(y), patchRowBytes);
        }
    }
}

} // namespace vistrel
