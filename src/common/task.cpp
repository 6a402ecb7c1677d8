// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/task.h"

#include <QThread>

namespace vistrel {

Task::Task(TaskJob job, QObject* parent)
    : QObject(parent)
    , job_(std::move(job))
{
}

Task::~Task()
{
    CancelAndWait();
}

void Task::CancelAndWait()
{
    // The job may still post notices until it returns; they are dropped with
    // this object once the thread has ended.
    if (thread_) {
        cancel_ = true;
        thread_->wait();
    }
}

void Task::Start()
{
    if (started_)
        return;
    started_ = true;
    thread_.reset(QThread::create([this] {
        const TaskProgress progress = [this](int64_t done, int64_t total) { Report(done, total); };
        job_(progress, cancel_);
    }));
    // QThread::finished is emitted on the ending thread, after the job's last
    // notice was posted: queued, it arrives here after that notice.
    connect(thread_.get(), &QThread::finished, this, &Task::OnThreadEnded, Qt::QueuedConnection);
    thread_->start();
}

void Task::Cancel()
{
    cancel_ = true;
}

void Task::Report(int64_t done, int64_t total)
{
    {
        std::lock_guard lock(progressMutex_);
        done_ = done;
        total_ = total;
        if (progressQueued_)
            return;
        progressQueued_ = true;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            int64_t done = 0;
            int64_t total = 0;
            {
                std::lock_guard lock(progressMutex_);
                progressQueued_ = false;
                done = done_;
                total = total_;
            }
            Q_EMIT progress(done, total);
        },
        Qt::QueuedConnection);
}

void Task::OnThreadEnded()
{
    thread_->wait(); // it has ended: this returns at once
    ended_ = true;
    Q_EMIT finished();
}

} // namespace vistrel
