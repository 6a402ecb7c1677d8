// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QFont>

#include <cstdint>

namespace vistrel {

// The 60-byte font description stored as "OverlayFont", byte for byte the
// Windows LOGFONTA record (little-endian).
#pragma pack(push, 1)
struct LOGFONTA {
    int32_t lfHeight = 0; // < 0: character height in pixels; > 0: cell height
    int32_t lfWidth = 0;
    int32_t lfEscapement = 0;
    int32_t lfOrientation = 0;
    int32_t lfWeight = 0; // 0..1000, 400 normal, 700 bold
    uint8_t lfItalic = 0;
    uint8_t lfUnderline = 0;
    uint8_t lfStrikeOut = 0;
    uint8_t lfCharSet = 0;
    uint8_t lfOutPrecision = 0;
    uint8_t lfClipPrecision = 0;
    uint8_t lfQuality = 0;
    uint8_t lfPitchAndFamily = 0;
    char lfFaceName[32] = {};
};
#pragma pack(pop)
static_assert(sizeof(LOGFONTA) == 60);

// The initial overlay font of every camera: height 13, weight 700, "Verdana".
LOGFONTA DefaultOverlayFont();

// A QFont for drawing text with the described font. Where the face is not
// installed, fontconfig substitutes one; the record keeps its name.
QFont ToQFont(const LOGFONTA& font);
// The description of a QFont (for example one chosen in the font picker).
LOGFONTA FromQFont(const QFont& font);

bool operator==(const LOGFONTA& a, const LOGFONTA& b);

// Colours as the settings keep them (0x00BBGGRR, see Rgb()) to QColor and back.
inline QColor ToQColor(uint32_t colorRef)
{
    return QColor(int(colorRef & 0xFF), int((colorRef >> 8) & 0xFF), int((colorRef >> 16) & 0xFF));
}
inline uint32_t FromQColor(const QColor& color)
{
    return uint32_t(color.red() & 0xFF) | uint32_t(color.green() & 0xFF) << 8 | uint32_t(color.blue() & 0xFF) << 16;
}

} // namespace vistrel
