// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/worker_factory.h"
#include "support/fake_workers.h"

#include <functional>
#include <memory>

namespace vistrel::test {

// Makes FakeWorkers named "archive" and "image", and keeps the display they
// were given: the one the program's workers would write to.
class FakeWorkerFactory : public IWorkerFactory {
public:
    std::unique_ptr<CWorkerThread> CreateArchiveThread(IRecorderDisplay& display, InstanceSettings&,
                                                       CThreadRegistry& registry) override
    {
        ++created;
        archiveDisplay = &display;
        return std::make_unique<FakeWorker>(CWorkerThread::Group::Archive, "archive", log, registry, [this] {
            if (onArchiveStop)
                onArchiveStop();
        });
    }
    std::unique_ptr<CWorkerThread> CreateImageThread(IRecorderDisplay& display, IVideoSource&, InstanceSettings&,
                                                     CThreadRegistry& registry) override
    {
        ++created;
        imageDisplay = &display;
        return std::make_unique<FakeWorker>(CWorkerThread::Group::Image, "image", log, registry, [this] {
            if (onImageStop)
                onImageStop();
        });
    }

    WorkerLog log;
    int created = 0;
    IRecorderDisplay* archiveDisplay = nullptr;
    IRecorderDisplay* imageDisplay = nullptr;
    std::function<void()> onArchiveStop; // runs on the archive worker as it stops
    std::function<void()> onImageStop;   // runs on the image worker as it stops
};

} // namespace vistrel::test
