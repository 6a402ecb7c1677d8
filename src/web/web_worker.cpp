// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_worker.h"

namespace vistrel {

WebWorker::WebWorker()
    : thread_([this] { Run(); })
{
}

WebWorker::~WebWorker()
{
    Stop();
}

bool WebWorker::Post(Task task, WebClock::time_point due)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        tasks_.emplace(due, std::move(task));
    }
    wake_.notify_one();
    return true;
}

void WebWorker::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
    // Dropped outside the lock: a task's captures may be anything.
    std::multimap<WebClock::time_point, Task> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(tasks_);
    }
}

void WebWorker::Run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto first = tasks_.begin();
        if (first->first > WebClock::now()) {
            wake_.wait_until(lock, first->first);
            continue;
        }
        Task task = std::move(first->second);
        tasks_.erase(first);
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}

} // namespace vistrel
