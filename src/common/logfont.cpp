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

QFont ToQFont(const LOGFONTA& lf)
{
    char face[sizeof(lf.lfFaceName) + 1] = {};
    std::memcpy(face, lf.lfFaceName, sizeof(lf.lfFaceName));
    QFont font(QString::fromLatin1(face));
    font.setStyleStrategy(QFont::NoAntialias);

    // A negative height is the character height in pixels; a positive one
    // is the cell height, which also holds the internal leading. Zero picks
    // a default size, as on the platform the record comes from.
    if (lf.lfHeight < 0) {
        font.setPixelSize(std::max(1, -lf.lfHeight));
    } else if (lf.lfHeight > 0) {
        font.setPixelSize(lf.lfHeight);
        const int cell = QFontMetrics(font).height();
        if (cell > lf.lfHeight)
            font.setPixelSize(std::max(1, int(std::lround(double(lf.lfHeight) * lf.lfHeight / cell))));
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
    const QByteArray face = font.family().toLatin1();
    std::strncpy(lf.lfFaceName, face.constData(), sizeof(lf.lfFaceName) - 1);
    return lf;
}

bool operator==(const LOGFONTA& a, const LOGFONTA& b)
{
    return std::memcmp(&a, &b, sizeof(LOGFONTA)) == 0;
}

} // namespace vistrel
