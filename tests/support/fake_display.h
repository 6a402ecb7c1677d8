// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/recorder_display.h"
#include "pipeline/jpeg.h"

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vistrel::test {

// A pane that records what the image thread does to it and saves its image
// with the real JPEG writer. Thread-safe, as the image thread calls it.
class FakePane : public ICameraPane {
public:
    void SetImage(std::unique_ptr<Frame> frame, bool repaint) override
    {
        std::lock_guard guard(mutex_);
        if (!frame || frame->size() == 0)
            return;
        image_ = std::move(frame);
        ++images_;
        repaint_ = repaint;
        log_.push_back("SetImage");
    }
    void SetHasPicture(bool hasPicture) override
    {
        std::lock_guard guard(mutex_);
        hasPicture_ = hasPicture;
        log_.push_back(hasPicture ? "HasPicture" : "NoPicture");
    }
    bool HasPicture() const override
    {
        std::lock_guard guard(mutex_);
        return hasPicture_;
    }
    void SetMotionBlocks(std::vector<uint32_t> blocks) override
    {
        std::lock_guard guard(mutex_);
        blocks_ = std::move(blocks);
    }
    void SetOverlaySettings(const OverlaySettings& settings) override
    {
        std::lock_guard guard(mutex_);
        overlay_ = settings;
        ++overlaySets_;
    }
    void DrawOverlay(Frame& frame) override
    {
        std::lock_guard guard(mutex_);
        log_.push_back("DrawOverlay");
        if (overlayPaint_)
            overlayPaint_(frame);
    }
    FileStatus SaveJpeg(const std::string& path, int quality) override
    {
        std::lock_guard guard(mutex_);
        saves_.push_back({ path, quality });
        return image_ ? vistrel::SaveJpeg(*image_, path, quality) : FileStatus::NothingToWrite();
    }

    // Accessors for the tests.
    template <typename F>
    auto locked(F f) const
    {
        std::lock_guard guard(mutex_);
        return f();
    }
    int images() const { return locked([&] { return images_; }); }
    std::vector<uint32_t> blocks() const { return locked([&] { return blocks_; }); }
    OverlaySettings overlay() const { return locked([&] { return overlay_; }); }
    int overlaySets() const { return locked([&] { return overlaySets_; }); }
    std::vector<std::string> log() const { return locked([&] { return log_; }); }
    std::vector<std::pair<std::string, int>> saves() const { return locked([&] { return saves_; }); }
    int imageWidth() const { return locked([&] { return image_ ? image_->width() : 0; }); }
    int imageHeight() const { return locked([&] { return image_ ? image_->height() : 0; }); }
    std::vector<uint8_t> imageBytes() const
    {
        return locked([&] { return image_ ? std::vector<uint8_t>(image_->data(), image_->data() + image_->size()) : std::vector<uint8_t> {}; });
    }
    void setOverlayPaint(std::function<void(Frame&)> paint)
    {
        std::lock_guard guard(mutex_);
        overlayPaint_ = std::move(paint);
    }
    void clearLog()
    {
        std::lock_guard guard(mutex_);
        log_.clear();
        saves_.clear();
    }

private:
    mutable std::mutex mutex_; // guards everything below
    std::unique_ptr<Frame> image_;
    bool hasPicture_ = true;
    int images_ = 0;
    bool repaint_ = false;
    std::vector<uint32_t> blocks_;
    OverlaySettings overlay_;
    int overlaySets_ = 0;
    std::vector<std::string> log_;
    std::vector<std::pair<std::string, int>> saves_;
    std::function<void(Frame&)> overlayPaint_;
};

// The main window as the workers see it, in memory: fake panes, and every
// meter, label and fault the workers set, kept for the tests to read while
// a worker thread writes. Any thread may call it.
class FakeDisplay : public IRecorderDisplay {
public:
    struct MeterState {
        // The latest of each; these values while none was set.
        int pos = -1;
        std::string text;
        uint32_t colour = 0xFFFFFFFF;
        std::pair<int, int> range{-1, -1};
        // Every value set, in order.
        std::vector<int> positions;
        std::vector<std::string> texts;
        std::vector<uint32_t> colours;
        int updates = 0;
    };
    // A camera's archive meter and forecast line, as the archive worker shows them.
    struct Bar {
        std::vector<std::string> texts;
        std::vector<int> positions;
        std::pair<int, int> range{-1, -1};
        std::string forecast;
        int updates = 0;
    };
    struct FaultChange {
        int camera;
        Fault fault;
        std::string reason;
        bool operator==(const FaultChange&) const = default;
    };

    ICameraPane& Pane(int camera) override { return panes[size_t(camera)]; }
    void SetMeterRange(int camera, Meter meter, int lower, int upper) override
    {
        UpdateMeter(camera, meter, [&](MeterState& state) { state.range = {lower, upper}; });
    }
    void SetMeterPos(int camera, Meter meter, int pos) override
    {
        UpdateMeter(camera, meter, [&](MeterState& state) {
            state.pos = pos;
            state.positions.push_back(pos);
        });
    }
    void SetMeterText(int camera, Meter meter, const std::string& text) override
    {
        UpdateMeter(camera, meter, [&](MeterState& state) {
            state.text = text;
            state.texts.push_back(text);
        });
    }
    void SetMeterBarColour(int camera, Meter meter, uint32_t colour) override
    {
        UpdateMeter(camera, meter, [&](MeterState& state) {
            state.colour = colour;
            state.colours.push_back(colour);
        });
    }
    void SetLabelText(int camera, Label label, const std::string& text) override
    {
        if (onLabel)
            onLabel(camera);
        std::lock_guard guard(mutex_);
        labels_[size_t(camera)][size_t(label)] = text;
        ++labelUpdates_[size_t(camera)][size_t(label)];
    }
    void SetFault(int camera, Fault fault, const std::string& reason) override
    {
        std::lock_guard guard(mutex_);
        faults_.push_back({camera, fault, reason});
    }

    MeterState meter(int camera, Meter meter) const
    {
        std::lock_guard guard(mutex_);
        return meters_[size_t(camera)][size_t(meter)];
    }
    // The latest text; "<unset>" while none was set.
    std::string label(int camera, Label label) const
    {
        std::lock_guard guard(mutex_);
        return labels_[size_t(camera)][size_t(label)].value_or("<unset>");
    }
    Bar bar(int camera) const
    {
        std::lock_guard guard(mutex_);
        const MeterState& archive = meters_[size_t(camera)][size_t(Meter::Archive)];
        const size_t forecast = size_t(Label::Forecast);
        return {archive.texts, archive.positions, archive.range, labels_[size_t(camera)][forecast].value_or(""),
                archive.updates + labelUpdates_[size_t(camera)][forecast]};
    }
    // The archive meter's latest text.
    std::string lastText(int camera) const { return meter(camera, Meter::Archive).text; }
    // Every fault change, in order.
    std::vector<FaultChange> faultChanges() const
    {
        std::lock_guard guard(mutex_);
        return faults_;
    }
    // The camera's fault changes, in order.
    std::vector<std::pair<Fault, std::string>> faults(int camera) const
    {
        std::lock_guard guard(mutex_);
        std::vector<std::pair<Fault, std::string>> changes;
        for (const FaultChange& change : faults_)
            if (change.camera == camera)
                changes.emplace_back(change.fault, change.reason);
        return changes;
    }
    // Forgets the meters and labels (not the faults).
    void clear()
    {
        std::lock_guard guard(mutex_);
        meters_ = {};
        labels_ = {};
        labelUpdates_ = {};
    }

    // Called on the worker's thread as a label is set, before it is recorded.
    std::function<void(int camera)> onLabel;
    std::array<FakePane, kCameraCount> panes;

private:
    template <typename Change>
    void UpdateMeter(int camera, Meter meter, Change&& change)
    {
        std::lock_guard guard(mutex_);
        MeterState& state = meters_[size_t(camera)][size_t(meter)];
        change(state);
        ++state.updates;
    }

    mutable std::mutex mutex_; // guards meters_, labels_, labelUpdates_ and faults_
    std::array<std::array<MeterState, 2>, kCameraCount> meters_;        // [camera][Meter]
    std::array<std::array<std::optional<std::string>, 2>, kCameraCount> labels_; // [camera][Label]
    std::array<std::array<int, 2>, kCameraCount> labelUpdates_{};
    std::vector<FaultChange> faults_;
};

} // namespace vistrel::test
