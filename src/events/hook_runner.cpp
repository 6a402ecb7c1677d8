// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/hook_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vistrel {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// posix_spawn's attributes and file actions, released when they go.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;

    SpawnSetup()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // 0 or an error number.
    int Prepare()
    {
        // Its own process group, so a time-out can kill whatever it started;
        // signals as a fresh program has them, whatever this thread blocks or
        // the recorder ignores.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        int error = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK
                                                        | POSIX_SPAWN_SETSIGDEF);
        if (error == 0)
            error = posix_spawnattr_setpgroup(&attr, 0);
        if (error == 0)
            error = posix_spawnattr_setsigmask(&attr, &none);
        if (error == 0)
            error = posix_spawnattr_setsigdefault(&attr, &all);
        // Nothing to read, and no descriptor of the recorder beyond standard
        // output and error, whatever flags their owners gave them.
        if (error == 0)
            error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (error == 0)
            error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        return error;
    }
};

// A descriptor that becomes readable when the child ends (glibc's wrapper
// is not declared for C++ in every release).
int PidFdOpen(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

std::string Describe(const std::vector<std::string>& args)
{
    return args.empty() ? std::string() : "\"" + args.front() + "\"";
}

} // namespace

bool SplitCommandLine(std::string_view line, std::vector<std::string>& args, std::string& error)
{
    args.clear();
    std::string word;
    bool inWord = false; // a quoted empty string is an argument too
    size_t i = 0;
    const auto endWord = [&] {
        if (inWord)
            args.push_back(std::move(word));
        word.clear();
        inWord = false;
    };
    while (i < line.size()) {
        const char c = line[i];
        if (IsBlank(c)) {
            endWord();
            ++i;
        } else if (c == '\'') {
            const size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) {
                error = "a single quote is not closed";
                return false;
            }
            word.append(line.substr(i + 1, close - i - 1));
            inWord = true;
            i = close + 1;
        } else if (c == '"') {
            inWord = true;
            ++i;
            while (true) {
                if (i >= line.size()) {
                    error = "a double quote is not closed";
                    return false;
                }
                const char d = line[i];
                if (d == '"') {
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    if (next == '$' || next == '`' || next == '"' || next == '\\') {
                        word += next;
                        i += 2;
                        continue;
                    }
                    if (next == '\n') {
                        i += 2;
                        continue;
                    }
                }
                word += d;
                ++i;
            }
        } else if (c == '\\') {
            if (i + 1 >= line.size()) {
                error = "the line ends in a backslash";
                return false;
            }
            if (line[i + 1] != '\n') {
                word += line[i + 1];
                inWord = true;
            }
            i += 2;
        } else {
            word += c;
            inWord = true;
            ++i;
        }
    }
    endWord();
    return true;
}

std::string SubstitutePlaceholders(std::string_view arg, const EventEdge& edge, const Event& event)
{
    std::string out;
    out.reserve(arg.size());
    for (size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] != '%' || i + 1 >= arg.size()) {
            out += arg[i];
            continue;
        }
        switch (arg[i + 1]) {
        case 'c':
            if (event.camera != kNoCamera)
                out += event.camera;
            break;
        case 't': out += std::to_string(edge.time); break;
        case 'e': out += EdgeName(edge.kind); break;
        case 'l': out += std::to_string(event.peak); break;
        case 'f': out += event.firstImage; break;
        case 'i': out += std::to_string(event.id); break;
        case '%': out += '%'; break;
        default:
            out += arg[i];
            out += arg[i + 1];
        }
        ++i;
    }
    return out;
}

std::string ParseEdgeList(std::string_view list, std::bitset<kEdgeKindCount>& edges)
{
    edges.reset();
    while (!list.empty()) {
        const size_t comma = std::min(list.find(','), list.size());
        std::string_view name = list.substr(0, comma);
        list.remove_prefix(std::min(comma + 1, list.size()));
        while (!name.empty() && IsBlank(name.front()))
            name.remove_prefix(1);
        while (!name.empty() && IsBlank(name.back()))
            name.remove_suffix(1);
        if (name.empty())
            continue;
        const std::optional<EdgeKind> edge = ParseEdgeName(name);
        if (!edge)
            return "\"" + std::string(name) + "\" is not an event edge";
        edges.set(size_t(*edge));
    }
    return {};
}

HookRunner::HookRunner(Options options)
    : options_(std::move(options))
    , wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , timeout_(options_.timeout)
    , thread_([this] { Run(); })
{
    SetEdges(kDefaultEdges);
}

HookRunner::~HookRunner()
{
    {
        std::lock_guard guard(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

std::string HookRunner::SetCommand(std::string_view line)
{
    std::vector<std::string> args;
    std::string error;
    if (!SplitCommandLine(line, args, error))
        return "the hook's command line cannot be used: " + error;
    std::lock_guard guard(mutex_);
    command_ = std::move(args);
    return {};
}

std::string HookRunner::SetEdges(std::string_view list)
{
    std::bitset<kEdgeKindCount> edges;
    std::string error = ParseEdgeList(list, edges);
    if (!error.empty())
        return error;
    std::lock_guard guard(mutex_);
    edges_ = edges;
    return {};
}

void HookRunner::SetTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard guard(mutex_);
    timeout_ = timeout;
}

void HookRunner::OnEdge(const EventEdge& edge, const Event& event)
{
    {
        std::lock_guard guard(mutex_);
        if (command_.empty() || !edges_.test(size_t(edge.kind)) || stop_)
            return;
        if (queue_.size() >= options_.maxQueued) {
            ++counts_.dropped;
        } else {
            std::vector<std::string> args;
            args.reserve(command_.size());
            for (const std::string& arg : command_)
                args.push_back(SubstitutePlaceholders(arg, edge, event));
            queue_.push_back(std::move(args));
        }
    }
    Wake();
}

HookRunner::Counts HookRunner::counts() const
{
    std::lock_guard guard(mutex_);
    return counts_;
}

int HookRunner::running() const
{
    std::lock_guard guard(mutex_);
    return running_;
}

void HookRunner::Wake()
{
    const uint64_t one = 1;
    if (wakeFd_ >= 0)
        (void)!write(wakeFd_, &one, sizeof one);
}

void HookRunner::Report(const std::string& line)
{
    if (options_.report)
        options_.report(line);
    else
        std::fprintf(stderr, "Vistrel: %s\n", line.c_str());
}

void HookRunner::Run()
{
    using Clock = std::chrono::steady_clock;
    bool stopping = false;
    while (!stopping) {
        std::vector<std::vector<std::string>> starts;
        uint64_t dropped = 0;
        {
            std::lock_guard guard(mutex_);
            stopping = stop_;
            while (!stopping && !queue_.empty() && int(children_.size() + starts.size()) < options_.maxRunning) {
                starts.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            dropped = counts_.dropped;
        }
        for (const auto& args : starts)
            Start(args);
        if (dropped != droppedReported_) {
            Report(std::to_string(dropped - droppedReported_) + " runs of the event hook were dropped: "
                   + std::to_string(options_.maxQueued) + " were waiting already");
            droppedReported_ = dropped;
        }
        if (stopping)
            break;

        std::vector<pollfd> fds;
        fds.push_back({wakeFd_, POLLIN, 0});
        auto next = Clock::time_point::max();
        for (const Child& child : children_) {
            fds.push_back({child.pidFd, POLLIN, 0});
            if (!child.killed)
                next = std::min(next, child.deadline);
        }
        int waitMs = -1;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            waitMs = int(std::clamp<long long>(left, 0, 60000));
        }
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR)
            break;
        uint64_t wakes = 0;
        (void)!read(wakeFd_, &wakes, sizeof wakes);

        const auto now = Clock::now();
        for (size_t i = 0; i < children_.size(); ++i) {
            Child& child = children_[i];
            if (fds[i + 1].revents != 0)
                Reap(child);
            else if (!child.killed && now >= child.deadline)
                Kill(child);
        }
        std::erase_if(children_, [](const Child& child) { return child.pid < 0; });
        std::lock_guard guard(mutex_);
        running_ = int(children_.size());
    }

    // Stopping: what waits is dropped; what runs gets a moment, then goes.
    {
        std::lock_guard guard(mutex_);
        counts_.dropped += queue_.size();
        queue_.clear();
    }
    const auto graceEnd = Clock::now() + options_.exitGrace;
    while (!children_.empty()) {
        std::vector<pollfd> fds;
        for (const Child& child : children_)
            fds.push_back({child.pidFd, POLLIN, 0});
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(graceEnd - Clock::now()).count();
        const int waitMs = int(std::clamp<long long>(left, 0, 60000));
        if (waitMs == 0 || poll(fds.data(), fds.size(), waitMs) <= 0) {
            for (Child& child : children_) {
                if (!child.killed)
                    Kill(child);
            }
            // Killed: each ends at once, so this wait is short.
            for (Child& child : children_) {
                pollfd fd{child.pidFd, POLLIN, 0};
                poll(&fd, 1, -1);
                Reap(child);
            }
        } else {
            for (size_t i = 0; i < children_.size(); ++i)
                if (fds[i].revents != 0)
                    Reap(children_[i]);
        }
        std::erase_if(children_, [](const Child& child) { return child.pid < 0; });
    }
    std::lock_guard guard(mutex_);
    running_ = 0;
}

void HookRunner::Start(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    SpawnSetup setup;
    int error = setup.Prepare();
    pid_t pid = -1;
    if (error == 0)
        error = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), environ);
    if (error != 0) {
        {
            std::lock_guard guard(mutex_);
            ++counts_.started;
        }
        Failed(Describe(args) + " cannot be started: " + std::strerror(error));
        return;
    }
    Child child;
    child.pid = pid;
    child.pidFd = PidFdOpen(pid);
    std::chrono::milliseconds timeout;
    {
        std::lock_guard guard(mutex_);
        ++counts_.started;
        timeout = timeout_;
        running_ = int(children_.size()) + 1;
    }
    child.deadline = std::chrono::steady_clock::now() + timeout;
    if (child.pidFd < 0) {
        // Without a way to watch it, the run cannot be bounded: it goes now.
        const int reason = errno;
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        Failed(Describe(args) + " cannot be watched: " + std::strerror(reason));
        return;
    }
    children_.push_back(child);
}

void HookRunner::Kill(Child& child)
{
    // The group id is the child's pid, which stays taken until it is reaped.
    kill(-child.pid, SIGKILL);
    child.killed = true;
    std::lock_guard guard(mutex_);
    ++counts_.killed;
}

void HookRunner::Reap(Child& child)
{
    int status = 0;
    pid_t done;
    do {
        done = waitpid(child.pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0)
        return; // not ended after all
    close(child.pidFd);
    child.pid = -1;
    child.pidFd = -1;
    if (done < 0) {
        Failed("a run of the event hook was lost: " + std::string(std::strerror(errno)));
    } else if (child.killed) {
        Failed("the event hook was killed after its time-out");
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        Succeeded();
    } else if (WIFEXITED(status)) {
        Failed("the event hook ended with status " + std::to_string(WEXITSTATUS(status)));
    } else {
        Failed("the event hook ended by signal " + std::to_string(WTERMSIG(status)));
    }
}

void HookRunner::Failed(const std::string& why)
{
    {
        std::lock_guard guard(mutex_);
        ++counts_.failed;
    }
    if (failing_)
        return;
    failing_ = true;
    Report(why + " (further failures are counted, not shown)");
}

void HookRunner::Succeeded()
{
    {
        std::lock_guard guard(mutex_);
        ++counts_.succeeded;
    }
    if (!failing_)
        return;
    failing_ = false;
    Report("the event hook works again");
}

} // namespace vistrel
