// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/hook_runner.h"

#include "event_fixtures.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vistrel {
namespace {

using test::Edge;
using test::ReadFile;
using test::Reports;
using test::TempPath;
using test::waitFor;

const std::string kHelper = VISTREL_EVENTS_HELPER;

TEST(HookCommandLine, SplitsAsAShellQuotesAndNothingMore)
{
    struct Case {
        const char* line;
        std::vector<std::string> args; // empty with error set: refused
        bool error = false;
    };
    const std::vector<Case> cases = {
        {"prog  a\tb\nc", {"prog", "a", "b", "c"}},
        {"'a b' \"c d\" e\\ f", {"a b", "c d", "e f"}},
        {"'it'\\''s' \"x\\\"y\\\\z\\$w\\q\"", {"it's", "x\"y\\z$w\\q"}},
        {"'' \"\" x", {"", "", "x"}},
        {"$(touch x) `id` * ~ $HOME ; |", {"$(touch", "x)", "`id`", "*", "~", "$HOME", ";", "|"}},
        {"a\\\nb \"c\\\nd\"", {"ab", "cd"}},
        {"", {}},
        {"prog 'open", {}, true},
        {"prog \"open", {}, true},
        {"prog \"a\\\"", {}, true},
        {"prog a\\", {}, true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args;
        std::string error;
        EXPECT_EQ(SplitCommandLine(c.line, args, error), !c.error) << c.line;
        EXPECT_EQ(error.empty(), !c.error) << c.line;
        if (!c.error) {
            EXPECT_EQ(args, c.args) << c.line;
        }
    }

    Event event;
    event.id = 7;
    event.camera = 'A';
    event.peak = 42;
    event.firstImage = "/p a";
    const EventEdge edge = Edge(EdgeKind::MotionEnd, 'A', 1800000000);
    EXPECT_EQ(SubstitutePlaceholders("%c-%t-%e-%l-%f-%i-%%-%%c-%x-%", edge, event),
              "A-1800000000-motion-end-42-/p a-7-%-%c-%x-%");
    event.camera = kNoCamera;
    EXPECT_EQ(SubstitutePlaceholders("[%c]", edge, event), "[]");

    HookRunner runner;
    EXPECT_FALSE(runner.SetCommand("prog 'open").empty());
    EXPECT_FALSE(runner.SetEdges("motion-start,motion-middle").empty());
    EXPECT_TRUE(runner.SetEdges(" camera-lost , recorder-exit ").empty());
}

// A path with spaces, quotes and a command substitution arrives as one
// argument and runs nothing; the hook gets /dev/null as input and no
// descriptor of the recorder, and is reaped.
TEST(HookRunner, PassesAwkwardPathsAsOneArgumentWithoutAShell)
{
    QTemporaryDir dir;
    const std::string out = TempPath(dir, "args");
    const std::string pwned = TempPath(dir, "pwned");
    const std::string image = TempPath(dir, "cam 'A' \"x\" $(touch " + pwned + ") `touch " + pwned + "`.jpg");
    // Left open without close-on-exec, as a careless library might.
    const int leaked = open(TempPath(dir, "leaked").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(leaked, 3);

    Reports reports;
    HookRunner::Options options;
    options.report = reports.Sink();
    HookRunner runner(options);
    ASSERT_EQ(runner.SetCommand("'" + kHelper + "' args '" + out + "' %f \"%c\" %e%% %i"), "");
    ASSERT_EQ(runner.SetEdges("motion-start"), "");

    Event event;
    event.id = 12;
    event.camera = 'A';
    event.firstImage = image;
    runner.OnEdge(Edge(EdgeKind::MotionEnd, 'A', 1), event); // not chosen: no run
    runner.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), event);
    ASSERT_TRUE(waitFor([&] { return runner.counts().succeeded == 1 && runner.running() == 0; }));
    close(leaked);

    const std::string args = ReadFile(out);
    EXPECT_EQ(args, image + '\0' + "A" + '\0' + "motion-start%" + '\0' + "12" + '\0');
    EXPECT_FALSE(std::filesystem::exists(pwned));
    const std::string proc = ReadFile(out + ".proc");
    EXPECT_NE(proc.find("stdin /dev/null\n"), std::string::npos) << proc;
    EXPECT_NE(proc.find("fds 0 1 2\n"), std::string::npos) << proc;
    const int pid = std::atoi(proc.c_str() + 4);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1); // reaped already: no zombie left
    EXPECT_EQ(runner.counts().started, 1u);
    EXPECT_TRUE(reports.lines().empty());
}

bool GoneOrZombie(int pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z");
}

// A hook that never ends is killed at its time-out with everything it
// started; beyond four running and 32 waiting, runs are dropped and counted;
// failures are said once, not per run.
TEST(HookRunner, KillsAtTheTimeOutAndBoundsTheQueue)
{
    QTemporaryDir dir;
    const std::string childFile = TempPath(dir, "child");
    Reports reports;
    {
        HookRunner::Options options;
        options.timeout = std::chrono::milliseconds(300);
        options.report = reports.Sink();
        HookRunner runner(options);
        ASSERT_EQ(runner.SetCommand("/bin/sh -c 'sleep 1000 & echo $! > \"$0\"; wait' '" + childFile + "'"), "");
        runner.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), Event{});
        ASSERT_TRUE(waitFor([&] { return runner.counts().killed == 1 && runner.running() == 0; }));
        const int sleeper = std::atoi(ReadFile(childFile).c_str());
        ASSERT_GT(sleeper, 0);
        EXPECT_TRUE(waitFor([&] { return GoneOrZombie(sleeper); })) << "the hook's own child outlived the time-out";

        ASSERT_EQ(runner.SetCommand("'" + kHelper + "' fail"), "");
        for (int i = 0; i < 3; ++i)
            runner.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), Event{});
        ASSERT_TRUE(waitFor([&] { return runner.counts().failed == 4 && runner.running() == 0; }));
        EXPECT_EQ(reports.lines().size(), 1u);
        ASSERT_EQ(runner.SetCommand("/bin/true"), "");
        runner.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), Event{});
        ASSERT_TRUE(waitFor([&] { return runner.counts().succeeded == 1; }));
        EXPECT_EQ(reports.lines().size(), 2u); // and once that it works again
    }

    HookRunner::Options options;
    options.exitGrace = std::chrono::milliseconds(0);
    options.report = reports.Sink();
    {
        HookRunner runner(options);
        ASSERT_EQ(runner.SetCommand("/bin/sleep 1000"), "");
        for (int i = 0; i < 4; ++i)
            runner.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), Event{});
        ASSERT_TRUE(waitFor([&] { return runner.running() == 4; }));
        for (int i = 0; i < 35; ++i)
            runner.OnEdge(Edge(EdgeKind::MotionStart, 'A', 1), Event{});
        EXPECT_EQ(runner.counts().dropped, 3u);
        EXPECT_EQ(runner.running(), 4);
    }
    // The runner is gone: every child it started was killed and reaped.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
} // namespace vistrel
