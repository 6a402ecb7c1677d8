// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/messages.h"
#include "common/timed_lock.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <vector>

namespace vistrel {

// The list of running worker threads, through which they are all stopped at
// exit: the archive group first, then the image group, then the third group,
// which exists but which no worker joins. Add and Remove run on the workers,
// StopAll on the short-lived exit thread; the lists change only under the lock.
class CThreadRegistry {
public:
    // The process-wide registry.
    static CThreadRegistry& Instance();

    static constexpr std::chrono::milliseconds kThreadWait { 90000 };

    // `threadWait` bounds the wait for each worker at exit; only tests shorten it.
    explicit CThreadRegistry(std::chrono::milliseconds threadWait = kThreadWait)
        : threadWait_(threadWait)
    {
    }
    CThreadRegistry(const CThreadRegistry&) = delete;
    CThreadRegistry& operator=(const CThreadRegistry&) = delete;

    // False once StopAll has begun: the caller must then end at once.
    bool AddArchiveThread(ThreadId id, QThread* handle, int weight);
    bool AddImageThread(ThreadId id, QThread* handle, int weight);
    // Ignored once StopAll has begun, so the lists stay stable while it walks them.
    void RemoveArchiveThread(ThreadId id, int weight);
    void RemoveImageThread(ThreadId id, int weight);

    // Closes the registry for good and posts WM_THREAD_STOP to every
    // registered worker, group by group; with `wait`, waits for each worker
    // of a group (at most the thread wait each) before going on with the next
    // group. A worker that outlives its wait is left running.
    // Only the first call stops anything; later calls return at once.
    void StopAll(bool wait);

    bool IsClosing() const { return closing_.load(); }
    int RegisteredCount() const;

private:
    struct Group {
        std::vector<ThreadId> ids;
        std::vector<QThread*> handles;
    };
    bool Add(Group& group, ThreadId id, QThread* handle, int weight);
    void Remove(Group& group, ThreadId id, int weight);
    void Stop(const Group& group, bool wait) const;

    const std::chrono::milliseconds threadWait_;
    std::atomic<bool> closing_{false};
    mutable TimedMutex lock_; // guards registered_ and the three groups
    int registered_ = 0;
    Group archive_, image_, other_;
};

} // namespace vistrel
