// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/messages.h"
#include "common/worker_thread.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vistrel::test {

// What the fake workers did, in the order it happened, across threads.
class WorkerLog {
public:
    void Add(const std::string& event)
    {
        std::lock_guard guard(mutex_);
        events_.push_back(event);
    }
    std::vector<std::string> Events() const
    {
        std::lock_guard guard(mutex_);
        return events_;
    }
    // Position of the first such event, -1 when none.
    int IndexOf(const std::string& event) const
    {
        std::lock_guard guard(mutex_);
        const auto it = std::find(events_.begin(), events_.end(), event);
        return it == events_.end() ? -1 : int(it - events_.begin());
    }
    bool Contains(const std::string& event) const { return IndexOf(event) >= 0; }
    int Count(const std::string& event) const
    {
        std::lock_guard guard(mutex_);
        return int(std::count(events_.begin(), events_.end(), event));
    }

private:
    mutable std::mutex mutex_; // guards events_
    std::vector<std::string> events_;
};

// A worker that only logs "<name> start", "<name> settings" and
// "<name> stop"; on WM_THREAD_STOP it runs onStop first and then ends.
class FakeWorker : public CWorkerThread {
public:
    FakeWorker(Group group, std::string name, WorkerLog& log, CThreadRegistry& registry,
               std::function<void()> onStop = {})
        : CWorkerThread(group, registry)
        , name_(std::move(name))
        , log_(log)
        , onStop_(std::move(onStop))
    {
    }
    ~FakeWorker() override
    {
        // Before the members the handlers use are gone.
        StopAndWait();
    }

protected:
    void OnThreadStart() override { log_.Add(name_ + " start"); }
    void OnThreadMessage(int message, quintptr, qintptr) override
    {
        if (message == WM_SETTINGS_CHANGED) {
            log_.Add(name_ + " settings");
        } else if (message == WM_THREAD_STOP) {
            if (onStop_)
                onStop_();
            log_.Add(name_ + " stop");
            PostQuit();
        }
    }
    void OnTimer() override {}

private:
    std::string name_;
    WorkerLog& log_;
    std::function<void()> onStop_;
};

} // namespace vistrel::test
