// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace vistrel {

class ICaptureDevice;

// The live picture of the running capture, scaled to fill the widget.
// Lives on the user-interface thread; CDXVideo attaches and detaches it
// there. While visible it fetches the device's latest frame at most once per
// device frame period; while hidden it fetches and converts nothing.
class CapturePreview : public QWidget {
    Q_OBJECT
public:
    explicit CapturePreview(QWidget* parent = nullptr);
    ~CapturePreview() override;

    void Attach(std::shared_ptr<ICaptureDevice> device);
    // Drops the device and the picture; the area turns black.
    void Detach();
    bool IsAttached() const { return device_ != nullptr; }

    // Frames fetched from the device since construction.
    uint64_t FramesFetched() const { return framesFetched_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Poll();
    void UpdateTimer();

    std::shared_ptr<ICaptureDevice> device_;
    QTimer timer_;
    std::unique_ptr<Frame> frame_;
    QImage image_; // over frame_'s pixels, rows bottom-up
    uint64_t shownSequence_ = 0;
    uint64_t framesFetched_ = 0;
};

} // namespace vistrel
