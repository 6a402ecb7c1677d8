// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_keeper.h"

#include "archive/archive_folder.h"
#include "common/temporary_name.h"
#include "support/fake_display.h"
#include "support/lock_holder.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>


namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPast = 1600000000; // September 2020

class ArchiveKeeperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.isValid());
        for (int i = 0; i < kCameraCount; ++i) {
            settings.ArchivePath[i] = Folder(i);
            fs::create_directories(Folder(i));
        }
    }

    std::string Folder(int camera) const
    {
        return root_.path().toStdString() + "/Camera1" + CameraLetter(camera);
    }

    // Writes archive images of `camera` one second apart, as the image thread
    // names them, each of `bytes` bytes (two at least) ending as a JPEG does.
    std::vector<std::string> AddImages(int camera, int count, uint32_t firstTime = kPast, size_t bytes = 2,
                                       int instance = 1)
    {
        std::vector<std::string> names;
        const std::string content = std::string(std::max<size_t>(bytes, 2) - 2, 'x') + "\xff\xd9";
        for (int k = 0; k < count; ++k) {
            const std::string name = std::to_string(firstTime + k) + "0" + ArchiveSuffix(instance, camera);
            std::ofstream(Folder(camera) + "/" + name, std::ios::binary) << content;
            names.push_back(name);
        }
        return names;
    }

    // As the image thread does after an archive save.
    void CountNewImage(int camera, int64_t bytes = 0)
    {
        settings.ArchiveCount[camera] += 1;
        settings.ArchiveBytes[camera] += bytes;
        settings.LastImageBytes[camera] = uint32_t(bytes);
    }

    // The image thread's whole save of a four-byte image: its key published
    // before the file appears, then the counters with the key they now hold,
    // unless `counted` is false (their lock was busy; CountSaved follows).
    std::string SaveAsImageThread(int camera, uint32_t time, bool counted = true)
    {
        const ArchiveStamp key(time, 0);
        ArchiveStamp none;
        settings.ArchiveFirstSavedStamp[camera].compare_exchange_strong(none, key);
        settings.ArchiveLastSavedStamp[camera].store(key);
        const std::string name = std::to_string(time) + "0" + ArchiveSuffix(1, camera);
        std::ofstream(Folder(camera) + "/" + name) << "jpeg";
        if (counted)
            CountSaved(camera, time);
        return name;
    }
    void CountSaved(int camera, uint32_t time)
    {
        {
            TimedLock lock(settings.ArchiveBytesLock[camera]);
            settings.ArchiveBytes[camera] += 4;
            settings.ArchiveBytesLastStamp[camera] = ArchiveStamp(time, 0);
        }
        {
            TimedLock lock(settings.ArchiveCountLock[camera]);
            settings.ArchiveCount[camera] += 1;
            settings.ArchiveCountLastStamp[camera] = ArchiveStamp(time, 0);
        }
        TimedLock lock(settings.LastImageBytesLock[camera]);
        settings.LastImageBytes[camera] = 4;
    }

    std::vector<std::string> Listing(int camera) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Folder(camera)))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    void Start()
    {
        ASSERT_TRUE(keeper.TakeSettingsSnapshot());
        ASSERT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Done);
    }

    QTemporaryDir root_;
    InstanceSettings settings;
    test::FakeDisplay display;
    int dispatches = 0;
    std::function<void()> onDispatch;
    std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
    ArchiveKeeper keeper{settings, display,
                         [this] {
                             ++dispatches;
                             if (onDispatch)
                                 onDispatch();
                         },
                         kLockWait, [this] { return now_; }};
};

TEST_F(ArchiveKeeperTest, RetentionBecomesAnImageCountFromTheEffectiveInterval)
{
    const struct {
        int32_t saveEvery;
        bool mux;
        int32_t muxSpeed;
        int inputs;
        int32_t days, hours, minutes;
        int32_t intervalMs;
        int32_t maxImages;
    } cases[] = {
        {1000, false, 250, 0, 0, 0, 5, 1000, 300},
        {333, false, 250, 0, 0, 0, 5, 333, 901},
        {1000, true, 250, 3, 0, 0, 5, 750, 400},   // each camera sees every third frame
        {1000, true, 250, 0, 0, 0, 5, 1000, 300},  // no input in use: camera A alone, as the image thread runs it
        {1000, true, 50, 3, 0, 0, 5, 300, 1000},   // the image thread paces 50 ms at 100 ms too
        {0, false, 250, 0, 0, 0, 5, 100, 3000},
        {50, false, 250, 0, 0, 0, 5, 100, 3000},
        {-1000, false, 250, 0, 0, 0, 5, 100, 3000},
        {1000, false, 250, 0, 1, 1, 1, 1000, 90060},
        {1000, false, 250, 0, 0, 0, 0, 1000, 0},
        {1000, false, 250, 0, 0, 0, -5, 1000, 0},  // a negative period keeps nothing, as zero does
        {100, false, 250, 0, 100000, 0, 0, 100, INT32_MAX},
    };
    for (const auto& c : cases) {
        InstanceSettings s;
        s.SaveEvery = c.saveEvery;
        s.EnableMux = c.mux;
        s.MuxerSpeed = c.muxSpeed;
        for (int i = 0; i < c.inputs; ++i)
            s.MuxerInputs[i] = 1;
        s.Days[2] = c.days;
        s.Hours[2] = c.hours;
        s.Minutes[2] = c.minutes;
        ArchiveKeeper k(s, display, [] {});
        ASSERT_TRUE(k.TakeSettingsSnapshot());
        EXPECT_EQ(k.IntervalMs(), c.intervalMs) << c.saveEvery << " " << c.mux;
        EXPECT_EQ(k.MaxImageCount(2), c.maxImages) << c.saveEvery << " " << c.days << " " << c.minutes;
    }

    settings.LoadedArchiveCount[0] = 0;
    settings.LoadedArchiveCount[1] = -3;
    settings.LoadedArchiveCount[2] = 500;
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    EXPECT_EQ(keeper.ExpectedCount(0), 1);
    EXPECT_EQ(keeper.ExpectedCount(1), 1);
    EXPECT_EQ(keeper.ExpectedCount(2), 500);
}

TEST_F(ArchiveKeeperTest, CountPassStoresCountBytesAndNewestSizeWithProgress)
{
    settings.LoadedArchiveCount[0] = 4;
    AddImages(0, 3, kPast, 10);
    AddImages(0, 1, kPast + 10, 25); // the newest
    settings.ArchiveCount[0] = 99;   // a count from before is replaced
    Start();

    EXPECT_EQ(settings.ArchiveCount[0], 4);
    EXPECT_EQ(settings.ArchiveBytes[0], 55);
    EXPECT_EQ(settings.LastImageBytes[0], 25u);
    EXPECT_TRUE(keeper.Counted(0));
    const auto bar = display.bar(0);
    EXPECT_EQ(bar.range, std::make_pair(0, 4));
    EXPECT_EQ(bar.positions, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(bar.texts.front(), "Reading Archive 1 of 4");
    EXPECT_EQ(bar.texts.back(), "Reading Archive 4 of 4");
    EXPECT_EQ(dispatches, 4); // after every file

    // An empty or missing folder is an archive of nothing.
    fs::remove_all(Folder(0));
    settings.ArchivePath[0] = Folder(0) + "/missing";
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    ASSERT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(settings.ArchiveCount[0], 0);
    EXPECT_EQ(settings.ArchiveBytes[0], 0);
    EXPECT_EQ(settings.LastImageBytes[0], 0u);

    // No image yet: the forecast is nothing either.
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(display.bar(0).forecast, "Forecast Disk Usage: 0.00 KB, Used so far: 0.00 KB");
}

TEST_F(ArchiveKeeperTest, ZeroRetentionDeletesEveryImageOnEachTick)
{
    settings.Minutes[0] = 0;
    AddImages(0, 8);
    Start();
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_TRUE(Listing(0).empty());
    EXPECT_EQ(settings.ArchiveCount[0], 0);

    AddImages(0, 1, kPast + 100, 2048);
    CountNewImage(0, 2048);
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_TRUE(Listing(0).empty());

    display.clear();
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    const auto bar = display.bar(0);
    EXPECT_EQ(bar.texts, (std::vector<std::string>{"Archive 0 of 0   [0days 0hr 0min 0sec]"}));
    EXPECT_EQ(bar.range, std::make_pair(0, 1));
    EXPECT_EQ(bar.positions, (std::vector<int>{0}));
    EXPECT_EQ(bar.forecast, "Forecast Disk Usage: 0.00 KB, Used so far: 0.00 KB");
    EXPECT_EQ(settings.ArchiveBytes[0], 0);
}

TEST_F(ArchiveKeeperTest, ASurplusOfFiveIsDeletedQuietlyAndOfSixAsAResize)
{
    // Five minutes at one image a second: 300 images.
    const auto names = AddImages(0, 305, kPast, 100);
    Start();
    display.clear();
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    auto bar = display.bar(0);
    EXPECT_EQ(bar.texts, (std::vector<std::string>{"Archive 305 of 300   [0days 0hr 5min 5sec]"}));
    EXPECT_EQ(bar.range, std::make_pair(0, 300));
    EXPECT_EQ(bar.forecast, "Forecast Disk Usage: 29.30 KB, Used so far: 29.79 KB");
    EXPECT_EQ(settings.ArchiveCount[0], 300);
    EXPECT_EQ(settings.ArchiveBytes[0], 30000);
    const auto left = Listing(0);
    EXPECT_EQ(left, std::vector<std::string>(names.begin() + 5, names.end())); // the oldest went

    AddImages(0, 6, kPast + 1000, 100);
    for (int k = 0; k < 6; ++k)
        CountNewImage(0, 100);
    display.clear();
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    bar = display.bar(0);
    EXPECT_EQ(bar.texts, (std::vector<std::string>{
                             "Archive 306 of 300   [0days 0hr 5min 6sec]", "Resizing Archive 306 of 300",
                             "Resizing Archive 305 of 300", "Resizing Archive 304 of 300",
                             "Resizing Archive 303 of 300", "Resizing Archive 302 of 300",
                             "Resizing Archive 301 of 300"}));
    EXPECT_EQ(bar.positions, (std::vector<int>{306, 0, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(bar.range, std::make_pair(0, 6));
    EXPECT_EQ(Listing(0).front(), names[11]);
    EXPECT_EQ(settings.ArchiveCount[0], 300);

    display.clear();
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(display.lastText(0), "Archive 300 of 300   [0days 0hr 5min 0sec]");
    EXPECT_EQ(display.bar(0).range, std::make_pair(0, 300));
}

TEST_F(ArchiveKeeperTest, OnlyCamerasOnTheMultiplexerAreHandledAndCameraAAlways)
{
    settings.EnableMux = 1;
    settings.MuxerInputs = {0, 1, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        settings.Minutes[i] = 0;
        AddImages(i, 4);
    }
    Start();
    EXPECT_TRUE(keeper.Counted(0));
    EXPECT_TRUE(keeper.Counted(1));
    EXPECT_FALSE(keeper.Counted(2));
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_TRUE(Listing(0).empty());
    EXPECT_TRUE(Listing(1).empty());
    EXPECT_EQ(Listing(2).size(), 4u);
    EXPECT_EQ(display.bar(2).updates, 0);

    // Without multiplexing only camera A is left.
    settings.EnableMux = 0;
    AddImages(1, 2);
    keeper.NotifySettingsChanged();
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    CountNewImage(1);
    CountNewImage(1);
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(Listing(1).size(), 2u);
}

TEST_F(ArchiveKeeperTest, APathChangeRecountsUnlessItNamesTheSameFolder)
{
    AddImages(0, 3);
    Start();
    ASSERT_TRUE(keeper.Counted(0));

    // Other letter case reaching the same folder: no recount.
    const std::string sameFolder = root_.path().toStdString() + "/camera1a";
    fs::create_directory_symlink(Folder(0), sameFolder);
    settings.ArchivePath[0] = sameFolder;
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    EXPECT_TRUE(keeper.Counted(0));

    // Other letter case naming another folder on this file system: counted afresh.
    const std::string otherFolder = root_.path().toStdString() + "/CAMERA1A";
    fs::create_directory(otherFolder);
    settings.ArchivePath[0] = otherFolder;
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    EXPECT_FALSE(keeper.Counted(0));
    ASSERT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(settings.ArchiveCount[0], 0);

    // Unchanged settings count nothing again.
    const auto listings = keeper.ListingCount();
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    ASSERT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(keeper.ListingCount(), listings);
}

TEST_F(ArchiveKeeperTest, AStopInMidCountStoresNothingForThatCamera)
{
    AddImages(0, 5);
    settings.ArchiveCount[0] = 77;
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    onDispatch = [this] {
        if (dispatches == 3)
            keeper.RequestQuit();
    };
    EXPECT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Quit);
    EXPECT_EQ(dispatches, 3); // the stop takes effect after the current file
    EXPECT_EQ(settings.ArchiveCount[0], 77);
    EXPECT_FALSE(keeper.Counted(0));
}

TEST_F(ArchiveKeeperTest, ASettingsChangeInMidCountStartsAgainWithTheNewSettings)
{
    settings.EnableMux = 1;
    settings.MuxerInputs = {1, 1, 0, 0, 0, 0, 0, 0};
    AddImages(0, 2);
    AddImages(1, 6);
    const std::string moved = root_.path().toStdString() + "/moved";
    fs::create_directory(moved);
    for (const auto& name : AddImages(1, 3, kPast + 50))
        fs::rename(Folder(1) + "/" + name, moved + "/" + name);
    ASSERT_TRUE(keeper.TakeSettingsSnapshot());
    int listingsAtChange = -1;
    onDispatch = [&] {
        if (dispatches == 4) { // camera A done, camera B's second file
            settings.ArchivePath[1] = moved;
            keeper.NotifySettingsChanged();
            listingsAtChange = int(keeper.ListingCount());
        }
    };
    ASSERT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(settings.ArchiveCount[0], 2);
    EXPECT_EQ(settings.ArchiveCount[1], 3);
    EXPECT_FALSE(keeper.SettingsChanged());
    EXPECT_EQ(keeper.ListingCount(), listingsAtChange + 1); // camera A was not counted again
}

// A user freeing disk or a backup job moving images away: whatever went, the
// count comes to the files on disk and the archive grows back to its
// retention instead of losing every new image.
TEST_F(ArchiveKeeperTest, ImagesRemovedBehindItsBackLeaveTheCountAndTheArchiveGrowsBack)
{
    enum class How { Names, Folder, AlsoWhileListed };
    const struct {
        const char* what;
        int first, end; // of the 120 images, oldest first
        How how;
        int exactFrom; // from this tick on the archive grows by each image and the count is the files; 0: later
    } cases[] = {
        {"the oldest, which it holds to delete next", 0, 30, How::Names, 2},
        {"some in the middle", 50, 80, How::Names, 0},
        {"the newest, saved since it last read the folder", 100, 120, How::Names, 0},
        {"the whole folder, made again by the next save", 0, 120, How::Folder, 1},
        {"the oldest, and more while it reads the folder again", 0, 30, How::AlsoWhileListed, 4},
    };
    settings.Minutes[0] = 2; // 120 images
    uint32_t time = kPast;
    for (const auto& c : cases) {
        fs::remove_all(Folder(0));
        fs::create_directories(Folder(0));
        std::vector<std::string> names = AddImages(0, 100, time, 4);
        size_t left = 0;
        // Runs once, after the file that many dispatches into a tick.
        std::function<void()> duringListing;
        size_t dispatched = 0, runAfter = 0;
        ArchiveKeeper k(settings, display, [&] {
            if (duringListing && ++dispatched == runAfter)
                std::exchange(duringListing, nullptr)();
        }, kLockWait, [this] { return now_; });
        ASSERT_TRUE(k.TakeSettingsSnapshot());
        ASSERT_EQ(k.CountArchives(), ArchiveKeeper::Pass::Done);
        time += 100;
        for (int n = 0; n < 20; ++n)
            names.push_back(SaveAsImageThread(0, time++));
        ASSERT_EQ(settings.ArchiveCount[0], 120);

        for (int n = c.first; n < c.end; ++n)
            fs::remove(Folder(0) + "/" + names[size_t(n)]);
        names.erase(names.begin() + c.first, names.begin() + c.end);
        if (c.how == How::Folder) {
            fs::remove_all(Folder(0));
            // As the image thread makes it again at its next save.
            fs::create_directories(Folder(0));
            settings.ArchiveFolderMade[0] += 1;
        }
        left = Listing(0).size();
        size_t before = left;
        // A new image a second, and a tick after each, until well after the
        // regular listing that checks the counters.
        const int ticks = int(ArchiveKeeper::kRelistEvery.count()) + 80;
        for (int tick = 1; tick <= ticks; ++tick) {
            if (c.how == How::AlsoWhileListed && tick == 2) {
                // Behind the listing's last file: it has counted them all.
                dispatched = 0;
                runAfter = Listing(0).size() + 1;
                duringListing = [&] {
                    for (int n = 0; n < 30; ++n)
                        fs::remove(Folder(0) + "/" + names[size_t(n)]);
                    names.erase(names.begin(), names.begin() + 30);
                    left = Listing(0).size();
                };
            }
            names.push_back(SaveAsImageThread(0, time++));
            now_ += std::chrono::seconds(1);
            ASSERT_EQ(k.PruneArchives(), ArchiveKeeper::Pass::Done);
            const size_t files = Listing(0).size();
            ASSERT_GE(files, left) << c.what << ": an image was deleted at tick " << tick;
            if (c.exactFrom != 0 && tick >= c.exactFrom) {
                ASSERT_EQ(size_t(settings.ArchiveCount[0]), files) << c.what << " at tick " << tick;
                if (tick > c.exactFrom) {
                    ASSERT_EQ(files, std::min<size_t>(before + 1, 120)) << c.what << " at tick " << tick;
                }
            }
            before = files;
        }
        ASSERT_EQ(k.PruneArchives(), ArchiveKeeper::Pass::Done);
        EXPECT_EQ(Listing(0).size(), 120u) << c.what;
        EXPECT_EQ(settings.ArchiveCount[0], 120) << c.what;
        EXPECT_EQ(settings.ArchiveBytes[0], 480) << c.what;
        EXPECT_EQ(display.lastText(0), "Archive 120 of 120   [0days 0hr 2min 0sec]") << c.what;
        EXPECT_EQ(Listing(0), std::vector<std::string>(names.end() - 120, names.end())) << c.what << ": the newest kept";
    }
}

using ArchiveKeeperPermissions = test::Unprivileged<ArchiveKeeperTest>;

TEST_F(ArchiveKeeperPermissions, AFolderThatRefusesDeletionsEndsThePassAfterOneTryAndLosesNothing)
{
    settings.Minutes[0] = 0;
    const auto names = AddImages(0, 50, kPast, 10);
    Start();
    fs::permissions(Folder(0), fs::perms::owner_write, fs::perm_options::remove);

    dispatches = 0;
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(dispatches, 1) << "only the oldest image was tried";
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(dispatches, 2);
    EXPECT_EQ(Listing(0), names);
    EXPECT_EQ(settings.ArchiveCount[0], 50);
    // Shown once, not once a tick.
    const std::string reason = "cannot delete old archive images in " + Folder(0) + ": Permission denied";
    EXPECT_EQ(display.faults(0), (std::vector<std::pair<Fault, std::string>>{{Fault::ArchiveDelete, reason}}));

    // Writable again: the next tick deletes everything, oldest first, counted.
    fs::permissions(Folder(0), fs::perms::owner_write, fs::perm_options::add);
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_TRUE(Listing(0).empty());
    EXPECT_EQ(settings.ArchiveCount[0], 0);
    EXPECT_EQ(settings.ArchiveBytes[0], 0);
    EXPECT_EQ(display.faults(0), (std::vector<std::pair<Fault, std::string>>{{Fault::ArchiveDelete, reason},
                                                                             {Fault::ArchiveDelete, ""}}));
}

// Were they counted, enough of them would have every new image deleted at once.
TEST_F(ArchiveKeeperTest, FoldersAndLinksNamedLikeImagesAreNeitherCountedNorDeleted)
{
    settings.Minutes[0] = 0;
    AddImages(0, 2, kPast + 10, 7);
    const std::string folderName = std::to_string(kPast) + "0" + ArchiveSuffix(1, 0);
    const std::string linkName = std::to_string(kPast + 1) + "0" + ArchiveSuffix(1, 0);
    const std::string danglingName = std::to_string(kPast + 2) + "0" + ArchiveSuffix(1, 0);
    fs::create_directory(Folder(0) + "/" + folderName);
    std::ofstream(Folder(0) + "/" + folderName + "/inside.jpg") << "keep";
    std::ofstream(Folder(1) + "/outside.jpg") << "elsewhere";
    fs::create_symlink(Folder(1) + "/outside.jpg", Folder(0) + "/" + linkName);
    fs::create_symlink(Folder(1) + "/gone.jpg", Folder(0) + "/" + danglingName);
    Start();
    EXPECT_EQ(settings.ArchiveCount[0], 2);
    EXPECT_EQ(settings.ArchiveBytes[0], 14);

    for (int tick = 0; tick < 3; ++tick)
        ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(Listing(0), (std::vector<std::string>{folderName, linkName, danglingName}));
    EXPECT_TRUE(fs::exists(Folder(0) + "/" + folderName + "/inside.jpg"));
    EXPECT_TRUE(fs::exists(Folder(1) + "/outside.jpg"));
    EXPECT_EQ(settings.ArchiveCount[0], 0);
    EXPECT_EQ(settings.ArchiveBytes[0], 0);
}

// After a power cut the newest images may have been renamed into place before
// their data reached the disk: the count pass reads the ends of the newest
// ten, removes those that are torn and counts them out.
TEST_F(ArchiveKeeperTest, TheCountPassRemovesTheNewestImagesAPowerCutLeftTorn)
{
    const std::string whole = "\xff\xd8 whole \xff\xd9";
    const auto write = [this](uint32_t time, const std::string& content) {
        const std::string name = std::to_string(time) + "0" + ArchiveSuffix(1, 0);
        std::ofstream(Folder(0) + "/" + name, std::ios::binary) << content;
        return name;
    };
    std::vector<std::string> kept = {write(kPast, "\xff\xd8 cut short, but older than the newest ten")};
    for (uint32_t k = 1; k <= 12; ++k)
        kept.push_back(write(kPast + k, whole));
    const std::string newest = whole + " and more\xff\xd9";
    kept.push_back(write(kPast + 30, newest));
    write(kPast + 20, std::string(6000, '\0')); // the size, not the data
    write(kPast + 21, "\xff\xd8 cut short");
    write(kPast + 22, "");
    Start();

    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Listing(0), kept);
    int64_t bytes = 0;
    for (const std::string& name : kept)
        bytes += int64_t(fs::file_size(Folder(0) + "/" + name));
    EXPECT_EQ(settings.ArchiveCount[0], int32_t(kept.size()));
    EXPECT_EQ(settings.ArchiveBytes[0], bytes);
    EXPECT_EQ(settings.LastImageBytes[0], newest.size()) << "the newest whole image";
}

TEST_F(ArchiveKeeperTest, OnlyThisInstancesImagesOfThisCameraAreDeletedAndWhatACrashLeftIsRemoved)
{
    settings.InstanceNumber = 1;
    settings.Minutes[0] = 0;
    AddImages(0, 3);
    const std::vector<std::string> foreign = {
        "16000000000-Cam11A.jpg", "16000000000-Cam2A.jpg", "16000000000-Cam1B.jpg", "16000000000-cam1a.jpg",
        "16000000000-Cam1A.JPG", "16000000000-Cam1A.jpg.tmp", ".16000000000-Cam1B.jpg.tmp-Ab12Cd", "notes.txt",
        "." + std::to_string(kPast + 9) + "0-Cam1A.jpg.tmp-" + TemporaryToken(), // a save of this run in flight
    };
    for (const auto& name : foreign)
        std::ofstream(Folder(0) + "/" + name) << "x";
    fs::create_symlink(Folder(0) + "/notes.txt", Folder(0) + "/16000000001-Cam1A.jpg");
    // What a crash or a power cut leaves: the temporary of a save cut short,
    // and an image renamed into place before its content reached the disk.
    std::ofstream(Folder(0) + "/.16000000020-Cam1A.jpg.tmp-Ab12Cd") << "x";
    std::ofstream(Folder(0) + "/16000000030-Cam1A.jpg");
    Start();
    EXPECT_EQ(settings.ArchiveCount[0], 3);
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);

    auto expected = foreign;
    expected.push_back("16000000001-Cam1A.jpg"); // a link is not an image file of ours
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(0), expected);
}

TEST_F(ArchiveKeeperTest, TheSteadyStateListsTheFolderOnlyWhenItsKeptNamesRunOut)
{
    settings.Minutes[0] = 1; // 60 images
    auto names = AddImages(0, 60);
    Start();
    const auto listings = keeper.ListingCount();

    // Nothing to delete: no listing.
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(keeper.ListingCount(), listings);

    // One new image, one deletion, tick after tick: still no listing.
    for (int k = 0; k < 60; ++k) {
        AddImages(0, 1, kPast + 60 + k);
        CountNewImage(0);
        ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
        ASSERT_FALSE(fs::exists(Folder(0) + "/" + names[k])) << k;
    }
    EXPECT_EQ(keeper.ListingCount(), listings);
    EXPECT_EQ(Listing(0).size(), 60u);

    // The kept names have run out: the next deletion lists once more and
    // takes the oldest of what it finds.
    AddImages(0, 1, kPast + 500);
    CountNewImage(0);
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(keeper.ListingCount(), listings + 1);
    EXPECT_EQ(Listing(0).front(), std::to_string(kPast + 61) + "0" + ArchiveSuffix(1, 0));
    EXPECT_EQ(settings.ArchiveCount[0], 60);
}

// After the clock went back, the images from just before the step are the
// footage someone looks for: they stay, unless the step was longer than the
// whole retention (the clock ran far ahead when they were saved).
TEST_F(ArchiveKeeperTest, AfterTheClockWentBackTheOldestByTheirTimeGoFirst)
{
    const struct {
        int back; // seconds
        bool beforeStepGoFirst;
    } cases[] = {{30, false}, {50, false}, {3600, true}};
    settings.Minutes[0] = 1; // 60 images
    for (const auto& c : cases) {
        fs::remove_all(Folder(0));
        fs::create_directories(Folder(0));
        const uint32_t now = uint32_t(std::time(nullptr));
        const auto old = AddImages(0, 40, now - 5000);
        const auto beforeStep = AddImages(0, 20, now + c.back - 20); // saved on the clock before the step
        const auto afterStep = AddImages(0, 10, now - 10);
        ArchiveKeeper k(settings, display, [] {});
        ASSERT_TRUE(k.TakeSettingsSnapshot());
        ASSERT_EQ(k.CountArchives(), ArchiveKeeper::Pass::Done);
        ASSERT_EQ(k.PruneArchives(), ArchiveKeeper::Pass::Done);

        std::vector<std::string> expected = afterStep;
        if (c.beforeStepGoFirst) {
            expected.insert(expected.end(), old.begin(), old.end());
            expected.insert(expected.end(), beforeStep.begin() + 10, beforeStep.end());
        } else {
            expected.insert(expected.end(), old.begin() + 10, old.end());
            expected.insert(expected.end(), beforeStep.begin(), beforeStep.end());
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Listing(0), expected) << "back " << c.back << " s";
    }
}

TEST(DeletionOrder, OldestByTheTimeInTheNameAndFarAheadFirst)
{
    const std::time_t now = 1700000000;
    const DeletionOrder order(now, 3600); // an hour kept
    std::vector<std::string> names = {
        "17000000000-Cam1A.jpg", "17000050000-Cam1A.jpg", "16999999990-Cam1A.jpg", "17000010001-Cam1A.jpg",
        "99999999910-Cam1A.jpg", "1700000-Cam1A.jpg", "-Cam1A.jpg", "17000000001-Cam1A.jpg",
        "170000000010-Cam1A.jpg", "17000000009-Cam1A.jpg", "17000036000-Cam1A.jpg", "17000036010-Cam1A.jpg",
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return order.Before(ArchiveNameStamp(a), a, ArchiveNameStamp(b), b);
    });
    EXPECT_EQ(names, (std::vector<std::string>{
                         "17000036010-Cam1A.jpg", // saved more than the hour kept after now: far ahead
                         "17000050000-Cam1A.jpg",
                         "-Cam1A.jpg", // no time: older than all others
                         "99999999910-Cam1A.jpg", // past 32 bits: a pre-2001 time and a collision number of 10
                         "1700000-Cam1A.jpg", // second 170000 of a clock that started at 1970
                         "16999999990-Cam1A.jpg", "17000000000-Cam1A.jpg", "17000000001-Cam1A.jpg",
                         "17000000009-Cam1A.jpg", "170000000010-Cam1A.jpg", // collision numbers count as numbers
                         "17000010001-Cam1A.jpg", // after now, within the hour: newest
                         "17000036000-Cam1A.jpg", // exactly the hour ahead is still within it
                     }));
}

TEST_F(ArchiveKeeperTest, ACounterUpdateThatFindsItsLockBusyIsAppliedLaterNotLost)
{
    ArchiveKeeper quick(settings, display, [] {}, std::chrono::milliseconds(20));
    settings.Minutes[0] = 1;
    AddImages(0, 62, kPast, 10);
    ASSERT_TRUE(quick.TakeSettingsSnapshot());
    ASSERT_EQ(quick.CountArchives(), ArchiveKeeper::Pass::Done);

    // The count lock turns busy between reading the counters and deleting.
    test::LockHolder holder(settings.ArchiveCountLock[0]);
    display.onLabel = [&](int camera) {
        if (camera == 0)
            holder.Take();
    };
    ASSERT_EQ(quick.PruneArchives(), ArchiveKeeper::Pass::Done);
    display.onLabel = nullptr;
    EXPECT_EQ(Listing(0).size(), 60u);
    EXPECT_EQ(settings.ArchiveBytes[0], 600); // its own lock was free

    // While the lock stays busy the camera waits; nothing more is deleted.
    ASSERT_EQ(quick.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(Listing(0).size(), 60u);

    holder.Release();
    ASSERT_EQ(quick.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(settings.ArchiveCount[0], 60);
    EXPECT_EQ(Listing(0).size(), 60u);
}

// However large the archive, a listing keeps at most kWindowNames names to
// delete (memory does not grow with it), and deletions go oldest first across
// the listings that refill them.
TEST_F(ArchiveKeeperTest, ALargeArchiveHoldsOnlyABoundedWindowOfItsOldestNames)
{
    const int images = int(ArchiveKeeper::kWindowNames) + 300;
    settings.Minutes[0] = 2; // 120 images
    const auto names = AddImages(0, images);
    Start();
    EXPECT_EQ(keeper.HeldNames(0), ArchiveKeeper::kWindowNames);
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done);
    EXPECT_EQ(Listing(0), std::vector<std::string>(names.end() - 120, names.end()));
    EXPECT_EQ(settings.ArchiveCount[0], 120);
    EXPECT_LE(keeper.ListingCount(), 3);
}

// Listing a large folder again must not hold up a stop.
TEST_F(ArchiveKeeperTest, AStopWhileTheFolderIsListedAgainTakesEffectAfterOneFile)
{
    settings.Minutes[0] = 0;
    AddImages(0, 5);
    Start();
    ASSERT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Done); // the held names are used up
    AddImages(0, 20, kPast + 100);
    for (int k = 0; k < 20; ++k)
        CountNewImage(0, 1);
    dispatches = 0;
    onDispatch = [this] { keeper.RequestQuit(); };
    EXPECT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Quit);
    EXPECT_EQ(dispatches, 1);
    EXPECT_EQ(Listing(0).size(), 20u) << "nothing deleted after the stop";
}

TEST_F(ArchiveKeeperTest, AStopInMidPruneEndsThePassAtOnce)
{
    settings.Minutes[0] = 0;
    AddImages(0, 10);
    Start();
    onDispatch = [this] {
        if (dispatches == 13) // ten while counting, the third deletion
            keeper.RequestQuit();
    };
    EXPECT_EQ(keeper.PruneArchives(), ArchiveKeeper::Pass::Quit);
    EXPECT_EQ(Listing(0).size(), 7u);
    EXPECT_EQ(settings.ArchiveCount[0], 7);
}

} // namespace
} // namespace vistrel
