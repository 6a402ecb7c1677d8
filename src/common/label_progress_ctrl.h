// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QStaticText>
#include <QString>
#include <QWidget>

#include <cstdint>

namespace vistrel {

// A progress bar that keeps its own range and position and paints a bar in
// one colour, the rest in another, and a centred caption in the inverse
// colours (the part over the bar in the background colour, the rest in the
// bar colour). The caption is the window text, or "%d%%" when that is empty.
// Lives on the user-interface thread; workers reach it only through calls
// queued by the main window.
class CLabelProgressCtrl : public QWidget {
    Q_OBJECT
public:
    // Colour word meaning "use the palette's colour"; colours are 0x00BBGGRR.
    static constexpr uint32_t kDefaultColour = 0xFF000000;

    struct Range {
        int iLow = 0;
        int iHigh = 0;
    };

    explicit CLabelProgressCtrl(QWidget* parent = nullptr);

    // The 16-bit range message: both ends are unsigned words.
    void SetRange(uint16_t lower, uint16_t upper);
    void SetRange32(int lower, int upper);
    // Fills `range` when given; returns the lower end if `wantLower`, else the upper.
    int GetRange(bool wantLower, Range* range = nullptr) const;
    void GetRange(int& lower, int& upper) const;

    // Returns the previous position. Repaints at once, but only when the bar
    // length in pixels changes.
    int SetPos(int pos);
    int DeltaPos(int delta) { return SetPos(pos_ + delta); }
    int StepIt() { return SetPos(pos_ + step_); }
    int SetStep(int step);
    int GetPos() const { return pos_; }

    // Each returns the previous colour word.
    uint32_t SetBarColour(uint32_t colour);
    uint32_t SetBkColour(uint32_t colour);
    uint32_t SetTextColour(uint32_t colour);
    uint32_t GetBarColour() const { return barColour_; }
    uint32_t GetBkColour() const { return bkColour_; }
    uint32_t GetTextColour() const { return textColour_; }

    void SetShowText(bool show);
    bool GetShowText() const { return showText_; }

    // The caption. Setting the text it already has does not repaint.
    void SetWindowText(const QString& text);
    QString GetWindowText() const { return text_; }
    // Copies at most bufferSize - 1 bytes (UTF-8) plus a terminating zero;
    // returns the number of bytes copied before the zero.
    int GetWindowText(char* buffer, int bufferSize) const;

    // A one-pixel sunken border around the client area, as the main window
    // gives every meter.
    void SetStaticEdge(bool edge);
    bool HasStaticEdge() const { return staticEdge_; }

    // A vertical bar grows from the bottom and never shows a caption.
    void SetVertical(bool vertical);
    bool IsVertical() const { return vertical_; }

    // The area inside the border, where the bar is drawn.
    QRect clientRect() const;
    // Paint events handled so far; lets tests see when the control repainted.
    int paintCount() const { return paintCount_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void invalidate() { update(); }
    QColor resolve(uint32_t colour, QPalette::ColorRole role) const;

    uint32_t textColour_ = kDefaultColour;
    int pos_ = 0;
    int step_ = 1;
    int upper_ = 100;
    int lower_ = 0;
    QString text_;
    // The caption as it fits the bar, shaped once for both of its halves
    // and for every repaint until the text or the size changes.
    struct Caption {
        QString text;
        int width = -1;
        QFont font;
        QStaticText shaped;
    };
    const QStaticText& ShapedCaption(const QString& text, int width);
    Caption caption_;
    bool showText_ = true;
    int barLength_ = -1; // bar length of the last SetPos; -1: not computed since the last resize
    uint32_t barColour_ = kDefaultColour;
    uint32_t bkColour_ = kDefaultColour;
    bool staticEdge_ = false;
    bool vertical_ = false;
    int paintCount_ = 0;
};

} // namespace vistrel
