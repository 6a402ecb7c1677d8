// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/video_source.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vistrel::test {

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
    void SetGrabIntervalMs(int intervalMs) override
    {
        std::lock_guard guard(mutex_);
        grabIntervals.push_back(intervalMs);
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
    std::vector<int> grabIntervals; // each SetGrabIntervalMs, in order
    int inputs = -1;
    int selectResult = 1;
    std::deque<int> selectResults; // results of the next routes, before selectResult
    std::vector<int> routed;
    int inputListEnabled = -1; // -1 never set
    int selection = -1;
};

} // namespace vistrel::test
