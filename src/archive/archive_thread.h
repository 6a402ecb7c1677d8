// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/instance_settings.h"
#include "archive/archive_keeper.h"
#include "common/recorder_display.h"
#include "common/worker_thread.h"

namespace vistrel {

// The process's archive worker: counts each camera's archive when it starts
// and after settings changes, and prunes every 200 ms. Created, resumed and
// destroyed on the user-interface thread; the handlers run on the worker
// thread; other threads only post WM_SETTINGS_CHANGED, WM_THREAD_STOP and
// (the image thread, when a save finds its disk full) WM_ROOM_WANTED.
class CArchiveThread : public CWorkerThread {
    Q_OBJECT
public:
    CArchiveThread(IRecorderDisplay& display, InstanceSettings& settings,
                   CThreadRegistry& registry = CThreadRegistry::Instance());
    ~CArchiveThread() override;

    // From the end of one pass to the start of the next.
    static constexpr int kTickMs = 200;

protected:
    void OnThreadStart() override;
    void OnThreadMessage(int message, quintptr wParam, qintptr lParam) override;
    void OnTimer() override;

private:
    ArchiveKeeper keeper_; // used on the worker thread only
    InstanceSettings& settings_;
};

} // namespace vistrel
