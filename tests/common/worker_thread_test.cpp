// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/worker_thread.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <vector>

namespace vistrel {
namespace {

// Counts ticks on a 0 ms timer while it checks, inside a long pass, that
// posted messages arrive through DispatchPendingMessages.
class PassWorker : public CWorkerThread {
public:
    explicit PassWorker(CThreadRegistry& registry)
        : CWorkerThread(Group::Archive, registry)
    {
    }
    std::atomic<int> ticks{0};
    std::atomic<bool> sawChangeInsidePass{false};
    std::atomic<quintptr> startParam{99};
    std::atomic<bool> passStarted{false};
    std::atomic<bool> stopped{false};

protected:
    void OnThreadStart() override { SetTimer(0); }
    void OnThreadMessage(int message, quintptr, qintptr) override
    {
        if (message == WM_SETTINGS_CHANGED)
            settingsChanged_ = true;
        if (message == WM_THREAD_STOP)
            quit_ = true;
    }
    void OnTimer() override
    {
        if (quit_) {
            stopped = true;
            PostQuit();
            return;
        }
        ++ticks;
        if (ticks == 3) {
            // A long pass: keep dispatching until the settings change shows up.
            passStarted = true;
            QElapsedTimer timer;
            timer.start();
            while (!settingsChanged_ && timer.elapsed() < 10000) {
                DispatchPendingMessages();
                QThread::msleep(1);
            }
            sawChangeInsidePass = settingsChanged_;
        }
        SetTimer(ticks < 5 ? 0 : 5);
    }

private:
    bool quit_ = false;
    bool settingsChanged_ = false;
};

TEST(WorkerThread, TicksDispatchesInsideAPassAndStopsOnRequest)
{
    CThreadRegistry registry;
    PassWorker worker(registry);
    // Posted before the thread runs: waits in its queue.
    worker.Resume();
    ASSERT_TRUE(test::waitFor([&] { return worker.passStarted.load(); }));
    EXPECT_TRUE(PostThreadMessage(worker.threadId(), WM_SETTINGS_CHANGED, 0, 0));
    ASSERT_TRUE(test::waitFor([&] { return worker.ticks.load() >= 6; }));
    EXPECT_TRUE(worker.sawChangeInsidePass.load());

    registry.StopAll(true);
    EXPECT_TRUE(worker.isFinished());
    EXPECT_TRUE(worker.stopped.load());
}

TEST(WorkerThread, PostingToAnUnknownIdFails)
{
    EXPECT_FALSE(PostThreadMessage(0, WM_SETTINGS_CHANGED, 0, 0));
}

} // namespace
} // namespace vistrel
