// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/instance_lock.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace vistrel {
namespace {

class InstanceLockTest : public testing::Test {
protected:
    std::string dir() const { return env.runtimeDir().toStdString() + "/locks"; }
    std::string file(int n) const { return dir() + "/instance-" + std::to_string(n) + ".lock"; }

    // Holds instance n's lock through an open file description of our own,
    // as another process would.
    int holdThroughSecondFd(int n)
    {
        const int fd = ::open(file(n).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        fds.push_back(fd);
        return fd;
    }

    void TearDown() override
    {
        for (int fd : fds)
            ::close(fd);
    }

    test::TempEnvironment env;
    std::vector<int> fds;
};

TEST_F(InstanceLockTest, TakesTheLowestFreeNumberInAFreshPrivateFolder)
{
    InstanceLock::Result first = InstanceLock::Acquire(dir());
    ASSERT_TRUE(first.lock) << first.error;
    EXPECT_EQ(first.lock->number(), 1);
    struct stat info {};
    ASSERT_EQ(::stat(dir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    InstanceLock::Result second = InstanceLock::Acquire(dir());
    ASSERT_TRUE(second.lock);
    EXPECT_EQ(second.lock->number(), 2);
}

TEST_F(InstanceLockTest, NumbersHeldElsewhereAreSkipped)
{
    ASSERT_TRUE(InstanceLock::Acquire(dir()).lock); // creates the folder
    holdThroughSecondFd(1);
    holdThroughSecondFd(3);
    InstanceLock::Result result = InstanceLock::Acquire(dir());
    ASSERT_TRUE(result.lock);
    EXPECT_EQ(result.lock->number(), 2);
    InstanceLock::Result next = InstanceLock::Acquire(dir());
    ASSERT_TRUE(next.lock);
    EXPECT_EQ(next.lock->number(), 4);
}

TEST_F(InstanceLockTest, ANumberIsFreeAgainOnceItsHolderDies)
{
    ASSERT_TRUE(InstanceLock::Acquire(dir()).lock);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls between fork and _exit.
        const int fd = ::open(file(1).c_str(), O_RDWR);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            ::_exit(1);
        const char byte = 'x';
        (void)!::write(ready[1], &byte, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);

    {
        InstanceLock::Result whileHeld = InstanceLock::Acquire(dir());
        ASSERT_TRUE(whileHeld.lock);
        EXPECT_EQ(whileHeld.lock->number(), 2);
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    InstanceLock::Result afterDeath = InstanceLock::Acquire(dir());
    ASSERT_TRUE(afterDeath.lock);
    EXPECT_EQ(afterDeath.lock->number(), 1);
}

TEST_F(InstanceLockTest, AProgramWeStartDoesNotInheritTheNumber)
{
    std::unique_ptr<InstanceLock> lock = InstanceLock::Acquire(dir()).lock;
    ASSERT_TRUE(lock);
    const QString sleep = QStandardPaths::findExecutable("sleep");
    if (sleep.isEmpty())
        GTEST_SKIP() << "no sleep program to start";
    QProcess child;
    child.start(sleep, {"30"});
    ASSERT_TRUE(child.waitForStarted());
    lock.reset();

    InstanceLock::Result again = InstanceLock::Acquire(dir());
    child.kill();
    child.waitForFinished();
    ASSERT_TRUE(again.lock);
    EXPECT_EQ(again.lock->number(), 1);
}

TEST_F(InstanceLockTest, AllHundredTakenGivesNoNumber)
{
    ASSERT_TRUE(InstanceLock::Acquire(dir()).lock);
    for (int n = 1; n <= InstanceLock::kMaxInstances; ++n)
        holdThroughSecondFd(n);
    InstanceLock::Result result = InstanceLock::Acquire(dir());
    EXPECT_FALSE(result.lock);
    EXPECT_TRUE(result.allTaken);
}

TEST_F(InstanceLockTest, AnUnusableFolderIsAnErrorNotAFullHouse)
{
    const std::string blocker = env.runtimeDir().toStdString() + "/file";
    const int fd = ::open(blocker.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    InstanceLock::Result result = InstanceLock::Acquire(blocker + "/locks");
    EXPECT_FALSE(result.lock);
    EXPECT_FALSE(result.allTaken);
    EXPECT_NE(result.error.find(blocker), std::string::npos) << result.error;
}

} // namespace
} // namespace vistrel
