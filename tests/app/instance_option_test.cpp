// SPDX-License-Identifier: GPL-3.0-or-later
// "--instance N" on the built program: exactly that number or none.
#include "settings/registry_key.h"
#include "settings/settings_io.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vistrel {
namespace {

class InstanceOption : public testing::Test {
protected:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment e = env.RecorderEnvironment();
        return e;
    }

    // Runs the program to its end: its status (-1 when it still runs after
    // a minute) and its standard error.
    int run(const QStringList& arguments, QByteArray& errors)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(VISTREL_EXECUTABLE, arguments);
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        errors = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }

    test::TempEnvironment env;
};

TEST_F(InstanceOption, TakesExactlyItsNumberOrEndsSayingWhy)
{
    // Seeding names the instance too, as the templated unit does it.
    QByteArray errors;
    ASSERT_EQ(run({"--seed-defaults", "--instance", "7"}, errors), 0) << errors.toStdString();
    {
        CRegistryKey key(env.registryDir().toStdString());
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(key.SetKey(ProcessKeyPath(7), false));
        EXPECT_EQ(key.ReadInt("VideoOn", 0), 1);
        EXPECT_FALSE(key.SetKey(ProcessKeyPath(1), false)) << "instance 1 was not asked for";
    }

    // Number 7 held by another process (and 1 free): the program does not
    // take another number, and says why.
    ASSERT_TRUE(QDir().mkpath(env.registryDir()));
    const std::string lockFile = env.registryDir().toStdString() + "/instance-7.lock";
    const int held = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(run({"-m", "--instance", "7"}, errors), 1);
    EXPECT_TRUE(errors.contains("vistrel: instance 7 is already running\n")) << errors.toStdString();
    ::close(held);

    // Numbers outside 1..100, or none, are usage errors.
    for (const QStringList& arguments : {QStringList{"--instance", "0"}, QStringList{"--instance=101"},
                                         QStringList{"--instance", "two"}, QStringList{"--instance", "+3"},
                                         QStringList{"-m", "--instance"}, QStringList{"--help", "--instance=0"}}) {
        EXPECT_EQ(run(arguments, errors), 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(errors.startsWith("vistrel: --instance takes a number from 1 to 100\nUsage: vistrel"))
            << arguments.join(' ').toStdString() << ": " << errors.toStdString();
    }
}

} // namespace
} // namespace vistrel
