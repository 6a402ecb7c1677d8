#pragma once

#include "common/recorder_display.h"
#include "display/overlay.h"

#include <QImage>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace vistrel {

// A read-only QImage over an uncompressed 8 (grey), 16 (5-5-5), 24 (BGR) or
// 32-bit (BGRX) frame's pixels as stored, so its first row is the bottom of
// the picture. It borrows the pixels: valid only while the frame lives.
// Null for any other frame, or one with fewer bytes than its header claims.
QImage StoredRowsImage(const Frame& frame);

// One camera's picture pane: shows the camera's latest frame stretched over
// the whole widget, with red boxes over the blocks that saw motion, or dark
// grey when the camera has no picture. Lives on the user-interface thread;
// the image thread calls SetImage, SetHasPicture, SetMotionBlocks,
// SetOverlaySettings, DrawOverlay and SaveJpeg, none of which block on the
// user-interface thread.
class CPictureBoxEx : public QWidget, public ICameraPane {
    Q_OBJECT
public:
    explicit CPictureBoxEx(QWidget* parent = nullptr);
    ~CPictureBoxEx() override;

    void SetImage(std::unique_ptr<Frame> frame, bool repaint) override;
    void SetHasPicture(bool hasPicture) override;
    bool HasPicture() const override { return hasPicture_; }
    void SetMotionBlocks(std::vector<uint32_t> blocks) override;
    void SetOverlaySettings(const OverlaySettings& settings) override;
    // Reads the clock once per frame, so all passes of the text (shadow,
    // outline, main) show the same second even across a second boundary.
    void DrawOverlay(Frame& frame) override;
    // The same at a given time.
    void DrawOverlay(Frame& frame, std::time_t now);
    bool SaveJpeg(const std::string& path, int quality) override;

    // The current image, shared with whoever paints or saves it.
    std::shared_ptr<const Frame> image() const;
    OverlaySettings overlaySettings() const;
    // Paint events handled so far; lets tests see when the pane repainted.
    int paintCount() const { return paintCount_; }

Q_SIGNALS:
    // The main window opens this camera's options.
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Queues one update() to the user-interface thread; repeated requests
    // before it runs collapse into one.
    void requestUpdate();

    mutable std::mutex imageMutex_; // guards image_ and blocks_
    std::shared_ptr<const Frame> image_;
    std::vector<uint32_t> blocks_;

    std::atomic<bool> hasPicture_ { true };
    std::atomic<bool> updateQueued_ { false };

    mutable std::mutex overlayMutex_; // guards overlay_ (image thread only in practice)
    OverlayRenderer overlay_;

    int paintCount_ = 0; // user-interface thread only
};

} // namespace vistrel
