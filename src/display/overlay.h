// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"
#include "common/recorder_display.h"

#include <QFont>
#include <QRect>
#include <QStaticText>
#include <QString>

#include <ctime>
#include <string>

namespace vistrel {

// The text that stands in place of the time, date and weekday when the
// clock cannot be converted to local time.
inline constexpr const char* kInvalidDateTime = "Invalid DateTime";

// Replaces, in this order, every "%t" by the local time of `now`
// ("%I:%M:%S%p"), every "%d" by its date ("%x") and every "%w" by its
// weekday ("%A"), in the "C" locale's formats ("03:04:05PM", "Sunday",
// "03/03/24") whatever the process's locale. Plain left-to-right,
// non-overlapping substring replacement; all other text is kept.
std::string ExpandOverlayText(const std::string& text, std::time_t now);

// Where the text box of size cx x cy goes in a picture of width x height:
// "CENTER", "LEFT"/"TOP", "RIGHT"/"BOTTOM"; anything else gives 0. The
// halves round toward zero, so a text wider than the picture starts left of it.
int AlignHorizontal(const std::string& horz, int width, int cx);
int AlignVertical(const std::string& vert, int height, int cy);

// Draws one camera's overlay into frames: the settings and the font made
// from them once, the text expanded and measured for every frame.
// Not thread-safe by itself; the pane guards it.
class OverlayRenderer {
public:
    void setSettings(const OverlaySettings& settings);
    const OverlaySettings& settings() const { return settings_; }

    // Burns the text into the frame's pixels, touching only the text's box
    // and its glyphs' ink beyond it (one pixel more around both for Shadow
    // and Outline), clipped by the picture alone. Frames that are not
    // uncompressed 8, 16, 24 or 32 bits with all their pixels stay untouched.
    void draw(Frame& frame, std::time_t now) const;

private:
    // The expanded text laid out once: a clock text stays the same for a
    // second, many frames at ten a second, and shaping it is most of the cost.
    struct Layout {
        QString text;
        int advance = 0;
        QRect ink; // the glyphs' ink, relative to the baseline's start
        QStaticText shaped;
    };
    const Layout& LayoutFor(const QString& text) const;

    OverlaySettings settings_;
    QFont font_; // made from settings_.font by setSettings, never per frame
    mutable Layout layout_; // of the last text drawn; reset with the settings
};

} // namespace vistrel
