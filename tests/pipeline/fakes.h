#pragma once

#include "common/recorder_display.h"
#include "common/video_source.h"
#include "pipeline/jpeg.h"

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
    bool SaveJpeg(const std::string& path, int quality) override
    {
        std::lock_guard guard(mutex_);
        saves_.push_back({ path, quality });
        return image_ && vistrel::SaveJpeg(*image_, path, quality);
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

// The main window's meters and labels as plain values.
class FakeDisplay : public IRecorderDisplay {
public:
    struct MeterState {
        int pos = -1;
        std::string text;
        uint32_t colour = 0xFFFFFFFF;
    };

    ICameraPane& Pane(int camera) override { return panes[size_t(camera)]; }
    void SetMeterRange(int, Meter, int, int) override {}
    void SetMeterPos(int camera, Meter meter, int pos) override
    {
        std::lock_guard guard(mutex_);
        meters_[{ camera, meter }].pos = pos;
    }
    void SetMeterText(int camera, Meter meter, const std::string& text) override
    {
        std::lock_guard guard(mutex_);
        meters_[{ camera, meter }].text = text;
    }
    void SetMeterBarColour(int camera, Meter meter, uint32_t colour) override
    {
        std::lock_guard guard(mutex_);
        meters_[{ camera, meter }].colour = colour;
    }
    void SetLabelText(int camera, Label label, const std::string& text) override
    {
        std::lock_guard guard(mutex_);
        labels_[{ camera, label }] = text;
    }

    MeterState meter(int camera, Meter meter) const
    {
        std::lock_guard guard(mutex_);
        auto it = meters_.find({ camera, meter });
        return it == meters_.end() ? MeterState {} : it->second;
    }
    std::string label(int camera, Label label) const
    {
        std::lock_guard guard(mutex_);
        auto it = labels_.find({ camera, label });
        return it == labels_.end() ? std::string("<unset>") : it->second;
    }

    std::array<FakePane, kCameraCount> panes;

private:
    mutable std::mutex mutex_; // guards meters_ and labels_
    std::map<std::pair<int, Meter>, MeterState> meters_;
    std::map<std::pair<int, Label>, std::string> labels_;
};

// A capture source that hands out frames from a factory and records routing.
class FakeSource : public IVideoSource {
public:
    bool IsRunning() override
    {
        std::lock_guard guard(mutex_);
        return running;
    }
    std::unique_ptr<Frame> GrabFrame() override
    {
        std::function<void()> hook;
        std::unique_ptr<Frame> frame;
        {
            std::lock_guard guard(mutex_);
            ++grabs;
            hook = onGrab;
            if (!failGrabs.empty()) {
                const bool fail = failGrabs.front();
                failGrabs.pop_front();
                if (fail)
                    return nullptr;
            }
            if (makeFrame)
                frame = makeFrame();
        }
        if (hook)
            hook();
        return frame;
    }
    int ListInputs() override
    {
        std::lock_guard guard(mutex_);
        return inputs;
    }
    int SelectInput(int input) override
    {
        std::lock_guard guard(mutex_);
        routed.push_back(input);
        if (!selectResults.empty()) {
            const int result = selectResults.front();
            selectResults.pop_front();
            return result;
        }
        return selectResult;
    }
    void SetInputListEnabled(bool enabled) override
    {
        std::lock_guard guard(mutex_);
        inputListEnabled = enabled ? 1 : 0;
    }
    int InputListSelection() override
    {
        std::lock_guard guard(mutex_);
        return selection;
    }

    int grabCount() const
    {
        std::lock_guard guard(mutex_);
        return grabs;
    }

    // Plain settings for single-threaded tests; guarded by mutex_ otherwise.
    mutable std::mutex mutex_;
    bool running = true;
    int grabs = 0;
    std::deque<bool> failGrabs; // true: that grab returns nothing
    std::function<std::unique_ptr<Frame>()> makeFrame;
    std::function<void()> onGrab; // runs after the grab, e.g. to advance a clock
    int inputs = -1;
    int selectResult = 1;
    std::deque<int> selectResults; // results of the next routes, before selectResult
    std::vector<int> routed;
    int inputListEnabled = -1; // -1 never set
    int selection = -1;
};

} // namespace vistrel::test
