// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/recorder_display.h"
#include "display/overlay.h"

#include <QFrame>
#include <QImage>

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
// An upright copy of the frame in the 32-bit layout screens use, which a
// painter draws with a plain copy (no mirroring, no conversion); null when
// StoredRowsImage would be.
QImage UprightScreenImage(const Frame& frame);

// One camera's picture pane: shows the camera's latest frame stretched over
// its client area (inside its frame, when it is given one, such as the main
// window's sunken border), with red boxes over the blocks that saw motion,
// or dark grey when the camera has no picture. Lives on the user-interface thread;
// the image thread calls SetImage, SetHasPicture, SetMotionBlocks,
// SetOverlaySettings, DrawOverlay and SaveJpeg, none of which block on the
// user-interface thread.
class CPictureBoxEx : public QFrame, public ICameraPane {
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
    // Called on the image thread only. The image is encoded once per
    // quality: the static file and the archive image of one frame share the
    // bytes, and only the first save pays for the encoding.
    FileStatus SaveJpeg(const std::string& path, int quality) override;
    // Called on the image thread only, as SaveJpeg.
    std::shared_ptr<const std::vector<uint8_t>> Jpeg(int quality, bool encode) override;

    // The current image, shared with whoever paints or saves it.
    std::shared_ptr<const Frame> image() const;
    OverlaySettings overlaySettings() const;
    // Paint events handled so far; lets tests see when the pane repainted.
    int paintCount() const { return paintCount_; }
    // JPEG encodings SaveJpeg made so far; lets tests and benchmarks see
    // when a save reused the kept bytes.
    int encodeCount() const { return encodeCount_; }

Q_SIGNALS:
    // The main window opens this camera's options (with Shift: its archive).
    void doubleClicked(Qt::KeyboardModifiers modifiers);

protected:
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Queues one update() to the user-interface thread; repeated requests
    // before it runs collapse into one.
    void requestUpdate();

    // The last save's bytes and what they were made from. The image is held
    // itself, not its address, so a new frame never matches an old one.
    struct Encoded {
        std::shared_ptr<const Frame> image;
        int quality = 0;
        // Shared with remote viewers, who may hold them after a new image came.
        std::shared_ptr<const std::vector<uint8_t>> bytes;
    };
    // The kept encoding of the current image at that quality, made now when
    // `encode` is set and there is none; null when none (or encoding failed).
    std::shared_ptr<const Encoded> Encode(int quality, bool encode);

    mutable std::mutex imageMutex_; // guards image_, screenImage_, blocks_ and encoded_
    std::shared_ptr<const Frame> image_;
    // image_ made upright for the screen by the image thread while the frame
    // is still in its caches, when the pane is shown; null otherwise.
    QImage screenImage_;
    std::vector<uint32_t> blocks_;
    // Only ever of image_; dropped when a new image arrives, so a pane keeps
    // at most one encoded picture.
    std::shared_ptr<const Encoded> encoded_;

    std::atomic<bool> hasPicture_ { true };
    std::atomic<bool> shown_ { false }; // set by painting, cleared by hiding; read by SetImage
    std::atomic<bool> updateQueued_ { false };

    mutable std::mutex overlayMutex_; // guards overlay_ (image thread only in practice)
    OverlayRenderer overlay_;

    int paintCount_ = 0; // user-interface thread only
    // The last painted image made upright for the screen, and the frame it
    // was made from; made here only when the image thread did not (the pane
    // was hidden when the frame came). User-interface thread only.
    std::shared_ptr<const Frame> shownFrame_;
    QImage shownImage_;
    std::atomic<int> encodeCount_ { 0 };
};

} // namespace vistrel
