// SPDX-License-Identifier: GPL-3.0-or-later
// The built recorder on network cameras (offscreen, hidden, one instance a
// camera), its settings seeded by a shell script as a user's would be, the
// cameras real stream servers on loopback that the test kills and starts.
#include "settings/archive_name.h"
#include "settings/registry_key.h"
#include "settings/settings_io.h"
#include "support/stream_server.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTest>

#include <algorithm>

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using test::StreamServer;
using test::waitFor;

struct ArchiveImage {
    ArchiveStamp stamp;
    QString path;
};

class NetworkRecorder : public testing::Test {
protected:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment e = env.RecorderEnvironment();
        // Every developer log on: not one line of it may hold a password.
        e.insert("QT_LOGGING_RULES", "vistrel.*.debug=true;qt.*=false");
        return e;
    }

    // Runs a shell script in the test's environment; true when it succeeds.
    bool script(const QString& text)
    {
        QProcess shell;
        shell.setProcessEnvironment(environment());
        shell.start("/bin/sh", {"-euc", text});
        const bool done = shell.waitForFinished(60000) && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
        EXPECT_TRUE(done) << text.toStdString() << shell.readAllStandardError().toStdString();
        return done;
    }

    QString cameraKeyFolder(const QString& name) const
    {
        return env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/NetworkCameras/" + name;
    }

    // What a user's script writes for a camera, with mkdir and printf.
    void seedCamera(const QString& name, const QString& url, const QString& user = {}, const QString& password = {})
    {
        const QString folder = cameraKeyFolder(name);
        script(QStringLiteral("mkdir -p '%1'\nprintf '%s\\n' 'REGEDIT4' '' "
                              "'[HKEY_LOCAL_MACHINE\\Software\\Tallow Software\\Vistrel\\NetworkCameras\\%2]' "
                              "'\"Url\"=\"%3\"' '\"User\"=\"%4\"' '\"Password\"=\"%5\"' '\"Transport\"=dword:00000000' "
                              "> '%1/values.reg'")
                   .arg(folder, name, url, user, password));
    }

    // Instance `instance` records `device` (its number, name and URL as the
    // window would store them) every 200 ms, without overlay, every frame
    // archived: first-start settings, then lines a script appends.
    void seedInstance(int instance, int device, const QString& name, const QString& url)
    {
        QProcess seed;
        seed.setProcessEnvironment(environment());
        seed.start(VISTREL_EXECUTABLE, {"--seed-defaults", "--instance", QString::number(instance)});
        ASSERT_TRUE(seed.waitForFinished(60000));
        ASSERT_EQ(seed.exitCode(), 0) << seed.readAllStandardError().toStdString();
        const QString keys = env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera"
            + QString::number(instance);
        script(QStringLiteral("printf '%s\\n' '\"Device\"=dword:%1' '\"DeviceName\"=\"%2\"' '\"DeviceLink\"=\"%3\"' "
                              "'\"VideoFormat\"=\"320x240 24 bit\"' '\"SaveEvery\"=dword:000000c8' >> '%4/Settings/values.reg'\n"
                              "printf '%s\\n' '\"EnableOverlay\"=dword:00000000' '\"EnableArchiveMotion\"=dword:00000000' "
                              ">> '%4/MuxedCamA/values.reg'")
                   .arg(QString::number(device, 16).rightJustified(8, '0'), name, url, keys));
    }

    std::unique_ptr<QProcess> start(int instance)
    {
        auto recorder = std::make_unique<QProcess>();
        recorder->setProcessEnvironment(environment());
        recorder->setStandardErrorFile(stderrFile(instance));
        recorder->start(VISTREL_EXECUTABLE, {"-m", "--instance", QString::number(instance)});
        EXPECT_TRUE(recorder->waitForStarted());
        return recorder;
    }

    // SIGTERM, as a service manager stops it: a clean exit, status 0.
    static void stop(QProcess& recorder)
    {
        recorder.terminate();
        ASSERT_TRUE(recorder.waitForFinished(60000)) << "no exit within its normal time";
        EXPECT_EQ(recorder.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(recorder.exitCode(), 0);
    }

    QString stderrFile(int instance) const { return env.root() + "/stderr-" + QString::number(instance); }
    QByteArray errors(int instance) const
    {
        QFile file(stderrFile(instance));
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    // Camera A's archive images of an instance, oldest first.
    std::vector<ArchiveImage> archive(int instance) const
    {
        std::vector<ArchiveImage> images;
        const QString folder = env.homeDir() + "/Cameras/Camera" + QString::number(instance) + "A";
        for (const QString& name : QDir(folder).entryList({"*.jpg"}, QDir::Files))
            images.push_back({ArchiveNameStamp(name.toStdString()), folder + "/" + name});
        std::sort(images.begin(), images.end(), [](const auto& a, const auto& b) { return a.stamp < b.stamp; });
        return images;
    }

    std::string storedText(int instance, const char* name) const
    {
        CRegistryKey key(env.registryDir().toStdString());
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        if (!key.SetKey(ProcessKeyPath(instance), false))
            return "(no key)";
        return key.ReadString(name, "(none)");
    }

    test::TempEnvironment env;
};

// A decoded archive image of one colour, or nearly: a grey or black stand-in.
bool Uniform(const QImage& image)
{
    int low = 255, high = 0;
    for (int y = 0; y < image.height(); y += 4) {
        for (int x = 0; x < image.width(); x += 4) {
            const int grey = qGray(image.pixel(x, y));
            low = std::min(low, grey);
            high = std::max(high, grey);
        }
    }
    return high - low < 16;
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

TEST_F(NetworkRecorder, RecordsRtspAndHttpCamerasThroughAServerOutage)
{
    const QString user = "viewer";
    const QString password = "Pa55@w:rd/x";
    StreamServer rtsp({"rtsp", "--codec", "h264", "--fps", "10", "--gop", "10", "--user", user.toStdString(),
                       "--password", password.toStdString()});
    StreamServer http({"mjpeg", "--fps", "10"});
    ASSERT_TRUE(rtsp.Start()) << rtsp.Log();
    ASSERT_TRUE(http.Start()) << http.Log();
    const QString rtspUrl = QString::fromStdString(rtsp.Url("rtsp"));
    const QString httpUrl = QString::fromStdString(http.Url("http"));
    seedCamera("Door", rtspUrl, user, password);
    seedCamera("Yard", httpUrl);

    // The listing tool shows what the setup window would offer.
    QProcess devices;
    devices.setProcessEnvironment(environment());
    devices.start(VISTREL_DEVICES_TOOL, {});
    ASSERT_TRUE(devices.waitForFinished(60000));
    const QByteArray listed = devices.readAllStandardOutput() + devices.readAllStandardError();
    EXPECT_TRUE(listed.contains(QStringLiteral("device 1: Door\n  url: rtsp://***@127.0.0.1:%1/cam\n"
                                               "  format: 320x240 24 bit (default)\n")
                                    .arg(rtsp.port())
                                    .toUtf8()))
        << listed.toStdString();
    EXPECT_TRUE(listed.contains(("device 2: Yard\n  url: " + httpUrl + "\n  format: 320x240 24 bit (default)\n").toUtf8()))
        << listed.toStdString();

    seedInstance(1, 1, "Door", rtspUrl);
    seedInstance(2, 2, "Yard", httpUrl);
    auto door = start(1);
    auto yard = start(2);
    const auto recorded = [&](int instance, size_t count) {
        return waitFor([&] { return archive(instance).size() >= count; }, 60s);
    };
    ASSERT_TRUE(recorded(1, 10)) << errors(1).toStdString();
    ASSERT_TRUE(recorded(2, 10)) << errors(2).toStdString();

    // Both servers gone for ten seconds, then back on their ports.
    rtsp.Kill();
    http.Kill();
    QTest::qWait(10000);
    const size_t before[] = {archive(1).size(), archive(2).size()};
    const uint32_t restartedAt = uint32_t(QDateTime::currentSecsSinceEpoch());
    ASSERT_TRUE(rtsp.Start()) << rtsp.Log();
    ASSERT_TRUE(http.Start()) << http.Log();
    // Back within the longest backoff (30 s) and the time to connect.
    for (int instance : {1, 2}) {
        ASSERT_TRUE(waitFor([&] { return !archive(instance).empty() && archive(instance).back().stamp.seconds >= restartedAt; }, 45s))
            << "instance " << instance << " did not resume:\n" << errors(instance).toStdString();
        EXPECT_TRUE(recorded(instance, archive(instance).size() + 5));
    }
    stop(*door);
    stop(*yard);

    for (int instance : {1, 2}) {
        SCOPED_TRACE("instance " + std::to_string(instance));
        const std::vector<ArchiveImage> images = archive(instance);
        ASSERT_GT(images.size(), before[instance - 1]);
        uint32_t longestGapS = 0;
        QByteArray previous;
        QStringList wrongSize, standIns, repeated;
        for (size_t i = 0; i < images.size(); ++i) {
            const QByteArray bytes = Contents(images[i].path);
            const QImage image = QImage::fromData(bytes, "JPG");
            const QString name = QFileInfo(images[i].path).fileName();
            if (image.size() != QSize(320, 240))
                wrongSize << name;
            else if (Uniform(image))
                standIns << name;
            if (bytes == previous)
                repeated << name;
            if (i > 0)
                longestGapS = std::max(longestGapS, images[i].stamp.seconds - images[i - 1].stamp.seconds);
            previous = bytes;
        }
        EXPECT_TRUE(wrongSize.isEmpty()) << "not 320x240: " << wrongSize.join(' ').toStdString();
        EXPECT_TRUE(standIns.isEmpty()) << "grey or black stand-ins: " << standIns.join(' ').toStdString();
        EXPECT_TRUE(repeated.isEmpty()) << "the picture before again: " << repeated.join(' ').toStdString();
        EXPECT_GE(longestGapS, 8u) << "no gap where the camera was away";
    }
    EXPECT_EQ(storedText(1, "DeviceLink"), rtspUrl.toStdString());
    EXPECT_EQ(storedText(1, "VideoFormat"), "320x240 24 bit");

    // The password, in any spelling, only in its own value.
    const QByteArray basic = (user + ":" + password).toUtf8().toBase64();
    const QByteArray spellings[] = {password.toUtf8(), QByteArray("Pa55%40w%3Ard%2Fx"), basic};
    const QByteArray outputs[] = {errors(1), errors(2), listed};
    EXPECT_TRUE(errors(1).contains("libav:") || errors(1).contains("vistrel.capture")) << "the log was not on";
    QDirIterator files(env.registryDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    std::vector<QByteArray> stored;
    while (files.hasNext()) {
        const QString path = files.next();
        QByteArray bytes = Contents(path);
        if (path == cameraKeyFolder("Door") + "/values.reg")
            bytes.replace("\"Password\"=\"" + password.toUtf8() + "\"", "");
        stored.push_back(bytes);
    }
    for (const QByteArray& secret : spellings) {
        for (const QByteArray& output : outputs)
            EXPECT_FALSE(output.contains(secret)) << secret.toStdString() << " in:\n" << output.toStdString();
        for (const QByteArray& bytes : stored)
            EXPECT_FALSE(bytes.contains(secret)) << secret.toStdString() << " in:\n" << bytes.toStdString();
    }
}

TEST_F(NetworkRecorder, ServersThatMisbehaveNeitherCrashItNorGetRecorded)
{
    StreamServer garbage({"garbage"});
    StreamServer stall({"stall"});
    StreamServer resize({"resize", "--stay", "--size", "320x240", "--size2", "160x120", "--frames", "20"});
    for (StreamServer* server : {&garbage, &stall, &resize})
        ASSERT_TRUE(server->Start()) << server->Log();
    seedCamera("Garbage", QString::fromStdString(garbage.Url("http")));
    seedCamera("Resized", QString::fromStdString(resize.Url("http")));
    seedCamera("Stalled", QString::fromStdString(stall.Url("http")));
    seedInstance(1, 1, "Garbage", QString::fromStdString(garbage.Url("http")));
    seedInstance(2, 2, "Resized", QString::fromStdString(resize.Url("http")));
    seedInstance(3, 3, "Stalled", QString::fromStdString(stall.Url("http")));
    std::unique_ptr<QProcess> recorders[] = {start(1), start(2), start(3)};

    // The camera that changed its size is recorded in the new one.
    ASSERT_TRUE(waitFor(
        [&] {
            const auto images = archive(2);
            return !images.empty() && QImage(images.back().path).size() == QSize(160, 120);
        },
        60s))
        << errors(2).toStdString();
    // The others are shown lost (the capture log says so), with nothing recorded.
    for (int instance : {1, 3})
        EXPECT_TRUE(waitFor([&] { return errors(instance).contains(" lost; next try in "); }, 60s))
            << errors(instance).toStdString();
    for (auto& recorder : recorders)
        stop(*recorder);

    for (int instance : {1, 3}) {
        EXPECT_TRUE(archive(instance).empty()) << instance;
        EXPECT_FALSE(QFile::exists(env.homeDir() + "/Cameras/Cam" + QString::number(instance) + "A.jpg")) << instance;
    }
    // Every image of the camera that changed its size is whole, of one of its sizes.
    for (const ArchiveImage& image : archive(2)) {
        const QSize size = QImage(image.path).size();
        EXPECT_TRUE(size == QSize(320, 240) || size == QSize(160, 120)) << image.path.toStdString();
    }
    EXPECT_EQ(storedText(2, "VideoFormat"), "160x120 24 bit");
    EXPECT_EQ(storedText(1, "VideoFormat"), "320x240 24 bit");
}

} // namespace
} // namespace vistrel
