// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/image_thread.h"

#include <utility>

namespace vistrel {

CImageThread::CImageThread(IRecorderDisplay& display, IVideoSource& source, InstanceSettings& settings,
    CThreadRegistry& registry, ImageClock clock, IEventSink* events, LiveFrames* live)
    : CWorkerThread(Group::Image, registry)
    , stepper_(display, source, settings, std::move(clock), kLockWait, events)
{
    stepper_.SetLiveFrames(live);
}

CImageThread::~CImageThread()
{
    StopAndWait();
}

void CImageThread::OnThreadStart()
{
    SetTimer(stepper_.Start());
}

void CImageThread::OnThreadMessage(int message, quintptr, qintptr)
{
    // Both take effect at the next tick, at most 100 ms away.
    if (message == WM_THREAD_STOP)
        stepper_.RequestQuit();
    else if (message == WM_SETTINGS_CHANGED)
        stepper_.RequestReload();
}

void CImageThread::OnTimer()
{
    KillTimer();
    const std::optional<int> next = stepper_.Tick();
    if (next)
        SetTimer(*next);
    else
        PostQuit();
}

} // namespace vistrel
