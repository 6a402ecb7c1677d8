// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>

namespace vistrel {

// The folder of the instance lock files: the settings store's own folder
// (DefaultRegistryFolder), because a number stands for the keys "Camera<n>"
// of that store. Two processes on one store then meet at the same lock files
// whatever else differs in their environments (a service without
// XDG_RUNTIME_DIR beside a desktop session); the locks are on the folder's
// files, not its name, so two spellings of one folder meet too.
std::string InstanceLockDir();

// The process's instance number, held as an exclusive flock on
// "<lock dir>/instance-<n>.lock" for as long as the object lives. The
// kernel releases the lock when the process ends, however it ends, so a
// crashed instance never keeps its number. Used on the user-interface thread.
class InstanceLock {
public:
    static constexpr int kMaxInstances = 100;

    struct Result {
        std::unique_ptr<InstanceLock> lock; // null when no number could be taken
        bool allTaken = false;              // every number 1..100 is held by another process
        bool wantedHeld = false;            // the number asked for is held by another process
        std::string error;                  // why the folder or a lock file could not be used
    };

    // Takes the lowest free number 1..100 in `dir`, or with `wanted` (1..100)
    // that number or none, creating the folder (each missing part with mode
    // 0700) where it is missing.
    static Result Acquire(const std::string& dir, int wanted = 0);

    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    int number() const { return number_; }

private:
    InstanceLock(int number, int fd)
        : number_(number)
        , fd_(fd)
    {
    }
    int number_;
    int fd_;
};

} // namespace vistrel
