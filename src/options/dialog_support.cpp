// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/dialog_support.h"

#include "common/worker_thread.h"
#include "options/dialog_host.h"


namespace vistrel {

ThreadPoster DefaultThreadPoster()
{
    return [](ThreadId id, int message, quintptr wParam, qintptr lParam) {
        return PostThreadMessage(id, message, wParam, lParam);
    };
}

void AnnounceSettingsChanged(IDialogHost& host, const ThreadPoster& post)
{
    post(host.ImageThreadId(), WM_SETTINGS_CHANGED, 0, 0);
    post(host.ArchiveThreadId(), WM_SETTINGS_CHANGED, 0, 0);
}

} // namespace vistrel
