// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/archive_counters.h"

#include "common/timed_lock.h"

namespace vistrel {

ArchiveCounters::ArchiveCounters(InstanceSettings& settings, std::chrono::milliseconds lockWait)
    : settings_(settings)
    , lockWait_(lockWait)
{
}

template <typename Value>
bool ArchiveCounters::Update(TimedMutex& mutex, Value& counter, ArchiveStamp& counterThrough, Kept<Value>& kept,
                             Value* value, ArchiveStamp* through)
{
    if (kept.amount == 0 && !kept.through.Valid() && !value)
        return true;
    TimedLock lock(mutex, lockWait_);
    if (!lock)
        return false;
    counter += kept.amount;
    if (kept.through.Valid())
        counterThrough = kept.through;
    kept = {};
    if (value)
        *value = counter;
    if (through)
        *through = counterThrough;
    return true;
}

bool ArchiveCounters::UpdateLastImageBytes(int camera, uint32_t* bytes)
{
    const size_t k = size_t(camera);
    if (!lastImageBytes_[k] && !bytes)
        return true;
    TimedLock lock(settings_.LastImageBytesLock[k], lockWait_);
    if (!lock)
        return false;
    if (lastImageBytes_[k])
        settings_.LastImageBytes[k] = *lastImageBytes_[k];
    lastImageBytes_[k].reset();
    if (bytes)
        *bytes = settings_.LastImageBytes[k];
    return true;
}

bool ArchiveCounters::Add(int camera, int32_t count, int64_t bytes, ArchiveStamp through)
{
    const size_t k = size_t(camera);
    count_[k].amount += count;
    bytes_[k].amount += bytes;
    if (through.Valid()) {
        count_[k].through = through;
        bytes_[k].through = through;
    }
    return MakeKeptAdditions(camera);
}

// Bytes first, then the count, as a save adds them.
bool ArchiveCounters::MakeKeptAdditions(int camera)
{
    const size_t k = size_t(camera);
    const bool bytesMade = Update<int64_t>(settings_.ArchiveBytesLock[k], settings_.ArchiveBytes[k],
                                           settings_.ArchiveBytesLastStamp[k], bytes_[k], nullptr, nullptr);
    const bool countMade = Update<int32_t>(settings_.ArchiveCountLock[k], settings_.ArchiveCount[k],
                                           settings_.ArchiveCountLastStamp[k], count_[k], nullptr, nullptr);
    return bytesMade && countMade;
}

void ArchiveCounters::SetLastImageBytes(int camera, uint32_t bytes)
{
    lastImageBytes_[size_t(camera)] = bytes;
    UpdateLastImageBytes(camera, nullptr);
}

bool ArchiveCounters::TrySetLastImageBytes(int camera, uint32_t bytes)
{
    const size_t k = size_t(camera);
    TimedLock lock(settings_.LastImageBytesLock[k], lockWait_);
    if (!lock)
        return false;
    settings_.LastImageBytes[k] = bytes;
    lastImageBytes_[k].reset();
    return true;
}

bool ArchiveCounters::Settle(int camera)
{
    const bool added = MakeKeptAdditions(camera);
    const bool set = UpdateLastImageBytes(camera, nullptr);
    return added && set;
}

bool ArchiveCounters::ReadCount(int camera, int32_t& count, ArchiveStamp* through)
{
    const size_t k = size_t(camera);
    return Update<int32_t>(settings_.ArchiveCountLock[k], settings_.ArchiveCount[k], settings_.ArchiveCountLastStamp[k],
                           count_[k], &count, through);
}

bool ArchiveCounters::ReadBytes(int camera, int64_t& bytes, ArchiveStamp* through)
{
    const size_t k = size_t(camera);
    return Update<int64_t>(settings_.ArchiveBytesLock[k], settings_.ArchiveBytes[k], settings_.ArchiveBytesLastStamp[k],
                           bytes_[k], &bytes, through);
}

bool ArchiveCounters::ReadLastImageBytes(int camera, uint32_t& bytes)
{
    return UpdateLastImageBytes(camera, &bytes);
}

} // namespace vistrel
