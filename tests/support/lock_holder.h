// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/timed_lock.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vistrel::test {

// Holds a lock from another thread, as another worker would, from Take until
// Release (or the end of the scope).
class LockHolder {
public:
    explicit LockHolder(TimedMutex& mutex)
        : thread_([this, &mutex] {
            std::unique_lock guard(m_);
            cv_.wait(guard, [this] { return take_; });
            mutex.lock();
            held_ = true;
            cv_.notify_all();
            cv_.wait(guard, [this] { return release_; });
            mutex.unlock();
        })
    {
    }
    ~LockHolder()
    {
        Release();
        thread_.join();
    }
    void Take()
    {
        std::unique_lock guard(m_);
        take_ = true;
        cv_.notify_all();
        cv_.wait(guard, [this] { return held_; });
    }
    void Release()
    {
        std::lock_guard guard(m_);
        take_ = release_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool take_ = false, held_ = false, release_ = false;
    std::thread thread_;
};

} // namespace vistrel::test
