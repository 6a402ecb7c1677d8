// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "events/event_listener.h"

#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vistrel {

// Splits a command line into arguments as a POSIX shell does with quotes and
// backslashes, and nothing else: single quotes keep everything up to the
// next one; within double quotes a backslash keeps only $ ` " \ literal (and
// joins lines); outside quotes it keeps any character. $, globs and
// substitutions are plain text. False, with `error` saying why, for an
// unterminated quote or a backslash at the end.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& args, std::string& error);

// `arg` with %c (camera letter), %t (time of the edge, seconds since 1970),
// %e (edge name), %l (peak level), %f (the event's first image), %i (event
// id) and %% replaced; any other % sequence stays as it is. The values are
// substituted after splitting, so each stays within its argument.
std::string SubstitutePlaceholders(std::string_view arg, const EventEdge& edge, const Event& event);

// A list of edge names such as "motion-start, motion-end" as a set of edges;
// "" when every name is known, else what is wrong.
std::string ParseEdgeList(std::string_view list, std::bitset<kEdgeKindCount>& edges);

// Runs the event hook: one command, without a shell, for the edges chosen.
// Each run is its own process group with standard input from /dev/null and
// no descriptor of the recorder but standard output and error; at most
// `maxRunning` run at once, up to `maxQueued` wait, and further runs are
// dropped and counted. A run still going after the time-out is killed with
// its whole group. Failures are said once on standard error (and once when
// the hook works again), never per run.
//
// Runs its own thread, started by the constructor; the destructor drops the
// waiting runs, gives running ones `exitGrace` to finish, kills the rest and
// reaps every child. All public functions may be called from any thread.
class HookRunner : public IEventListener {
public:
    struct Options {
        int maxRunning = 4;
        size_t maxQueued = 32;
        std::chrono::milliseconds timeout{30000};
        std::chrono::milliseconds exitGrace{2000};
        std::function<void(const std::string&)> report; // one line for people; standard error if unset
    };
    struct Counts {
        uint64_t started = 0;
        uint64_t succeeded = 0;
        uint64_t failed = 0; // could not start, non-zero status, or killed
        uint64_t killed = 0; // at the time-out
        uint64_t dropped = 0;
    };

    static constexpr std::string_view kDefaultEdges = "motion-start,motion-end";

    explicit HookRunner(Options options);
    HookRunner()
        : HookRunner(Options{})
    {
    }
    ~HookRunner() override;
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // The hook's command line, split now; an empty line runs nothing. On an
    // error nothing changes and the text says why; "" when set.
    std::string SetCommand(std::string_view line);
    // The edges to run for, as "motion-start,motion-end"; on an unknown name
    // nothing changes and the text says why.
    std::string SetEdges(std::string_view list);
    void SetTimeout(std::chrono::milliseconds timeout);

    void OnEdge(const EventEdge& edge, const Event& event) override;

    Counts counts() const;
    int running() const;

private:
    struct Child {
        int pid = -1;
        int pidFd = -1; // readable once the child has ended
        std::chrono::steady_clock::time_point deadline;
        bool killed = false;
    };

    void Run();
    void Start(const std::vector<std::string>& args);
    void Reap(Child& child);
    void Kill(Child& child);
    void Failed(const std::string& why);
    void Succeeded();
    void Report(const std::string& line);
    void Wake();

    const Options options_;
    const int wakeFd_; // eventfd: a run was queued or the runner stops

    mutable std::mutex mutex_; // guards everything down to running_
    std::vector<std::string> command_;
    std::bitset<kEdgeKindCount> edges_;
    std::chrono::milliseconds timeout_;
    std::deque<std::vector<std::string>> queue_;
    bool stop_ = false;
    Counts counts_;
    int running_ = 0;

    // Runner thread only.
    std::vector<Child> children_;
    bool failing_ = false;
    uint64_t droppedReported_ = 0;

    std::thread thread_; // last: starts once everything above is ready
};

} // namespace vistrel
