// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace vistrel {

// Dialog units of a font, as dialog templates are laid out on the platform
// they come from: a horizontal unit is a quarter of the font's average
// character width (over "A".."Z" and "a".."z", rounded), a vertical unit an
// eighth of its height. Templates so measured fit their texts in any font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }
    int x(int units) const;
    int y(int units) const;
    QRect rect(const QRect& units) const;
    QSize size(const QSize& units) const;

private:
    int baseX_;
    int baseY_;
};

// The dynamic property that carries a control's place in dialog units (a
// QRect), or a window's client size (a QSize).
inline constexpr char kDialogUnitsProperty[] = "dialogUnits";

// Lays out `window` from its template in the window's own font: each child
// with a "dialogUnits" rect gets that rect in pixels, and the window, when
// it has a "dialogUnits" size, gets that size as its fixed size.
void ApplyDialogUnits(QWidget& window);

} // namespace vistrel
