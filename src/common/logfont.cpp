// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/logfont.h"

#include <QFontMetrics>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vistrel {

LOGFONTA DefaultOverlayFont()
{
    LOGFONTA font;
    font.lfHeight = 13;
    font.lfWeight = 700;
    std::strncpy(font.lfFaceName, "Verdana", sizeof(font.lfFaceName) - 1);
    return font;
}

namespace {

// Records come from the store and may hold any height; glyphs beyond this
// would only cost memory, as no frame is that tall.
constexpr int kMaxPixelSize = 4096;

} // namespace

QFont ToQFont(const LOGFONTA& lf)
{
    // The face name is a byte string in the system code page (UTF-8 here),
    // not always terminated within its 32 bytes.
    const size_t faceBytes = strnlen(lf.lfFaceName, sizeof(lf.lfFaceName));
    QFont font(QString::fromUtf8(lf.lfFaceName, qsizetype(faceBytes)));
    font.setStyleStrategy(QFont::NoAntialias);

    // A negative height is the character height in pixels; a positive one
    // is the cell height, which also holds the internal leading. Zero picks
    // a default size, as on the platform the record comes from. Widened
    // first, as the smallest int32 has no positive counterpart.
    const int64_t height = lf.lfHeight;
    if (height < 0) {
        font.setPixelSize(int(std::min<int64_t>(-height, kMaxPixelSize)));
    } else if (height > 0) {
        const int cellHeight = int(std::min<int64_t>(height, kMaxPixelSize));
        font.setPixelSize(cellHeight);
        const int cell = QFontMetrics(font).height();
        if (cell > cellHeight)
            font.setPixelSize(std::max(1, int(std::lround(double(cellHeight) * cellHeight / cell))));
    } else {
        font.setPixelSize(16);
    }
    if (lf.lfWeight > 0)
        font.setWeight(QFont::Weight(std::clamp(int(lf.lfWeight), 1, 1000)));
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    return font;
}

LOGFONTA FromQFont(const QFont& font)
{
    LOGFONTA lf;
    if (font.pixelSize() > 0)
        lf.lfHeight = -font.pixelSize();
    else
        lf.lfHeight = -int(std::lround(font.pointSizeF() * 96.0 / 72.0));
    lf.lfWeight = font.weight();
    lf.lfItalic = font.italic() ? 1 : 0;
    lf.lfUnderline = font.underline() ? 1 : 0;
    lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
    lf.lfCharSet = 1; // DEFAULT_CHARSET: Qt picks glyphs by script, not by charset
    // At most 31 bytes and a terminating zero, cut before a character that
    // would not fit whole.
    const QByteArray face = font.family().toUtf8();
    qsizetype length = std::min<qsizetype>(face.size(), sizeof(lf.lfFaceName) - 1);
    if (length < face.size())
        while (length > 0 && (uchar(face[length]) & 0xC0) == 0x80)
            --length;
    std::memcpy(lf.lfFaceName, face.constData(), size_t(length));
    return lf;
}

bool operator==(const LOGFONTA& a, const LOGFONTA& b)
{
    return std::memcmp(&a, &b, sizeof(LOGFONTA)) == 0;
}

} // namespace vistrel
