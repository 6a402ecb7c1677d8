// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_thread.h"

namespace vistrel {

CArchiveThread::CArchiveThread(IRecorderDisplay& display, InstanceSettings& settings, CThreadRegistry& registry)
    : CWorkerThread(Group::Archive, registry)
    , keeper_(settings, display, [this] { DispatchPendingMessages(); })
    , settings_(settings)
{
    // Messages posted before the thread runs wait in its queue.
    settings_.Room.archiveThread.store(threadId());
}

CArchiveThread::~CArchiveThread()
{
    uint32_t own = threadId();
    settings_.Room.archiveThread.compare_exchange_strong(own, 0);
    // The keeper goes before the base class stops the thread: stop it here.
    StopAndWait();
}

void CArchiveThread::OnThreadStart()
{
    keeper_.TakeSettingsSnapshot();
    if (keeper_.CountArchives() == ArchiveKeeper::Pass::Quit) {
        PostQuit();
        return;
    }
    // No prune at start: the first follows one tick after the count.
    SetTimer(kTickMs);
}

void CArchiveThread::OnThreadMessage(int message, quintptr, qintptr)
{
    if (message == WM_THREAD_STOP)
        keeper_.RequestQuit();
    else if (message == WM_SETTINGS_CHANGED)
        keeper_.NotifySettingsChanged();
    else if (message == WM_ROOM_WANTED && TimerPending())
        SetTimer(0); // between passes: make room now; in a pass, the next tick comes at once
}

void CArchiveThread::OnTimer()
{
    KillTimer();
    if (keeper_.QuitRequested()) {
        PostQuit();
        return;
    }
    if (keeper_.CountDue()) {
        // Only cameras not counted since their path changed are counted.
        const bool current = !keeper_.SettingsChanged() || keeper_.TakeSettingsSnapshot();
        if (current && keeper_.CountArchives() == ArchiveKeeper::Pass::Quit) {
            PostQuit();
            return;
        }
    }
    if (keeper_.PruneArchives() == ArchiveKeeper::Pass::Quit) {
        PostQuit();
        return; // not re-armed: the thread is ending
    }
    SetTimer(settings_.Room.wanted.load() != 0 ? 0 : kTickMs);
}

} // namespace vistrel
