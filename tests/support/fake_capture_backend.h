// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vistrel::test {

// One device of a FakeBackend.
struct FakeDeviceSpec {
    // Braced lists name the leading fields; the rest keep their defaults.
    FakeDeviceSpec(std::string name_ = {}, bool nameReadable_ = true, std::vector<CaptureFormat> formats_ = {},
                   std::optional<CrossbarInfo> crossbar_ = {}, std::string busInfo_ = {}, std::string link_ = {},
                   bool openable_ = true)
        : name(std::move(name_))
        , nameReadable(nameReadable_)
        , formats(std::move(formats_))
        , crossbar(std::move(crossbar_))
        , busInfo(std::move(busInfo_))
        , link(std::move(link_))
        , openable(openable_)
    {
    }

    std::string name;
    bool nameReadable = true;
    std::vector<CaptureFormat> formats;
    std::optional<CrossbarInfo> crossbar;
    std::string busInfo;
    std::string link;
    bool openable = true;
};

// What a test configures and observes of a FakeBackend after handing it over.
struct FakeState {
    std::vector<FakeDeviceSpec> devices;
    bool enumerable = true;
    std::vector<std::pair<int, int>> routes; // (output pin, input pin)
    int routeResult = 0;                     // what every route answers
    int opened = 0;
    int stopped = 0;
};

// A device that streams nothing and records what is asked of it.
class FakeDevice : public ICaptureDevice {
public:
    FakeDevice(std::shared_ptr<FakeState> state, FakeDeviceSpec description)
        : state_(std::move(state))
        , spec_(std::move(description))
    {
    }
    std::vector<CaptureFormat> Formats() override { return spec_.formats; }
    int SetFormat(const CaptureFormat& format) override
    {
        for (const auto& offered : spec_.formats)
            if (offered == format)
                return 0;
        return kNoMatchingFormat;
    }
    int SetDeliveredBitCount(int) override { return 0; }
    int PrepareStreaming() override { return 0; }
    int Start() override { return 0; }
    void Stop() override
    {
        if (!stopped_) {
            stopped_ = true;
            ++state_->stopped;
        }
    }
    bool Crossbar(CrossbarInfo& info) override
    {
        if (!spec_.crossbar)
            return false;
        info = *spec_.crossbar;
        return true;
    }
    int Route(int outputPin, int inputPin) override
    {
        state_->routes.emplace_back(outputPin, inputPin);
        return state_->routeResult;
    }
    std::unique_ptr<Frame> LatestFrame() override { return nullptr; }
    uint64_t FrameSequence() const override { return 0; }
    BITMAPINFOHEADER DeliveredHeader() const override { return {}; }
    int FrameIntervalMs() const override { return 40; }
    bool Lost() const override { return false; }

private:
    std::shared_ptr<FakeState> state_;
    FakeDeviceSpec spec_;
    bool stopped_ = false;
};

// A capture backend whose devices, formats and crossbars a test scripts, and
// whose opens and routes it observes.
class FakeBackend : public ICaptureBackend {
public:
    explicit FakeBackend(std::shared_ptr<FakeState> state)
        : state_(std::move(state))
    {
    }
    bool EnumerateDevices(std::vector<DeviceEntry>& devices) override
    {
        devices.clear();
        if (!state_->enumerable)
            return false;
        for (const auto& device : state_->devices) {
            DeviceEntry entry;
            entry.name = device.name;
            entry.nameReadable = device.nameReadable;
            entry.busInfo = device.busInfo;
            entry.link = device.link;
            entry.openable = device.openable;
            devices.push_back(entry);
        }
        return !devices.empty();
    }
    bool DeviceFormats(int number, std::vector<CaptureFormat>& formats) override
    {
        if (number < 0 || number >= int(state_->devices.size()))
            return false;
        formats = state_->devices[size_t(number)].formats;
        return true;
    }
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override
    {
        if (number < 0 || number >= int(state_->devices.size()))
            return -19;
        ++state_->opened;
        device = std::make_unique<FakeDevice>(state_, state_->devices[size_t(number)]);
        return 0;
    }

private:
    std::shared_ptr<FakeState> state_;
};

} // namespace vistrel::test
