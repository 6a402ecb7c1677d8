// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/font_color_dlg.h"

#include "common/recorder_display.h"

#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vistrel {

namespace {

// Qt's font dialog as a part of the picker. Whatever would end it on its own
// (Escape) ends the picker instead, which would otherwise stay open with the
// font part hidden.
class EmbeddedFontDialog : public QFontDialog {
public:
    explicit EmbeddedFontDialog(QDialog* picker)
        : QFontDialog(picker)
        , picker_(picker)
    {
    }

protected:
    void done(int result) override { picker_->done(result); }

private:
    QDialog* picker_;
};

} // namespace

FontColorDialog::FontColorDialog(const LOGFONTA& font, uint32_t textColor, QWidget* parent)
    : QDialog(parent)
    , stored_(font)
    , color_(ToQColor(textColor))
{
    setWindowTitle(tr("Text Font"));

    // The font dialog lists installed families only: a stored face that is
    // not installed (Verdana on most Linux machines) is shown as the one the
    // overlay is drawn with, or the dialog falls back to its own default.
    // Sizes are shown in points; the record keeps pixels, and FromQFont
    // turns points back at 96 dpi, so a choice round-trips.
    QFont initial = ToQFont(font);
    initial.setFamily(QFontInfo(initial).family());
    if (initial.pixelSize() > 0)
        initial.setPointSizeF(initial.pixelSize() * 72.0 / 96.0);

    fontDialog_ = new EmbeddedFontDialog(this);
    fontDialog_->setWindowFlags(Qt::Widget);
    fontDialog_->setOptions(QFontDialog::NoButtons | QFontDialog::DontUseNativeDialog | QFontDialog::ScalableFonts
                            | QFontDialog::NonScalableFonts);
    fontDialog_->setCurrentFont(initial);
    shown_ = fontDialog_->currentFont();

    auto* colorLabel = new QLabel(tr("Text Color:"), this);
    colorButton_ = new QPushButton(this);
    colorButton_->setAutoDefault(false);
    connect(colorButton_, &QPushButton::clicked, this, &FontColorDialog::ChooseColor);
    ShowColor();

    auto* colorRow = new QHBoxLayout;
    colorRow->addWidget(colorLabel);
    colorRow->addWidget(colorButton_);
    colorRow->addStretch();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(fontDialog_);
    layout->addLayout(colorRow);
    layout->addWidget(buttons);
}

FontChoice FontColorDialog::Choice() const
{
    // A font left as shown keeps its record, face name and cell height included.
    const QFont chosen = fontDialog_->currentFont();
    return FontChoice{chosen == shown_ ? stored_ : FromQFont(chosen), FromQColor(color_)};
}

std::optional<FontChoice> FontColorDialog::Pick(const LOGFONTA& font, uint32_t textColor, QWidget* parent)
{
    FontColorDialog dialog(font, textColor, parent);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.Choice();
}

void FontColorDialog::ChooseColor()
{
    const QColor chosen = QColorDialog::getColor(color_, this, tr("Text Color"));
    if (chosen.isValid()) {
        color_ = chosen;
        ShowColor();
    }
}

void FontColorDialog::ShowColor()
{
    colorButton_->setText(color_.name());
    colorButton_->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; }")
                                    .arg(color_.name(), color_.lightness() < 128 ? "white" : "black"));
}

std::optional<uint32_t> PickColor(uint32_t color, QWidget* parent)
{
    const QColor chosen = QColorDialog::getColor(ToQColor(color), parent, QObject::tr("Background Color"));
    if (!chosen.isValid())
        return std::nullopt;
    return FromQColor(chosen);
}

} // namespace vistrel
