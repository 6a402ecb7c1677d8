// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/worker_thread.h"
#include "pipeline/image_stepper.h"

namespace vistrel {

// The image worker: on its timer it pulls the latest frame from the video
// source and runs it through the per-camera steps (ImageStepper). Created,
// resumed and destroyed on the user-interface thread; other threads reach it
// only by posting WM_THREAD_STOP and WM_SETTINGS_CHANGED to its thread id.
class CImageThread : public CWorkerThread {
public:
    // The program passes InstanceSettings::Instance(); the display, the
    // source, the settings, the event sink (none: no motion events) and
    // `live` (where pictures for remote viewers go, if anywhere) must outlive
    // the thread.
    CImageThread(IRecorderDisplay& display, IVideoSource& source, InstanceSettings& settings,
        CThreadRegistry& registry = CThreadRegistry::Instance(), ImageClock clock = {}, IEventSink* events = nullptr,
        LiveFrames* live = nullptr);
    // Stops a running thread before the stepper it uses goes away.
    ~CImageThread() override;

protected:
    void OnThreadStart() override;
    void OnThreadMessage(int message, quintptr wParam, qintptr lParam) override;
    void OnTimer() override;

private:
    ImageStepper stepper_; // used on the image thread only
};

} // namespace vistrel
