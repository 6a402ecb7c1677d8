// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

namespace vistrel {

// The image at the review window's cursor, fitted to the pane or 1:1 inside
// its scroll area; in place of an image, the reason there is none. Lives on
// the user-interface thread.
class ImagePane : public QWidget {
    Q_OBJECT
public:
    explicit ImagePane(QWidget* parent = nullptr);

    // A null image shows `message` instead.
    void SetImage(QImage image, QString message);
    void SetFitted(bool fitted);
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
    QString message_;
    bool fitted_ = true;
};

} // namespace vistrel
