#include "archive/archive_thread.h"

namespace vistrel {

CArchiveThread::CArchiveThread(IRecorderDisplay& display, InstanceSettings& settings, CThreadRegistry& registry)
    : CWorkerThread(Group::Archive, registry)
    , keeper_(settings, display, [this] { DispatchPendingMessages(); })
{
}

CArchiveThread::~CArchiveThread()
{
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
    SetTimer(kTickMs);
}

} // namespace vistrel
