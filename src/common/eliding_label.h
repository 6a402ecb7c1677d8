#pragma once

#include <QLabel>

namespace vistrel {

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
};

inline constexpr char kElidesTextProperty[] = "elidesText";

} // namespace vistrel
