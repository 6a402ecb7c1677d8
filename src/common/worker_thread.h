// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/messages.h"
#include "common/thread_registry.h"

#include <QObject>
#include <QThread>

#include <atomic>

#include <functional>
#include <memory>

class QTimer;

namespace vistrel {

// Posts a thread message to the worker with that id. Messages posted before
// the worker runs wait in its queue. False when no such worker exists.
bool PostThreadMessage(ThreadId id, int message, quintptr wParam, qintptr lParam);

// Base of the image and archive workers: a QThread with its own event loop,
// thread messages as events, and one single-shot precise timer re-armed at
// each tick. The object is created, resumed and destroyed on the
// user-interface thread; the virtual handlers all run on the worker thread.
class CWorkerThread : public QThread {
    Q_OBJECT
public:
    enum class Group { Archive, Image };

    explicit CWorkerThread(Group group, CThreadRegistry& registry = CThreadRegistry::Instance());
    ~CWorkerThread() override;

    ThreadId threadId() const { return id_; }
    // Workers are created suspended; this starts the thread.
    void Resume() { start(); }

protected:
    // WM_THREAD_START, posted by the thread to itself once it has registered.
    virtual void OnThreadStart() = 0;
    // WM_THREAD_STOP, WM_SETTINGS_CHANGED and any other posted message.
    virtual void OnThreadMessage(int message, quintptr wParam, qintptr lParam) = 0;
    // The timer armed with SetTimer has fired; it is already disarmed.
    virtual void OnTimer() = 0;

    // Arms the one timer (0 ms allowed), replacing a pending one.
    void SetTimer(int ms);
    void KillTimer();
    bool TimerPending() const;
    // Delivers the messages waiting in this thread's queue (inside a long pass).
    void DispatchPendingMessages();
    // Ends the event loop once the current handler returns.
    void PostQuit();
    // Asks a running worker to stop as WM_THREAD_STOP does and waits for it.
    // Derived classes call it from their own destructor: by the time the base
    // destructor runs, their members are gone and the thread must not be
    // running any more.
    void StopAndWait();

private:
    class Receiver;
    void run() override;
    void Dispatch(int message, quintptr wParam, qintptr lParam);

    const Group group_;
    CThreadRegistry& registry_;
    const ThreadId id_;
    std::unique_ptr<Receiver> receiver_; // lives on the worker thread
    std::atomic<int> waitingMessages_{0}; // posted to this worker and not yet delivered; any thread
    QTimer* timer_ = nullptr;            // created and destroyed inside run()
};

// The short-lived exit thread: stops every worker through the registry,
// waiting for each, then runs `done` on the thread of `context`.
void StartExitThread(CThreadRegistry& registry, QObject* context, std::function<void()> done);

} // namespace vistrel
