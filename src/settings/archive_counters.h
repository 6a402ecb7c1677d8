// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/instance_settings.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace vistrel {

// One thread's changes to the archive counters of InstanceSettings
// (ArchiveCount, ArchiveBytes, LastImageBytes), each made under that
// counter's own lock: never two locks at once, never with SettingsLock held.
// A change whose lock wait runs out is kept and made first at the next use of
// that counter, so none is lost and the thread goes on meanwhile. Lives on
// one worker thread (the image thread, the archive thread), which alone
// calls it; each such thread has its own.
class ArchiveCounters {
public:
    ArchiveCounters(InstanceSettings& settings, std::chrono::milliseconds lockWait);

    // Adds to a camera's ArchiveCount and ArchiveBytes (negative amounts take
    // away). `through`, when valid, is the newest of the image thread's
    // images they then hold (ArchiveCountLastStamp, ArchiveBytesLastStamp).
    // True when both changes are made now.
    bool Add(int camera, int32_t count, int64_t bytes, ArchiveStamp through = {});
    // Sets LastImageBytes, now or at the next use.
    void SetLastImageBytes(int camera, uint32_t bytes);
    // Sets LastImageBytes only if its lock comes in time, for a size that a
    // newer image may have made stale by the next use.
    bool TrySetLastImageBytes(int camera, uint32_t bytes);
    // Makes the changes still kept. True when none is left.
    bool Settle(int camera);

    // A counter with this thread's kept change made; false, and nothing
    // read, when its lock wait ran out.
    bool ReadCount(int camera, int32_t& count, ArchiveStamp* through = nullptr);
    bool ReadBytes(int camera, int64_t& bytes, ArchiveStamp* through = nullptr);
    bool ReadLastImageBytes(int camera, uint32_t& bytes);

private:
    // An addition to one counter not made yet.
    template <typename Value>
    struct Kept {
        Value amount = 0;
        ArchiveStamp through;
    };

    // Under the counter's lock: the kept change made, then the counter read
    // where asked. The lock is taken only when there is something to do.
    template <typename Value>
    bool Update(TimedMutex& lock, Value& counter, ArchiveStamp& counterThrough, Kept<Value>& kept, Value* value,
                ArchiveStamp* through);
    bool MakeKeptAdditions(int camera);
    bool UpdateLastImageBytes(int camera, uint32_t* bytes);

    InstanceSettings& settings_;
    const std::chrono::milliseconds lockWait_;
    std::array<Kept<int32_t>, kCameraCount> count_;
    std::array<Kept<int64_t>, kCameraCount> bytes_;
    std::array<std::optional<uint32_t>, kCameraCount> lastImageBytes_;
};

} // namespace vistrel
