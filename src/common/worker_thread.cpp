// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/worker_thread.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace vistrel {

namespace {

// Which receiver object stands for which worker thread id. The only global
// besides the settings and the thread registry: posting by id needs it.
struct Directory {
    struct Entry {
        QObject* receiver = nullptr;
        std::atomic<int>* waiting = nullptr; // the worker's count of undelivered messages
    };
    std::mutex mutex; // guards receivers
    std::unordered_map<ThreadId, Entry> receivers;
};

Directory& directory()
{
    static Directory d;
    return d;
}

std::atomic<ThreadId> nextThreadId{1};

} // namespace

class CWorkerThread::Receiver : public QObject {
public:
    explicit Receiver(CWorkerThread& owner)
        : owner_(owner)
    {
    }
    bool event(QEvent* e) override
    {
        if (e->type() >= QEvent::User && e->type() <= QEvent::MaxUser) {
            auto* message = static_cast<ThreadMessageEvent*>(e);
            owner_.waitingMessages_.fetch_sub(1, std::memory_order_relaxed);
            owner_.Dispatch(message->message(), message->wParam(), message->lParam());
            return true;
        }
        return QObject::event(e);
    }

private:
    CWorkerThread& owner_;
};

bool PostThreadMessage(ThreadId id, int message, quintptr wParam, qintptr lParam)
{
    Directory& d = directory();
    std::lock_guard guard(d.mutex);
    auto it = d.receivers.find(id);
    if (it == d.receivers.end())
        return false;
    it->second.waiting->fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(it->second.receiver, new ThreadMessageEvent(message, wParam, lParam));
    return true;
}

CWorkerThread::CWorkerThread(Group group, CThreadRegistry& registry)
    : group_(group)
    , registry_(registry)
    , id_(nextThreadId++)
    , receiver_(std::make_unique<Receiver>(*this))
{
    receiver_->moveToThread(this);
    Directory& d = directory();
    std::lock_guard guard(d.mutex);
    d.receivers[id_] = { receiver_.get(), &waitingMessages_ };
}

CWorkerThread::~CWorkerThread()
{
    {
        Directory& d = directory();
        std::lock_guard guard(d.mutex);
        d.receivers.erase(id_);
    }
    if (isRunning()) {
        quit();
        wait();
    }
}

void CWorkerThread::run()
{
    const bool registered = group_ == Group::Archive ? registry_.AddArchiveThread(id_, this, 1)
                                                     : registry_.AddImageThread(id_, this, 1);
    if (!registered)
        return; // shutdown has begun: end at once

    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, receiver_.get(), [this] { OnTimer(); });
    timer_ = &timer;

    PostThreadMessage(id_, WM_THREAD_START, group_ == Group::Archive ? 0 : 1, 0);
    exec();

    timer_ = nullptr;
    if (group_ == Group::Archive)
        registry_.RemoveArchiveThread(id_, 1);
    else
        registry_.RemoveImageThread(id_, 1);
}

void CWorkerThread::Dispatch(int message, quintptr wParam, qintptr lParam)
{
    if (message == WM_THREAD_START)
        OnThreadStart();
    else
        OnThreadMessage(message, wParam, lParam);
}

void CWorkerThread::SetTimer(int ms)
{
    if (timer_)
        timer_->start(ms < 0 ? 0 : ms);
}

void CWorkerThread::KillTimer()
{
    if (timer_)
        timer_->stop();
}

bool CWorkerThread::TimerPending() const
{
    return timer_ && timer_->isActive();
}

void CWorkerThread::DispatchPendingMessages()
{
    // Called after every file of a long pass: with nothing posted it costs
    // one atomic read, not a turn of the event loop (a poll of its sources).
    if (waitingMessages_.load(std::memory_order_acquire) == 0)
        return;
    QCoreApplication::processEvents();
}

void CWorkerThread::PostQuit()
{
    exit(0);
}

void CWorkerThread::StopAndWait()
{
    if (!isRunning())
        return;
    PostThreadMessage(id_, WM_THREAD_STOP, 1, 0);
    wait();
}

void StartExitThread(CThreadRegistry& registry, QObject* context, std::function<void()> done)
{
    QPointer<QObject> target(context);
    QThread* thread = QThread::create([&registry, target, done = std::move(done)]() mutable {
        registry.StopAll(true);
        if (target)
            QMetaObject::invokeMethod(target, std::move(done), Qt::QueuedConnection);
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

} // namespace vistrel
