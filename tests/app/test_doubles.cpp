#include "test_doubles.h"

#include <algorithm>

namespace vistrel::test {

void WorkerLog::Add(const std::string& event)
{
    std::lock_guard guard(mutex_);
    events_.push_back(event);
}

std::vector<std::string> WorkerLog::Events() const
{
    std::lock_guard guard(mutex_);
    return events_;
}

int WorkerLog::IndexOf(const std::string& event) const
{
    std::lock_guard guard(mutex_);
    const auto it = std::find(events_.begin(), events_.end(), event);
    return it == events_.end() ? -1 : int(it - events_.begin());
}

FakeWorker::FakeWorker(Group group, std::string name, WorkerLog& log, CThreadRegistry& registry,
                       std::function<void()> onStop)
    : CWorkerThread(group, registry)
    , name_(std::move(name))
    , log_(log)
    , onStop_(std::move(onStop))
{
}

FakeWorker::~FakeWorker()
{
    // Before the members the handlers use are gone.
    StopAndWait();
}

void FakeWorker::OnThreadStart()
{
    log_.Add(name_ + " start");
}

void FakeWorker::OnThreadMessage(int message, quintptr, qintptr)
{
    if (message == WM_SETTINGS_CHANGED) {
        log_.Add(name_ + " settings");
    } else if (message == WM_THREAD_STOP) {
        if (onStop_)
            onStop_();
        log_.Add(name_ + " stop");
        PostQuit();
    }
}

std::unique_ptr<CWorkerThread> FakeWorkerFactory::CreateArchiveThread(IRecorderDisplay&, InstanceSettings&,
                                                                      CThreadRegistry& registry)
{
    ++created;
    return std::make_unique<FakeWorker>(CWorkerThread::Group::Archive, "archive", log, registry,
                                        [this] {
                                            if (onArchiveStop)
                                                onArchiveStop();
                                        });
}

std::unique_ptr<CWorkerThread> FakeWorkerFactory::CreateImageThread(IRecorderDisplay&, IVideoSource&,
                                                                    InstanceSettings&, CThreadRegistry& registry)
{
    ++created;
    return std::make_unique<FakeWorker>(CWorkerThread::Group::Image, "image", log, registry, [this] {
        if (onImageStop)
            onImageStop();
    });
}

} // namespace vistrel::test
