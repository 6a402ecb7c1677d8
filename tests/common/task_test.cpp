// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/task.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

namespace vistrel {
namespace {

using test::waitFor;

TEST(TaskTest, ReportsOnItsOwnThreadTheLatestProgressThenFinishedOnce)
{
    constexpr int64_t kSteps = 20000;
    std::atomic<bool> jobReturned{false};
    Task task([&](const TaskProgress& progress, const std::atomic<bool>&) {
        for (int64_t i = 1; i <= kSteps; ++i)
            progress(i, kSteps);
        jobReturned = true;
    });

    std::vector<std::pair<int64_t, int64_t>> seen;
    bool allOnOwnThread = true;
    int finished = 0;
    bool progressAfterFinished = false;
    bool finishedBeforeJobReturned = false;
    QObject::connect(&task, &Task::progress, [&](qint64 done, qint64 total) {
        allOnOwnThread &= QThread::currentThread() == task.thread();
        progressAfterFinished |= finished > 0;
        seen.emplace_back(done, total);
    });
    QObject::connect(&task, &Task::finished, [&] {
        allOnOwnThread &= QThread::currentThread() == task.thread();
        finishedBeforeJobReturned |= !jobReturned;
        ++finished;
    });
    task.Start();
    task.Start(); // once only
    EXPECT_TRUE(task.isRunning());
    ASSERT_TRUE(waitFor([&] { return finished > 0; }, std::chrono::seconds(60)));
    QCoreApplication::processEvents(); // anything still queued would arrive now

    EXPECT_EQ(finished, 1);
    EXPECT_FALSE(task.isRunning());
    EXPECT_TRUE(allOnOwnThread);
    EXPECT_FALSE(progressAfterFinished);
    EXPECT_FALSE(finishedBeforeJobReturned);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::pair(kSteps, kSteps));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST(TaskTest, CancelOrDestructionStopsTheJobAndWaitsForIt)
{
    // A job that runs until it is told to stop (or, should the task never
    // tell it, until a deadline, so that a failure ends the test).
    struct Seen {
        std::atomic<bool> started{false};
        std::atomic<bool> sawCancel{false};
        std::atomic<bool> returned{false};
    };
    const auto untilCancelled = [](Seen& seen) {
        return [&seen](const TaskProgress&, const std::atomic<bool>& cancel) {
            seen.started = true;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!cancel && std::chrono::steady_clock::now() < giveUp)
                QThread::yieldCurrentThread();
            seen.sawCancel = cancel.load();
            seen.returned = true;
        };
    };

    Seen cancelled;
    Task task(untilCancelled(cancelled));
    bool finished = false;
    QObject::connect(&task, &Task::finished, [&] { finished = true; });
    task.Start();
    ASSERT_TRUE(waitFor([&] { return cancelled.started.load(); }));
    task.Cancel();
    EXPECT_TRUE(task.isCancelled());
    ASSERT_TRUE(waitFor([&] { return finished; }, std::chrono::seconds(60)));
    EXPECT_TRUE(cancelled.sawCancel);

    // Destroyed while it runs: the job is told to stop and has returned by
    // the time the task is gone.
    Seen destroyed;
    auto running = std::make_unique<Task>(untilCancelled(destroyed));
    running->Start();
    ASSERT_TRUE(waitFor([&] { return destroyed.started.load(); }));
    running.reset();
    EXPECT_TRUE(destroyed.returned);
    EXPECT_TRUE(destroyed.sawCancel);
}

} // namespace
} // namespace vistrel
