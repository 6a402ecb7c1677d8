// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <mutex>

namespace vistrel {

// Every settings and counter lock: recursive, and never waited on for more
// than five seconds. When a wait runs out the guarded work is skipped and
// tried again at its next occasion; the guarded fields are never touched
// without the lock.
using TimedMutex = std::recursive_timed_mutex;
inline constexpr std::chrono::milliseconds kLockWait{5000};

class TimedLock {
public:
    explicit TimedLock(TimedMutex& mutex, std::chrono::milliseconds wait = kLockWait)
        : mutex_(mutex)
        , owns_(mutex.try_lock_for(wait))
    {
    }
    ~TimedLock()
    {
        if (owns_)
            mutex_.unlock();
    }
    TimedLock(const TimedLock&) = delete;
    TimedLock& operator=(const TimedLock&) = delete;

    explicit operator bool() const { return owns_; }
    bool owns() const { return owns_; }

private:
    TimedMutex& mutex_;
    bool owns_;
};

} // namespace vistrel
