// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/thread_registry.h"

#include "common/worker_thread.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace vistrel {

CThreadRegistry& CThreadRegistry::Instance()
{
    static CThreadRegistry registry;
    return registry;
}

bool CThreadRegistry::AddArchiveThread(ThreadId id, QThread* handle, int weight)
{
    return Add(archive_, id, handle, weight);
}

bool CThreadRegistry::AddImageThread(ThreadId id, QThread* handle, int weight)
{
    return Add(image_, id, handle, weight);
}

void CThreadRegistry::RemoveArchiveThread(ThreadId id, int weight)
{
    Remove(archive_, id, weight);
}

void CThreadRegistry::RemoveImageThread(ThreadId id, int weight)
{
    Remove(image_, id, weight);
}

bool CThreadRegistry::Add(Group& group, ThreadId id, QThread* handle, int weight)
{
    if (closing_)
        return false;
    TimedLock guard(lock_);
    if (!guard || closing_)
        return false;
    group.ids.push_back(id);
    group.handles.push_back(handle);
    registered_ += weight;
    return true;
}

void CThreadRegistry::Remove(Group& group, ThreadId id, int weight)
{
    if (closing_)
        return;
    TimedLock guard(lock_);
    if (!guard || closing_)
        return;
    auto it = std::find(group.ids.begin(), group.ids.end(), id);
    if (it == group.ids.end())
        return;
    const auto index = it - group.ids.begin();
    group.ids.erase(it);
    group.handles.erase(group.handles.begin() + index);
    registered_ -= weight;
}

int CThreadRegistry::RegisteredCount() const
{
    TimedLock guard(lock_);
    return guard ? registered_ : -1;
}

void CThreadRegistry::StopAll(bool wait)
{
    {
        // Taken so that no Add or Remove is half-way through when the lists freeze.
        TimedLock guard(lock_);
        // Stopping happens once: a second walk would meet workers that
        // ended (and may be gone) since the first.
        if (closing_.exchange(true))
            return;
    }
    Stop(archive_, wait);
    Stop(image_, wait);
    Stop(other_, wait);
}

void CThreadRegistry::Stop(const Group& group, bool wait) const
{
    for (ThreadId id : group.ids)
        PostThreadMessage(id, WM_THREAD_STOP, 1, 0);
    if (!wait)
        return;
    for (QThread* handle : group.handles) {
        if (handle)
            handle->wait(QDeadlineTimer(threadWait_.count()));
    }
}

} // namespace vistrel
