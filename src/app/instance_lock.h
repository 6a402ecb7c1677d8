#pragma once

#include <memory>
#include <string>

namespace vistrel {

// The folder of the instance lock files: VISTREL_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/vistrel, else /tmp/vistrel-<uid>.
std::string InstanceRuntimeDir();

// The process's instance number, held as an exclusive flock on
// "<runtime dir>/instance-<n>.lock" for as long as the object lives. The
// kernel releases the lock when the process ends, however it ends, so a
// crashed instance never keeps its number. Used on the user-interface thread.
class InstanceLock {
public:
    static constexpr int kMaxInstances = 100;

    struct Result {
        std::unique_ptr<InstanceLock> lock; // null when no number could be taken
        bool allTaken = false;              // every number 1..100 is held by another process
        std::string error;                  // why the folder or a lock file could not be used
    };

    // Takes the lowest free number 1..100 in `dir`, creating the folder
    // (mode 0700) where it is missing.
    static Result Acquire(const std::string& dir);

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
