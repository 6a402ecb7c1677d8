// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QStaticText>
#include <QString>

namespace vistrel {

// A text as it fits a width in a font: whole, or cut at its end with an
// ellipsis. Keeps its last answer, since meters and labels repaint far more
// often than their text, size or font change. User-interface thread.
class ElidedText {
public:
    const QString& fit(const QFontMetrics& metrics, const QFont& font, const QString& text, int width);

private:
    QString text_;
    QFont font_;
    int width_ = -1;
    QString shown_;
};

// A one-line label that, when its text is wider than the label, shows it cut
// at its end with an ellipsis instead of clipping it at both sides (which
// centred text would be). text() stays the whole text. Carries the property
// "elidesText" so layout checks know its text never overflows. User-interface
// thread, like every widget.
class CElidingLabel : public QLabel {
    Q_OBJECT
public:
    explicit CElidingLabel(QWidget* parent = nullptr);

    // The text as painted: whole when it fits, else cut with an ellipsis.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect textArea() const;

    mutable ElidedText shown_;
    // shown_'s text shaped once, so that repaints of an unchanged text cost
    // no text layout.
    QString shapedText_;
    QFont shapedFont_;
    QStaticText shaped_;
};

inline constexpr char kElidesTextProperty[] = "elidesText";

} // namespace vistrel
