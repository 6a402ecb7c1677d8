// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/registry_key.h"
#include "settings/settings_io.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace vistrel {
namespace {

using namespace std::chrono_literals;

// Runs the real program on the offscreen platform with the test-pattern
// device, a private settings store and home.
class EndToEnd : public testing::Test {
protected:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment e = env.RecorderEnvironment();
        return e;
    }

    int run(const QStringList& arguments, QByteArray* output = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(VISTREL_EXECUTABLE, arguments);
        if (!process.waitForFinished(60000))
            return -1;
        if (output)
            *output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }

    std::unique_ptr<QProcess> start(const QStringList& arguments = {})
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(VISTREL_EXECUTABLE, arguments);
        EXPECT_TRUE(process->waitForStarted());
        return process;
    }

    static bool stop(QProcess& process)
    {
        process.terminate(); // SIGTERM, as a service manager sends it
        return process.waitForFinished(60000);
    }

    int32_t storedInt(int instance, const char* name, int32_t absent = -99)
    {
        qputenv("VISTREL_REGISTRY", env.registryDir().toLocal8Bit());
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        if (!key.SetKey(ProcessKeyPath(instance), false) || key.ValueType(name) == 0)
            return absent;
        return key.ReadInt(name, absent);
    }

    QString processKeyFile() const
    {
        return env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera1/Settings/values.reg";
    }

    test::TempEnvironment env;
};

TEST_F(EndToEnd, SeedingWritesFirstStartSettingsOnlyOnce)
{
    QByteArray output;
    ASSERT_EQ(run({"--seed-defaults"}, &output), 0) << output.toStdString();
    EXPECT_EQ(storedInt(1, "VideoOn"), 1);
    EXPECT_TRUE(QFileInfo(env.homeDir() + "/Cameras/Camera1A").isDir());
    QFile file(processKeyFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray seeded = file.readAll();
    EXPECT_TRUE(seeded.contains("\"VideoFormat\"=\"320x240 24 bit\""));
    file.close();

    // Settings that exist are never changed, even those the user chose.
    CRegistryKey key;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    key.SetKey(ProcessKeyPath(1), false);
    key.WriteInt("VideoOn", 0);
    ASSERT_EQ(run({"--seed-defaults"}), 0);
    EXPECT_EQ(storedInt(1, "VideoOn"), 0);
}

// Long options print and end the process before anything starts, even with
// no display to start on; an unknown one is a usage error.
TEST_F(EndToEnd, LongOptionsAnswerWithoutStartingTheRecorder)
{
    QProcessEnvironment bare = environment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        bare.remove(name);
    struct Case {
        QStringList arguments;
        int status;
        const char* output; // what standard output begins with
        const char* errors; // what standard error holds; "" for nothing
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: vistrel", ""},
        {{"-m", "--version", "--bogus"}, 0, "vistrel " VISTREL_VERSION "\n", ""},
        {{"--bogus", "--help"}, 2, "", "vistrel: unknown option --bogus\nUsage: vistrel"},
        {{"-x", "--m"}, 2, "", "unknown option --m\n"},
        {{"--help=all"}, 2, "", "unknown option --help=all\n"},
    };
    for (const Case& c : cases) {
        QProcess process;
        process.setProcessEnvironment(bare);
        process.start(VISTREL_EXECUTABLE, c.arguments);
        const QString shown = c.arguments.join(' ');
        if (!process.waitForFinished(60000)) {
            ADD_FAILURE() << shown.toStdString() << " still runs";
            process.kill();
            process.waitForFinished();
            continue;
        }
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << shown.toStdString();
        EXPECT_EQ(process.exitCode(), c.status) << shown.toStdString();
        const QByteArray output = process.readAllStandardOutput();
        const QByteArray errors = process.readAllStandardError();
        EXPECT_TRUE(output.startsWith(c.output) && (*c.output != 0 || output.isEmpty()))
            << shown.toStdString() << ": " << output.toStdString();
        EXPECT_TRUE(*c.errors ? errors.contains(c.errors) : errors.isEmpty())
            << shown.toStdString() << ": " << errors.toStdString();
    }
    // The help lists every long option, the one that seeds settings too.
    QProcess help;
    help.setProcessEnvironment(bare);
    help.start(VISTREL_EXECUTABLE, {"--help"});
    ASSERT_TRUE(help.waitForFinished(60000));
    EXPECT_TRUE(help.readAllStandardOutput().contains("--seed-defaults"));
    EXPECT_FALSE(QDir(env.registryDir() + "/HKEY_LOCAL_MACHINE").exists()); // no instance ever started
}

TEST_F(EndToEnd, RecordsTheTestPatternAndStopsCleanlyOnSigterm)
{
    ASSERT_EQ(run({"--seed-defaults"}), 0);
    const QString staticFile = env.homeDir() + "/Cameras/Cam1A.jpg";
    auto recorder = start();
    ASSERT_TRUE(test::waitFor([&] { return QFileInfo(staticFile).size() > 0; }, 60s)) << "no static file";
    ASSERT_TRUE(stop(*recorder));
    EXPECT_EQ(recorder->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(recorder->exitCode(), 0);
    EXPECT_EQ(storedInt(1, "VideoOn"), 1);

    QFile jpeg(staticFile);
    ASSERT_TRUE(jpeg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(jpeg.read(2) == QByteArray("\xFF\xD8", 2));
}

TEST_F(EndToEnd, AFailedStartWithoutADisplayIsReportedAndDoesNotStopTheProgram)
{
    ASSERT_EQ(run({"--seed-defaults"}), 0);
    {
        qputenv("VISTREL_REGISTRY", env.registryDir().toLocal8Bit());
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        key.SetKey(ProcessKeyPath(1), false);
        key.WriteString("VideoFormat", "999x999 24 bit");
    }
    QProcess recorder;
    recorder.setProcessEnvironment(environment());
    recorder.start(VISTREL_EXECUTABLE, {});
    QByteArray errors;
    // Offscreen nobody can close a message box: the failure goes to stderr
    // and start-up goes on, so the stop request is still served.
    ASSERT_TRUE(test::waitFor(
        [&] {
            errors += recorder.readAllStandardError();
            return errors.contains("Init Failed: Failed to Set Video Format");
        },
        60s))
        << errors.toStdString();
    EXPECT_EQ(recorder.state(), QProcess::Running);
    ASSERT_TRUE(stop(recorder));
    EXPECT_EQ(recorder.exitCode(), 0);
    EXPECT_EQ(storedInt(1, "VideoOn"), 0);
}

// The instance number whose lock file the process holds open, 0 for none.
int heldInstance(const QProcess& process)
{
    const QString fds = QStringLiteral("/proc/%1/fd").arg(process.processId());
    const QRegularExpression lockName(QStringLiteral("/instance-(\\d+)\\.lock$"));
    for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::Files | QDir::System)) {
        const QRegularExpressionMatch match = lockName.match(fd.symLinkTarget());
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
    return 0;
}

TEST_F(EndToEnd, ASecondInstanceTakesNumberTwoWithItsOwnSettings)
{
    auto first = start();
    ASSERT_TRUE(test::waitFor([&] { return heldInstance(*first) == 1; }, 60s));
    auto second = start({"-m"});
    // While it looks for a free number it holds number one's file for a moment.
    EXPECT_TRUE(test::waitFor([&] { return heldInstance(*second) == 2; }, 60s))
        << "the second instance holds number " << heldInstance(*second);
    // Each instance loads (and so creates) its own settings keys at start-up.
    EXPECT_TRUE(test::waitFor(
        [&] { return QDir(env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera2").exists(); },
        60s));
    ASSERT_TRUE(stop(*second));
    ASSERT_TRUE(stop(*first));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(storedInt(1, "VideoOn"), 0);
    EXPECT_EQ(storedInt(2, "VideoOn"), 0);
}

// A desktop session and a service on one settings store, reached through
// different variables (the service has no XDG_RUNTIME_DIR and no
// XDG_CONFIG_HOME): they never take the same number, so never share the keys
// of one camera set.
TEST_F(EndToEnd, ADesktopSessionAndAServiceOnOneStoreTakeDifferentNumbers)
{
    const QString home = env.homeDir();
    QProcessEnvironment desktop = environment();
    desktop.remove("VISTREL_REGISTRY");
    desktop.remove("VISTREL_RUNTIME_DIR");
    desktop.insert("XDG_CONFIG_HOME", home + "/.config");
    desktop.insert("XDG_RUNTIME_DIR", env.root() + "/xdg");
    QDir().mkpath(env.root() + "/xdg");
    QProcessEnvironment service = desktop;
    service.remove("XDG_CONFIG_HOME");
    service.remove("XDG_RUNTIME_DIR");

    const auto launch = [](const QProcessEnvironment& e) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(e);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(VISTREL_EXECUTABLE, {"-m"});
        EXPECT_TRUE(process->waitForStarted());
        return process;
    };
    const QString store = home + "/.config/vistrel/registry/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/";
    auto first = launch(desktop);
    ASSERT_TRUE(test::waitFor([&] { return heldInstance(*first) == 1; }, 60s));
    auto second = launch(service);
    EXPECT_TRUE(test::waitFor([&] { return heldInstance(*second) == 2; }, 60s))
        << "the service holds number " << heldInstance(*second) << ", not two";
    EXPECT_TRUE(test::waitFor([&] { return QDir(store + "Camera2").exists(); }, 60s));
    ASSERT_TRUE(stop(*second));
    ASSERT_TRUE(stop(*first));
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_EQ(second->exitCode(), 0);
}

} // namespace
} // namespace vistrel
