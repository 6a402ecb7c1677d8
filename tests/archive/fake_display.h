#pragma once

#include "common/recorder_display.h"

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vistrel::test {

// Records what the archive worker shows on the archive bars and forecast
// lines, and the faults it reports. Safe to read from the test while a worker thread writes.
class RecordingDisplay : public IRecorderDisplay {
public:
    struct Bar {
        std::vector<std::string> texts;
        std::vector<int> positions;
        std::pair<int, int> range{-1, -1};
        std::string forecast;
        int updates = 0;
    };

    ICameraPane& Pane(int) override { return pane_; }
    void SetMeterRange(int camera, Meter meter, int lower, int upper) override
    {
        std::lock_guard guard(mutex_);
        if (meter == Meter::Archive)
            bars_[camera].range = {lower, upper}, ++bars_[camera].updates;
    }
    void SetMeterPos(int camera, Meter meter, int pos) override
    {
        std::lock_guard guard(mutex_);
        if (meter == Meter::Archive)
            bars_[camera].positions.push_back(pos), ++bars_[camera].updates;
    }
    void SetMeterText(int camera, Meter meter, const std::string& text) override
    {
        std::lock_guard guard(mutex_);
        if (meter == Meter::Archive)
            bars_[camera].texts.push_back(text), ++bars_[camera].updates;
    }
    void SetMeterBarColour(int, Meter, uint32_t) override {}
    void SetLabelText(int camera, Label label, const std::string& text) override
    {
        if (onLabel)
            onLabel(camera);
        std::lock_guard guard(mutex_);
        if (label == Label::Forecast)
            bars_[camera].forecast = text, ++bars_[camera].updates;
    }

    void SetFault(int camera, Fault fault, const std::string& reason) override
    {
        std::lock_guard guard(mutex_);
        faults_[camera].push_back({fault, reason});
    }
    // Every fault change reported for the camera, in order.
    std::vector<std::pair<Fault, std::string>> faults(int camera) const
    {
        std::lock_guard guard(mutex_);
        return faults_[camera];
    }

    Bar bar(int camera) const
    {
        std::lock_guard guard(mutex_);
        return bars_[camera];
    }
    std::string lastText(int camera) const
    {
        std::lock_guard guard(mutex_);
        return bars_[camera].texts.empty() ? std::string() : bars_[camera].texts.back();
    }
    void clear()
    {
        std::lock_guard guard(mutex_);
        bars_ = {};
    }

    // Called on the worker's thread as a forecast line is set.
    std::function<void(int camera)> onLabel;

private:
    class NullPane : public ICameraPane {
    public:
        void SetImage(std::unique_ptr<Frame>, bool) override {}
        void SetHasPicture(bool) override {}
        bool HasPicture() const override { return false; }
        void SetMotionBlocks(std::vector<uint32_t>) override {}
        void SetOverlaySettings(const OverlaySettings&) override {}
        void DrawOverlay(Frame&) override {}
        bool SaveJpeg(const std::string&, int) override { return false; }
    };

    NullPane pane_;
    mutable std::mutex mutex_; // guards bars_ and faults_
    std::array<Bar, kCameraCount> bars_;
    std::array<std::vector<std::pair<Fault, std::string>>, kCameraCount> faults_;
};

} // namespace vistrel::test
