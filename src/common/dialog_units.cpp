// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/dialog_units.h"

#include <QFontMetrics>
#include <QVariant>
#include <QWidget>

#include <cmath>

namespace vistrel {

namespace {

// a * b / c, rounded to the nearest integer, as the platform's MulDiv does.
int MulDiv(int a, int b, int c)
{
    return int(std::lround(double(a) * double(b) / double(c)));
}

} // namespace

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (width / 26 + 1) / 2);
    baseY_ = std::max(1, metrics.height());
}

int DialogUnits::x(int units) const
{
    return MulDiv(units, baseX_, 4);
}

int DialogUnits::y(int units) const
{
    return MulDiv(units, baseY_, 8);
}

QRect DialogUnits::rect(const QRect& units) const
{
    return {x(units.x()), y(units.y()), x(units.width()), y(units.height())};
}

QSize DialogUnits::size(const QSize& units) const
{
    return {x(units.width()), y(units.height())};
}

void ApplyDialogUnits(QWidget& window)
{
    const DialogUnits units(window.font());
    for (QWidget* child : window.findChildren<QWidget*>()) {
        const QVariant place = child->property(kDialogUnitsProperty);
        if (place.typeId() == QMetaType::QRect)
            child->setGeometry(units.rect(place.toRect()));
    }
    const QVariant size = window.property(kDialogUnitsProperty);
    if (size.typeId() == QMetaType::QSize)
        window.setFixedSize(units.size(size.toSize()));
}

} // namespace vistrel
