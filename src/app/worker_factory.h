// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/instance_settings.h"
#include "common/event.h"
#include "common/recorder_display.h"
#include "common/thread_registry.h"
#include "common/video_source.h"
#include "common/worker_thread.h"

#include <memory>

namespace vistrel {

class LiveFrames;

// Makes the two worker threads, suspended. The program uses the recorder's
// own archive and image threads; tests substitute workers that only record
// how they were started and stopped. Called on the user-interface thread.
class IWorkerFactory {
public:
    virtual ~IWorkerFactory() = default;
    virtual std::unique_ptr<CWorkerThread> CreateArchiveThread(IRecorderDisplay& display, InstanceSettings& settings,
                                                               CThreadRegistry& registry) = 0;
    virtual std::unique_ptr<CWorkerThread> CreateImageThread(IRecorderDisplay& display, IVideoSource& video,
                                                             InstanceSettings& settings, CThreadRegistry& registry) = 0;
};

// CArchiveThread and CImageThread; the image thread posts its motion events
// to `events` (none: no events), which must outlive the thread.
class RecorderWorkerFactory : public IWorkerFactory {
public:
    explicit RecorderWorkerFactory(IEventSink* events = nullptr, LiveFrames* live = nullptr)
        : events_(events)
        , live_(live)
    {
    }

    std::unique_ptr<CWorkerThread> CreateArchiveThread(IRecorderDisplay& display, InstanceSettings& settings,
                                                       CThreadRegistry& registry) override;
    std::unique_ptr<CWorkerThread> CreateImageThread(IRecorderDisplay& display, IVideoSource& video,
                                                     InstanceSettings& settings, CThreadRegistry& registry) override;

private:
    IEventSink* const events_;
    LiveFrames* const live_;
};

} // namespace vistrel
