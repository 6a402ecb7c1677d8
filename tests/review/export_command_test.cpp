// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/timeline.h"
#include "settings/registry_key.h"
#include "settings/settings_io.h"
#include "support/temp_env.h"

#include "archive_fixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {
namespace {

// Runs the built vistrel-export as a script on a headless machine would.
class ExportCommandTest : public testing::Test {
protected:
    static constexpr uint32_t kStart = 1796648400;

    void SetUp() override
    {
        // Everything below is readable by any user, for the run as one who
        // may not write where the output should go.
        ASSERT_EQ(chmod(root.path().toLocal8Bit().constData(), 0755), 0);
        for (uint32_t s = 0; s < 5; ++s)
            archive.Add({kStart + s, 0});
        locked = root.path() + "/locked";
        ASSERT_TRUE(QDir().mkpath(locked));
        ASSERT_EQ(chmod(locked.toLocal8Bit().constData(), geteuid() == 0 ? 0755 : 0555), 0);

        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(key.SetKey(CameraKeyPath(1, 0), true));
        ASSERT_TRUE(key.WriteString("ArchivePath", archivePath()));
    }
    void TearDown() override { chmod(locked.toLocal8Bit().constData(), 0755); }

    std::string archivePath() const { return root.path().toStdString() + "/archive"; }
    static QString At(uint32_t seconds) { return QString::fromStdString(FormatLocalTime(seconds)); }

    // Exit status (-1 when it did not end normally) and what it wrote.
    // Unprivileged under root: as uid 65534, which file modes bind, from a
    // copy of the tool that user can reach (the build may sit in a closed home).
    int Run(QStringList arguments, QByteArray* output = nullptr, bool unprivileged = false)
    {
        QString program = QStringLiteral(VISTREL_EXPORT_TOOL);
        if (unprivileged && geteuid() == 0) {
            const QString copy = root.path() + "/vistrel-export";
            if (!QFile::exists(copy) && !QFile::copy(program, copy))
                return -1;
            arguments = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", copy} + arguments;
            program = QStringLiteral("setpriv");
        }
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished(120000))
            return -1;
        if (output)
            *output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QStringList Range(uint32_t from, uint32_t to) const
    {
        return {"--instance", "1", "--camera", "A", "--from", At(from), "--to", At(to)};
    }

    // The tool started, for a test that signals it while it runs.
    static std::unique_ptr<QProcess> Start(const QStringList& arguments)
    {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral(VISTREL_EXPORT_TOOL), arguments);
        return process->waitForStarted() ? std::move(process) : nullptr;
    }
    // Sends a signal to the tool while it runs (never to a whole group).
    static bool Signal(const QProcess& process, int signal)
    {
        const auto pid = pid_t(process.processId());
        return pid > 0 && kill(pid, signal) == 0;
    }
    // The tool holds a file lock: on the temporary it writes, once it has
    // made it, for that is the only lock it keeps. Until then a leftover of
    // it could not be told from that of a killed export.
    static bool HoldsALock(const QProcess& process)
    {
        QFile locks(QStringLiteral("/proc/locks"));
        if (!locks.open(QIODevice::ReadOnly))
            return false;
        // "1: FLOCK  ADVISORY  WRITE <pid> <device>:<inode> 0 EOF"
        const QString pid = QString::number(process.processId());
        for (const QString& line : QString::fromLatin1(locks.readAll()).split('\n')) {
            const QStringList fields = line.split(' ', Qt::SkipEmptyParts);
            if (fields.size() > 4 && fields[1] == "FLOCK" && fields[3] == "WRITE" && fields[4] == pid)
                return true;
        }
        return false;
    }
    // Exit status once it ends (-1 when it did not end normally).
    static int Finish(QProcess& process)
    {
        if (!process.waitForFinished(120000))
            return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // What ffprobe finds in a video: "<width>x<height> <frames>".
    static std::string Probe(const QString& video)
    {
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"), {"-v", "error", "-count_frames", "-show_entries",
                                                "stream=width,height,nb_read_frames", "-of", "csv=p=0:s=x", video});
        if (!probe.waitForFinished(60000))
            return {};
        const QStringList fields = QString::fromLatin1(probe.readAllStandardOutput()).trimmed().split('x');
        return fields.size() == 3 ? QStringLiteral("%1x%2 %3").arg(fields[0], fields[1], fields[2]).toStdString() : "";
    }

    // Frame `n` of a video as ffmpeg decodes it.
    QImage FrameOf(const QString& video, int n) const
    {
        const QString png = root.path() + QStringLiteral("/frame%1.png").arg(n);
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", video, "-vf",
                                                QStringLiteral("select=eq(n\\,%1)").arg(n), "-frames:v", "1", png});
        return ffmpeg.waitForFinished(60000) ? QImage(png) : QImage();
    }

    std::string ImagePath(uint32_t seconds) const { return archive.file({seconds, 0}); }

    QTemporaryDir root{QDir::tempPath() + "/export-command-XXXXXX"};
    test::TempArchive archive{root.path().toStdString() + "/archive"};
    QString locked;
};

TEST_F(ExportCommandTest, FailsClearlyAndLeavesNothing)
{
    const QString images = QString::fromStdString(archivePath());
    const QString out = root.path() + "/out.mp4";
    struct Case {
        const char* what;
        QStringList arguments;
        int status;
        const char* says;
        bool unprivileged = false;
    };
    const Case cases[] = {
        {"empty range", Range(kStart - 3600, kStart - 60) << out, 1, "no images of camera 1A"},
        {"missing archive", Range(kStart, kStart + 60) << "--archive" << root.path() + "/nowhere" << out, 1,
         "No such file or directory"},
        {"no output type", Range(kStart, kStart + 60) << root.path() + "/out.avi", 2, "must end in .mp4 or .zip"},
        {"backwards range", Range(kStart + 60, kStart) << out, 2, "must be later than --from"},
        {"not a time", QStringList{"--instance", "1", "--camera", "A", "--from", "yesterday", "--to", At(kStart), out}, 2,
         "--from must be a local date and time"},
        {"unwritable output",
         Range(kStart, kStart + 60) << "--archive" << images << locked + "/out.zip", 1, "Permission denied", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray output;
        EXPECT_EQ(Run(c.arguments, &output, c.unprivileged), c.status) << output.toStdString();
        EXPECT_TRUE(output.contains(c.says)) << output.toStdString();
    }
    EXPECT_TRUE(QDir(locked).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(QFile::exists(out));

    // The same camera and times with room to write: a whole file, status 0.
    QByteArray output;
    ASSERT_EQ(Run(Range(kStart, kStart + 60) << out, &output), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("5 images of camera 1A")) << output.toStdString();
    EXPECT_GT(QFile(out).size(), 0);
}

TEST_F(ExportCommandTest, LinksFifosAndHugeFilesAreNeitherFollowedNorWaitedOn)
{
    // Beside the five images: a FIFO (whose reader would wait for a writer
    // for ever), links to a file outside and to an image outside, and a
    // sparse 64 GB file, all named like images of the range.
    const QString outside = root.path() + "/outside.jpg";
    ASSERT_TRUE(QFile::copy(QString::fromStdString(ImagePath(kStart)), outside));
    ASSERT_EQ(mkfifo(ImagePath(kStart + 5).c_str(), 0644), 0);
    ASSERT_EQ(symlink("/etc/passwd", ImagePath(kStart + 6).c_str()), 0);
    ASSERT_EQ(symlink(outside.toLocal8Bit().constData(), ImagePath(kStart + 7).c_str()), 0);
    {
        QFile sparse(QString::fromStdString(ImagePath(kStart + 8)));
        ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
        ASSERT_TRUE(sparse.resize(int64_t(64) << 30));
    }

    for (const char* name : {"/images.zip", "/video.mp4"}) {
        SCOPED_TRACE(name);
        const QString out = root.path() + name;
        QByteArray output;
        ASSERT_EQ(Run(Range(kStart, kStart + 60) << out, &output), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("5 images of camera 1A")) << output.toStdString();
        EXPECT_FALSE(output.contains("left the archive")) << output.toStdString(); // the others are no images
        EXPECT_TRUE(output.contains("1 image is over 64 MiB and left out (the first: "
                                    + QByteArray::fromStdString(ArchiveImageName({kStart + 8, 0}, archive.suffix()))))
            << output.toStdString();
    }
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {"-Z1", root.path() + "/images.zip"});
    ASSERT_TRUE(unzip.waitForFinished(60000));
    QStringList names;
    for (uint32_t s = 0; s < 5; ++s)
        names << QString::fromStdString(ArchiveImageName({kStart + s, 0}, archive.suffix()));
    EXPECT_EQ(QString::fromLatin1(unzip.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts), names);
}

TEST_F(ExportCommandTest, EveryStopSignalLeavesNothingBehindAndLeftoversGo)
{
    // 1500 images (links of one) make an export that runs long enough to be
    // signalled while its temporary file exists.
    constexpr uint32_t kLong = kStart + 1000;
    archive.Add({kLong, 0}, Qt::darkCyan, QSize(640, 480));
    for (uint32_t s = 1; s < 1500; ++s)
        ASSERT_EQ(link(ImagePath(kLong).c_str(), ImagePath(kLong + s).c_str()), 0);
    const QString folder = root.path() + "/exports";
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString out = folder + "/clip.mp4";
    const auto files = [&] { return QDir(folder).entryList(QDir::Files | QDir::Hidden).join(' ').toStdString(); };
    const auto temporaries = [&] { return QDir(folder).entryList({".clip.mp4.*.part"}, QDir::Files | QDir::Hidden); };
    // Started, once it has made and locked a temporary file other than
    // `earlier` (a stop between the two would leave it unlocked).
    const auto startLong = [&](const QString& earlier = {}) {
        std::unique_ptr<QProcess> process = Start(Range(kLong, kLong + 1500) << out);
        const bool writing = process && test::waitFor([&] {
            const QStringList now = temporaries();
            return std::any_of(now.begin(), now.end(), [&](const QString& name) { return name != earlier; })
                && HoldsALock(*process);
        }, std::chrono::seconds(60));
        return writing ? std::move(process) : nullptr;
    };

    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGRTMIN}) {
        SCOPED_TRACE(signal);
        std::unique_ptr<QProcess> process = startLong();
        ASSERT_TRUE(process);
        ASSERT_TRUE(Signal(*process, signal));
        EXPECT_EQ(Finish(*process), 130) << process->readAllStandardError().toStdString();
        EXPECT_EQ(files(), "");
    }

    // SIGKILL leaves its temporary file. The next export to the same file
    // removes it, but no export removes that of one still running (here
    // stopped).
    std::unique_ptr<QProcess> killed = startLong();
    ASSERT_TRUE(killed);
    ASSERT_TRUE(Signal(*killed, SIGKILL));
    EXPECT_EQ(Finish(*killed), -1);
    const QStringList left = temporaries();
    ASSERT_EQ(left.size(), 1);
    std::unique_ptr<QProcess> running = startLong(left[0]);
    ASSERT_TRUE(running);
    ASSERT_TRUE(Signal(*running, SIGSTOP));
    const QStringList writing = temporaries();
    EXPECT_FALSE(writing.contains(left[0]));
    QByteArray output;
    EXPECT_EQ(Run(Range(kStart, kStart + 60) << out, &output), 0) << output.toStdString();
    EXPECT_EQ(files(), writing.join(' ').toStdString() + " clip.mp4");
    ASSERT_TRUE(Signal(*running, SIGTERM));
    ASSERT_TRUE(Signal(*running, SIGCONT));
    EXPECT_EQ(Finish(*running), 130);
    EXPECT_EQ(files(), "clip.mp4");
    EXPECT_EQ(Probe(out), "64x48 5");
}

bool Near(QColor seen, QColor expected)
{
    return std::abs(seen.red() - expected.red()) < 40 && std::abs(seen.green() - expected.green()) < 40
        && std::abs(seen.blue() - expected.blue()) < 40;
}

TEST_F(ExportCommandTest, VideoTakesTheSizeMostImagesHaveAndLeavesOutDamagedOnes)
{
    // A first image of one pixel, three of 8 x 8 and as many of 320 x 180
    // (the larger wins the tie), one of which is corrupt, and two of 160 x
    // 120, one cut short.
    constexpr uint32_t kAt = kStart + 100;
    struct Image {
        QColor colour;
        QSize size;
    };
    const Image images[] = {
        {Qt::white, {1, 1}},      {Qt::red, {8, 8}},        {Qt::red, {8, 8}},       {Qt::red, {8, 8}},
        {Qt::green, {320, 180}},  {Qt::green, {320, 180}},  {Qt::green, {320, 180}}, // the last one corrupt
        {Qt::blue, {160, 120}},   {Qt::blue, {160, 120}},                            // the last one cut short
    };
    for (uint32_t i = 0; i < std::size(images); ++i)
        archive.Add({kAt + i, 0}, images[i].colour, images[i].size);
    const auto rewrite = [this](uint32_t seconds, const std::function<void(QByteArray&)>& damage) {
        QFile file(QString::fromStdString(ImagePath(seconds)));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        damage(bytes);
        ASSERT_TRUE(file.resize(0));
        ASSERT_TRUE(file.seek(0));
        ASSERT_EQ(file.write(bytes), bytes.size());
    };
    rewrite(kAt + 6, [](QByteArray& bytes) {
        for (qsizetype i = bytes.size() / 2; i < bytes.size() / 2 + 40; ++i)
            bytes[i] = char(i * 37);
    });
    rewrite(kAt + 8, [](QByteArray& bytes) { bytes.truncate(bytes.size() / 2); });

    const QString out = root.path() + "/mixed.mp4";
    QByteArray output;
    ASSERT_EQ(Run(Range(kAt, kAt + 60) << out, &output), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("2 images are damaged or cut short and left out (the first: "
                                + QByteArray::fromStdString(ArchiveImageName({kAt + 6, 0}, archive.suffix()))))
        << output.toStdString();
    EXPECT_EQ(Probe(out), "320x180 7");
    // Images of another shape keep it, between black bars: frame 1 is 8 x 8
    // (bars 70 wide), frame 6 is 160 x 120 (bars 40 wide).
    for (const auto& [frame, colour, bar] : {std::tuple{1, QColor(Qt::red), 70}, std::tuple{6, QColor(Qt::blue), 40}}) {
        SCOPED_TRACE(frame);
        const QImage image = FrameOf(out, frame);
        ASSERT_EQ(image.size(), QSize(320, 180));
        for (const auto& [x, expected] : {std::pair{bar / 2, QColor(Qt::black)}, std::pair{160, colour},
                                          std::pair{320 - bar / 2, QColor(Qt::black)}})
            EXPECT_TRUE(Near(image.pixelColor(x, 90), expected))
                << "at x " << x << ": " << image.pixelColor(x, 90).name().toStdString();
    }
}

} // namespace
} // namespace vistrel
