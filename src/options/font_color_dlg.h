// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/logfont.h"

#include <QColor>
#include <QDialog>
#include <QFont>

#include <cstdint>
#include <optional>

class QFontDialog;
class QPushButton;

namespace vistrel {

// What the font picker answers: the overlay font and its text colour.
struct FontChoice {
    LOGFONTA font;
    uint32_t textColor = 0;
};

// The overlay font picker: Qt's font dialog (screen fonts, effects) with the
// text colour beside it, since QFontDialog itself offers no colour. Lives on
// the user-interface thread.
class FontColorDialog : public QDialog {
    Q_OBJECT
public:
    FontColorDialog(const LOGFONTA& font, uint32_t textColor, QWidget* parent = nullptr);

    FontChoice Choice() const;

    // Runs the picker modally; nothing when the user cancels.
    static std::optional<FontChoice> Pick(const LOGFONTA& font, uint32_t textColor, QWidget* parent);

private:
    void ChooseColor();
    void ShowColor();

    const LOGFONTA stored_;
    QFontDialog* fontDialog_ = nullptr; // child widget
    QFont shown_;                       // the font part as it opened
    QPushButton* colorButton_ = nullptr;
    QColor color_;
};

// Qt's colour dialog preset to `color`; nothing when the user cancels.
std::optional<uint32_t> PickColor(uint32_t color, QWidget* parent);

} // namespace vistrel
