#pragma once

#include "settings/instance_settings.h"
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

// CArchiveThread and CImageThread.
class RecorderWorkerFactory : public IWorkerFactory {
public:
    // `live` (may be null) receives the image thread's pictures for remote
    // viewers; it must outlive the image thread.
    explicit RecorderWorkerFactory(LiveFrames* live = nullptr) : live_(live) {}

    std::unique_ptr<CWorkerThread> CreateArchiveThread(IRecorderDisplay& display, InstanceSettings& settings,
                                                       CThreadRegistry& registry) override;
    std::unique_ptr<CWorkerThread> CreateImageThread(IRecorderDisplay& display, IVideoSource& video,
                                                     InstanceSettings& settings, CThreadRegistry& registry) override;

private:
    LiveFrames* const live_;
};

} // namespace vistrel
