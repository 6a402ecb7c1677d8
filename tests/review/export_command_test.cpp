#include "review/timeline.h"
#include "settings/registry_key.h"
#include "settings/settings_io.h"

#include "archive_fixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

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

} // namespace
} // namespace vistrel
