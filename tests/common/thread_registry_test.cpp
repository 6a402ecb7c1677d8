// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/thread_registry.h"
#include "common/worker_thread.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace vistrel {
namespace {

// A worker that records the order in which the workers ended.
class StopRecorder : public CWorkerThread {
public:
    StopRecorder(Group group, CThreadRegistry& registry, std::vector<int>& order, std::mutex& mutex, int tag)
        : CWorkerThread(group, registry), order_(order), mutex_(mutex), tag_(tag)
    {
    }
    std::atomic<bool> started{false};

protected:
    void OnThreadStart() override { started = true; }
    void OnThreadMessage(int message, quintptr, qintptr) override
    {
        if (message == WM_THREAD_STOP) {
            std::lock_guard guard(mutex_);
            order_.push_back(tag_);
            PostQuit();
        }
    }
    void OnTimer() override {}

private:
    std::vector<int>& order_;
    std::mutex& mutex_;
    int tag_;
};

TEST(ThreadRegistry, StopAllWithNothingRegisteredClosesForGood)
{
    CThreadRegistry registry;
    registry.StopAll(true);
    EXPECT_TRUE(registry.IsClosing());
    EXPECT_FALSE(registry.AddImageThread(7, nullptr, 1));
    EXPECT_FALSE(registry.AddArchiveThread(8, nullptr, 1));
    EXPECT_EQ(registry.RegisteredCount(), 0);
}

TEST(ThreadRegistry, RemovalAfterClosingIsIgnoredAndUnknownIdsChangeNothing)
{
    CThreadRegistry registry;
    ASSERT_TRUE(registry.AddArchiveThread(1, nullptr, 1));
    ASSERT_TRUE(registry.AddImageThread(2, nullptr, 1));
    registry.RemoveImageThread(99, 1);
    EXPECT_EQ(registry.RegisteredCount(), 2);
    registry.RemoveImageThread(2, 1);
    EXPECT_EQ(registry.RegisteredCount(), 1);
    registry.StopAll(false);
    registry.RemoveArchiveThread(1, 1);
    EXPECT_EQ(registry.RegisteredCount(), 1);
}

TEST(ThreadRegistry, StopsTheArchiveWorkerBeforeTheImageWorker)
{
    CThreadRegistry registry;
    std::vector<int> order;
    std::mutex mutex;
    // The image worker registers first, so registration order cannot explain the result.
    StopRecorder image(CWorkerThread::Group::Image, registry, order, mutex, 2);
    image.Resume();
    ASSERT_TRUE(test::waitFor([&] { return image.started.load(); }));
    StopRecorder archive(CWorkerThread::Group::Archive, registry, order, mutex, 1);
    archive.Resume();
    ASSERT_TRUE(test::waitFor([&] { return archive.started.load(); }));
    EXPECT_EQ(registry.RegisteredCount(), 2);

    registry.StopAll(true);
    EXPECT_TRUE(image.isFinished());
    EXPECT_TRUE(archive.isFinished());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    // Removal at exit was ignored: the entries stay for the walk.
    EXPECT_EQ(registry.RegisteredCount(), 2);
}

TEST(ThreadRegistry, OnlyTheFirstStopAllWalksTheWorkers)
{
    CThreadRegistry registry;
    std::vector<int> order;
    std::mutex mutex;
    {
        StopRecorder worker(CWorkerThread::Group::Image, registry, order, mutex, 1);
        worker.Resume();
        ASSERT_TRUE(test::waitFor([&] { return worker.started.load(); }));
        registry.StopAll(true);
        EXPECT_TRUE(worker.isFinished());
    }
    // The worker's entry stayed (removals are ignored once closing) but the
    // worker is gone: a second stop must not touch it.
    registry.StopAll(true);
    EXPECT_EQ(order, (std::vector<int>{1}));
}

// A worker destroyed while running stops first, so its handlers never run
// on a half-destroyed object.
class TickingWorker : public CWorkerThread {
public:
    explicit TickingWorker(CThreadRegistry& registry)
        : CWorkerThread(Group::Image, registry)
    {
    }
    ~TickingWorker() override { StopAndWait(); }
    std::atomic<int> ticks{0};

protected:
    void OnThreadStart() override { SetTimer(0); }
    void OnThreadMessage(int message, quintptr, qintptr) override
    {
        if (message == WM_THREAD_STOP)
            quit_ = true;
    }
    void OnTimer() override
    {
        if (quit_) {
            PostQuit();
            return;
        }
        ++ticks;
        SetTimer(0);
    }

private:
    bool quit_ = false;
};

TEST(WorkerThread, DestroyingARunningWorkerStopsItFirst)
{
    CThreadRegistry registry;
    auto worker = std::make_unique<TickingWorker>(registry);
    worker->Resume();
    ASSERT_TRUE(test::waitFor([&] { return worker->ticks.load() > 10; }));
    worker.reset();
    EXPECT_EQ(registry.RegisteredCount(), 0);
}

// A worker that only ends once the test lets it, however it is asked to.
class HungWorker : public CWorkerThread {
public:
    HungWorker(Group group, CThreadRegistry& registry)
        : CWorkerThread(group, registry)
    {
    }
    ~HungWorker() override
    {
        release = true;
        StopAndWait();
    }
    std::atomic<bool> started { false }, release { false };

protected:
    void OnThreadStart() override { started = true; }
    void OnThreadMessage(int message, quintptr, qintptr) override
    {
        if (message != WM_THREAD_STOP)
            return;
        while (!release)
            QThread::msleep(10);
        PostQuit();
    }
    void OnTimer() override {}
};

TEST(ThreadRegistry, AHungWorkerIsWaitedForOnlyUntilTheThreadWaitEnds)
{
    using namespace std::chrono_literals;
    CThreadRegistry registry(200ms);
    HungWorker archive(CWorkerThread::Group::Archive, registry);
    archive.Resume();
    std::vector<int> order;
    std::mutex mutex;
    StopRecorder image(CWorkerThread::Group::Image, registry, order, mutex, 2);
    image.Resume();
    ASSERT_TRUE(test::waitFor([&] { return archive.started && image.started; }));

    std::atomic<bool> stopped { false };
    std::thread exitThread([&] {
        registry.StopAll(true);
        stopped = true;
    });
    const bool returned = test::waitFor([&] { return stopped.load(); }, 30s);
    archive.release = true; // lets a StopAll that waits for ever end too
    exitThread.join();
    EXPECT_TRUE(returned) << "StopAll waited for the hung worker";
    EXPECT_TRUE(image.wait(QDeadlineTimer(10000))) << "the image worker after it was never stopped";
    EXPECT_EQ(order, (std::vector<int> { 2 }));
}

TEST(ThreadRegistry, AWorkerStartedAfterStoppingBeganEndsAtOnce)
{
    CThreadRegistry registry;
    registry.StopAll(true);
    std::vector<int> order;
    std::mutex mutex;
    StopRecorder late(CWorkerThread::Group::Image, registry, order, mutex, 3);
    late.Resume();
    ASSERT_TRUE(late.wait(QDeadlineTimer(10000)));
    EXPECT_FALSE(late.started.load());
}

} // namespace
} // namespace vistrel
