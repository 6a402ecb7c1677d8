// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/review_window.h"

#include "common/text_format.h"
#include "events/event_log.h"
#include "settings/registry_store.h"
#include "review/timeline.h"
#include "review/timeline_widget.h"
#include "support/temp_env.h"

#include "archive_fixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QScopeGuard>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {
namespace {

using test::waitFor;

// Drives the review window offscreen over a temporary archive of camera A,
// changing the archive underneath it as the recorder and retention do.
class ReviewWindowTest : public testing::Test {
protected:
    static constexpr uint32_t kStart = 1796648400;

    void SetUp() override
    {
        settings.InstanceNumber = 1;
        settings.ArchivePath[0] = archive.path();
        // Two events: six images a second apart, an hour's gap, three more.
        for (uint32_t s = 0; s < 6; ++s)
            keys.push_back({kStart + s, 0});
        for (uint32_t s = 0; s < 3; ++s)
            keys.push_back({kStart + 3600 + s, 0});
        for (size_t i = 0; i < keys.size(); ++i)
            archive.Add(keys[i], Colour(i));
    }

    static QColor Colour(size_t i) { return QColor::fromHsv(int(i * 40 % 360), 255, 220); }

    std::unique_ptr<ReviewWindow> Open()
    {
        ReviewEnvironment environment;
        environment.settings = &settings;
        auto window = std::make_unique<ReviewWindow>(0, environment);
        window->show();
        return window;
    }

    static bool Listed(const ReviewWindow& window, size_t images)
    {
        return window.index()->state() == ArchiveIndex::State::Ready && window.index()->size() == images;
    }

    // The window shows the image of that colour (JPEG keeps it close).
    static bool Shows(const ReviewWindow& window, QColor colour)
    {
        const QImage image = window.shownImage();
        if (image.isNull())
            return false;
        const QColor seen = image.pixelColor(image.width() / 2, image.height() / 2);
        return std::abs(seen.red() - colour.red()) < 12 && std::abs(seen.green() - colour.green()) < 12
            && std::abs(seen.blue() - colour.blue()) < 12;
    }

    InstanceSettings settings;
    test::TempArchive archive;
    std::vector<ArchiveKey> keys;
};

TEST_F(ReviewWindowTest, FindsStepsAndFollowsTheArchive)
{
    auto window = Open();
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size()); }));
    // It opens on the newest image, the last hour in view.
    ASSERT_EQ(window->cursor(), keys.size() - 1);
    EXPECT_TRUE(waitFor([&] { return Shows(*window, Colour(keys.size() - 1)); }));
    // Their bytes in the units the main window's archive line uses.
    double inView = 0;
    for (size_t i = keys.size() - 3; i < keys.size(); ++i)
        inView += double(QFileInfo(QString::fromStdString(archive.file(keys[i]))).size());
    const QString viewText = QStringLiteral("In view: 3 images, %1 ").arg(QString::fromStdString(FormatSize(inView)));
    EXPECT_TRUE(waitFor([&] { return window->viewLabel()->text().startsWith(viewText); }))
        << window->viewLabel()->text().toStdString() << " is not " << viewText.toStdString();

    // Jump into the first event by local time, then step through it.
    window->JumpTo(InstantOf(*ParseLocalDateTime(FormatLocalTime(kStart + 2))) * 1000);
    EXPECT_EQ(window->cursor(), 2u);
    window->StepBy(1);
    EXPECT_EQ(window->cursor(), 3u);
    EXPECT_TRUE(window->timeLabel()->text().contains(QString::fromStdString(FormatLocalTime(kStart + 3))));
    EXPECT_TRUE(waitFor([&] { return Shows(*window, Colour(3)); }));

    // Retention deletes the image on screen and the one before it: the
    // cursor moves on to the next image left.
    archive.Remove(keys[2]);
    archive.Remove(keys[3]);
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size() - 2); }));
    EXPECT_EQ(window->index()->images()[*window->cursor()].key, keys[4]);
    EXPECT_TRUE(waitFor([&] { return Shows(*window, Colour(4)); }));

    // The recorder saves a new image: it joins the timeline.
    archive.Add({kStart + 3600 + 10, 0}, Qt::white);
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size() - 1); }));
    EXPECT_EQ(window->index()->images().back().key, (ArchiveKey{kStart + 3600 + 10, 0}));
}

// The camera's events from the instance's log lie on the timeline, motion
// as a mark along the top and a fault as a band; the event keys and buttons
// go from one event's start to the next.
TEST_F(ReviewWindowTest, ShowsTheEventsOfTheLogAndJumpsBetweenThem)
{
    test::TempEnvironment env;
    {
        EventLogStatus status;
        auto log = EventLog::Open(EventLogPath(DefaultRegistryFolder(), 1), EventLog::Mode::ReadWrite, status);
        ASSERT_TRUE(log) << status.message;
        const auto add = [&](EventType type, char camera, int64_t start, int64_t end) {
            Event event;
            event.type = type;
            event.camera = camera;
            event.start = start;
            event.end = end;
            ASSERT_TRUE(log->Insert(event).ok());
        };
        add(EventType::Motion, 'A', kStart + 1, kStart + 3);
        add(EventType::Motion, 'B', kStart + 2, kStart + 4); // another camera's
        add(EventType::RecordingFault, 'A', kStart + 3600, kStart + 3601);
        add(EventType::Motion, 'A', kStart + 3602, kStart + 3602);
    }
    auto window = Open();
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size()); }));
    ASSERT_EQ(window->events().size(), 3u);

    // The first ten minutes in view; the cursor stays on the newest image.
    window->SetView({int64_t(kStart) * 1000 - 60000, 600000});
    const QImage painted = window->timeline()->grab().toImage();
    const std::vector<QRect>& rects = window->timeline()->eventRects();
    ASSERT_EQ(rects.size(), 3u);
    EXPECT_LT(rects[0].height(), rects[1].height()) << "motion is a mark, a fault a band";
    const QColor mark = painted.pixelColor(rects[0].center());
    EXPECT_TRUE(mark.red() > 200 && mark.green() > 120 && mark.blue() < 60) << mark.name().toStdString();

    window->JumpTo(int64_t(kStart) * 1000);
    EXPECT_EQ(window->cursor(), 0u);
    window->NextEvent();
    EXPECT_EQ(window->cursor(), 1u);
    QTest::keyClick(window.get(), Qt::Key_PageDown);
    EXPECT_EQ(window->cursor(), 6u);
    window->NextEvent();
    EXPECT_EQ(window->cursor(), 8u);
    window->NextEvent();
    EXPECT_EQ(window->cursor(), 8u) << "no event after the last";
    QTest::keyClick(window.get(), Qt::Key_PageUp);
    EXPECT_EQ(window->cursor(), 6u);
}

TEST_F(ReviewWindowTest, PlaysInALoopOverTheSelectionAndExportsIt)
{
    auto window = Open();
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size()); }));
    const ArchiveIndex& index = *window->index();
    window->SetSelection(index.TimeMs(1), index.TimeMs(3) + 1); // images 1, 2 and 3
    window->SetLoop(true);
    window->SetSpeed(16);
    window->Play(); // the cursor is outside the selection: play starts at its beginning
    EXPECT_EQ(window->cursor(), 1u);
    // Images whose turn passed while the machine was busy may be skipped,
    // but play never leaves the range and starts it again at its end.
    std::set<size_t> visited;
    size_t previous = *window->cursor();
    bool wrapped = false;
    ASSERT_TRUE(waitFor([&] {
        const size_t now = *window->cursor();
        visited.insert(now);
        wrapped |= now < previous;
        previous = now;
        return wrapped;
    }));
    EXPECT_TRUE(window->playing());
    EXPECT_TRUE(std::all_of(visited.begin(), visited.end(), [](size_t i) { return i >= 1 && i <= 3; }));
    window->Pause();

    // The same range exported while the window goes on working.
    QTemporaryDir out;
    const QString path = out.path() + "/event.zip";
    window->StartExport(ExportFormat::Zip, path);
    EXPECT_TRUE(window->exporting());
    window->StepBy(1); // the window answers during the export
    ASSERT_TRUE(waitFor([&] { return window->lastExport().has_value(); }));
    EXPECT_EQ(window->lastExport()->status, ExportResult::Status::Done) << window->lastExport()->error;
    EXPECT_EQ(window->lastExport()->written, 3u);
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"event.zip"});
    EXPECT_TRUE(window->exportLabel()->text().startsWith("Exported 3 images"));
}

TEST_F(ReviewWindowTest, AMissingFolderIsWaitedForNotAnError)
{
    settings.ArchivePath[0] = archive.path() + "/not-yet";
    auto window = Open();
    ASSERT_TRUE(waitFor([&] { return window->index()->state() == ArchiveIndex::State::Missing; }));
    EXPECT_TRUE(window->viewLabel()->text().contains("does not exist"));

    // The options dialog makes the folder and the recorder starts saving.
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(settings.ArchivePath[0])));
    const std::string image = settings.ArchivePath[0] + "/" + ArchiveImageName(keys[0], archive.suffix());
    ASSERT_TRUE(QFile::copy(QString::fromStdString(archive.file(keys[0])), QString::fromStdString(image)));
    ASSERT_TRUE(waitFor([&] { return Listed(*window, 1); }));
    EXPECT_EQ(window->cursor(), 0u);
}

TEST_F(ReviewWindowTest, LinksFifosAndHugeFilesNeitherHangNorCrashIt)
{
    // Named like images: a sparse 64 GB file, a link to an image outside the
    // folder, and, newest of all, a FIFO, whose reader would wait for a
    // writer for ever (and the window's end with it).
    QTemporaryDir outside;
    const QString white = outside.path() + "/white.jpg";
    ASSERT_TRUE(QImage(64, 48, QImage::Format_RGB888).save(white, "JPG"));
    const ArchiveKey huge{kStart + 10, 0}, linked{kStart + 3600 + 5, 0}, fifo{kStart + 3600 + 6, 0};
    {
        QFile sparse(QString::fromStdString(archive.file(huge)));
        ASSERT_TRUE(sparse.open(QIODevice::WriteOnly));
        ASSERT_TRUE(sparse.resize(int64_t(64) << 30));
    }
    ASSERT_EQ(symlink(white.toLocal8Bit().constData(), archive.file(linked).c_str()), 0);
    ASSERT_EQ(mkfifo(archive.file(fifo).c_str(), 0644), 0);

    auto window = Open();
    // Should a reader wait on the FIFO all the same, a writer lets it go
    // before the window ends, so that a failure here ends the test.
    const auto releaseFifo = qScopeGuard([&] {
        if (const int fd = open(archive.file(fifo).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0)
            close(fd);
    });
    ASSERT_TRUE(waitFor([&] { return window->index()->state() == ArchiveIndex::State::Ready; }));
    EXPECT_EQ(window->index()->size(), keys.size() + 1); // the huge file is an image, too large to read
    EXPECT_EQ(window->index()->images().back().key, keys.back());
    EXPECT_TRUE(waitFor([&] { return Shows(*window, Colour(keys.size() - 1)); }));

    // Everything exported: the huge file is left out and said to be.
    QTemporaryDir out;
    window->SetSelection(window->index()->TimeMs(0), window->index()->TimeMs(window->index()->size() - 1) + 1);
    window->StartExport(ExportFormat::Zip, out.path() + "/all.zip");
    ASSERT_TRUE(waitFor([&] { return window->lastExport().has_value(); }, std::chrono::seconds(60)));
    EXPECT_EQ(window->lastExport()->status, ExportResult::Status::Done) << window->lastExport()->error;
    EXPECT_EQ(window->lastExport()->written, keys.size());
    EXPECT_TRUE(window->exportLabel()->text().contains("1 image is over 64 MiB"))
        << window->exportLabel()->text().toStdString();
}

TEST_F(ReviewWindowTest, FollowsItsPathToAnotherFolderAndImagesLinkedIn)
{
    // The archive path is a link; images are hard-linked in, and then the
    // link is pointed at another folder.
    QTemporaryDir root;
    const std::string path = root.path().toStdString() + "/current";
    ASSERT_EQ(symlink(archive.path().c_str(), path.c_str()), 0);
    settings.ArchivePath[0] = path;
    test::TempArchive other(root.path().toStdString() + "/other");
    const std::vector<ArchiveKey> otherKeys = {{kStart + 7200, 0}, {kStart + 7201, 0}};
    for (const ArchiveKey& key : otherKeys)
        other.Add(key, Qt::white);

    auto window = Open();
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size()); }));
    const ArchiveKey linked{kStart + 3600 + 20, 0};
    ASSERT_EQ(link(archive.file(keys[0]).c_str(), archive.file(linked).c_str()), 0);
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size() + 1); }));
    EXPECT_EQ(window->index()->images().back().key, linked);

    const std::string repointed = path + ".new";
    ASSERT_EQ(symlink(other.path().c_str(), repointed.c_str()), 0);
    ASSERT_EQ(std::rename(repointed.c_str(), path.c_str()), 0);
    ASSERT_TRUE(waitFor([&] { return Listed(*window, otherKeys.size()); }));
    EXPECT_EQ(window->index()->images().front().key, otherKeys[0]);
    EXPECT_TRUE(waitFor([&] { return Shows(*window, Qt::white); }));
}

} // namespace
} // namespace vistrel

namespace vistrel {
namespace {

// Keep links the selected images, and only those, into the camera's Kept
// folder (the same files: no space taken twice), keeps them when the archive
// copy goes, and the window shows them.
TEST_F(ReviewWindowTest, KeepLinksTheSelectionIntoTheKeptFolder)
{
    auto window = Open();
    ASSERT_TRUE(waitFor([&] { return Listed(*window, keys.size()); }));
    const ArchiveIndex& index = *window->index();
    window->SetSelection(index.TimeMs(6), index.TimeMs(7) + 1); // images 6 and 7
    window->KeepSelection();
    EXPECT_TRUE(window->exportLabel()->text().startsWith("Kept 2 images")) << window->exportLabel()->text().toStdString();
    const std::string kept = archive.path() + "/Kept/";
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string name = ArchiveImageName(keys[i], archive.suffix());
        struct stat original, copy;
        const bool keptHere = ::stat((kept + name).c_str(), &copy) == 0;
        EXPECT_EQ(keptHere, i == 6 || i == 7) << i;
        if (keptHere) {
            ASSERT_EQ(::stat(archive.file(keys[i]).c_str(), &original), 0);
            EXPECT_EQ(copy.st_ino, original.st_ino) << i;
        }
    }
    // Keeping again changes nothing; the archive's copy may go.
    window->KeepSelection();
    EXPECT_TRUE(window->exportLabel()->text().startsWith("Kept 2 images"));
    archive.Remove(keys[6]);

    window->SetShowKept(true);
    ASSERT_TRUE(waitFor([&] { return Listed(*window, 2); }));
    EXPECT_EQ(window->index()->images()[0].key, keys[6]);
    EXPECT_TRUE(waitFor([&] { return Shows(*window, Colour(7)); }));
    window->SetShowKept(false);
    EXPECT_TRUE(waitFor([&] { return Listed(*window, keys.size() - 1); }));
}

} // namespace
} // namespace vistrel
