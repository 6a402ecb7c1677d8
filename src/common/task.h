// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class QThread;

namespace vistrel {

// How a job tells how far it has come: `done` of `total` steps. Called on
// the job's thread, as often as the job likes; an empty one is never called.
using TaskProgress = std::function<void(int64_t done, int64_t total)>;

// A one-off job: runs on its task's thread, reports through `progress`, and
// returns soon after `cancel` is set, leaving nothing half done behind.
using TaskJob = std::function<void(const TaskProgress& progress, const std::atomic<bool>& cancel)>;

// One job on a thread of its own, started once. Lives on the thread that
// made it (the user-interface thread, or a tool's main thread, running an
// event loop), which alone starts, cancels and destroys it; `progress` and
// `finished` are queued to that thread, so slots never run on the job's.
// Progress coalesces: when the job reports faster than it is shown, only the
// latest value arrives, always before `finished`. `finished` comes once,
// after the job has returned and its thread has ended.
class Task : public QObject {
    Q_OBJECT
public:
    explicit Task(TaskJob job, QObject* parent = nullptr);
    ~Task() override; // cancels the job and waits for its thread to end

    // Starts the job on the task's thread; later calls do nothing.
    void Start();
    // Asks the job to stop; `finished` still comes, once it has.
    void Cancel();
    // Started and `finished` not emitted yet.
    bool isRunning() const { return started_ && !ended_; }
    bool isCancelled() const { return cancel_.load(); }

Q_SIGNALS:
    void progress(qint64 done, qint64 total);
    void finished();

protected:
    // Cancels the job and waits for its thread to end. A subclass whose
    // members the job uses calls it in its own destructor, before they go.
    void CancelAndWait();

private:
    // On the job's thread: keeps the latest count and posts one notice at a time.
    void Report(int64_t done, int64_t total);
    void OnThreadEnded();

    const TaskJob job_;
    std::atomic<bool> cancel_{false};
    bool started_ = false;
    bool ended_ = false;

    std::mutex progressMutex_; // guards done_, total_ and progressQueued_
    int64_t done_ = 0;
    int64_t total_ = 0;
    bool progressQueued_ = false; // a progress notice is on its way to the task's thread

    std::unique_ptr<QThread> thread_;
};

} // namespace vistrel
