// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/worker_factory.h"

#include "archive/archive_thread.h"
#include "pipeline/image_thread.h"

namespace vistrel {

std::unique_ptr<CWorkerThread> RecorderWorkerFactory::CreateArchiveThread(IRecorderDisplay& display,
                                                                          InstanceSettings& settings,
                                                                          CThreadRegistry& registry)
{
    return std::make_unique<CArchiveThread>(display, settings, registry);
}

std::unique_ptr<CWorkerThread> RecorderWorkerFactory::CreateImageThread(IRecorderDisplay& display, IVideoSource& video,
                                                                        InstanceSettings& settings,
                                                                        CThreadRegistry& registry)
{
    return std::make_unique<CImageThread>(display, video, settings, registry, ImageClock{}, events_, live_);
}

} // namespace vistrel
