// SPDX-License-Identifier: GPL-3.0-or-later
// The archive thread counting a folder while the image thread saves into it:
// every file is counted exactly once, whenever its save falls.
#include "archive/archive_keeper.h"

#include "support/fake_display.h"
#include "support/fake_video_source.h"
#include "pipeline/frame_helpers.h"
#include "pipeline/image_stepper.h"
#include "support/lock_holder.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint32_t kPast = 1600000000;
constexpr uint32_t kPast1970 = 100000; // a day and some after 1970

int64_t FolderBytes(const std::string& folder, size_t& files)
{
    int64_t bytes = 0;
    files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        bytes += int64_t(entry.file_size());
        ++files;
    }
    return bytes;
}

// On a clock of today, and on one that started at 1970 (a board without a
// real-time clock), whose names have fewer than ten digits of time.
TEST(ArchiveCounting, ImagesSavedWhileTheFolderIsReadAreCountedOnce)
{
    for (const uint32_t past : {kPast, kPast1970}) {
        SCOPED_TRACE(past);
        QTemporaryDir root;
        const std::string folder = root.path().toStdString() + "/Camera1A";
        fs::create_directories(folder);
        for (uint32_t k = 0; k < 200; ++k)
            std::ofstream(folder + "/" + std::to_string(past + k) + "0" + ArchiveSuffix(1, 0)) << "old image\xff\xd9";

        InstanceSettings settings;
        settings.ArchivePath[0] = folder;
        settings.EnableArchving[0] = 1;
        test::FakeDisplay images;
        test::FakeSource source;
        source.running = false;
        uint32_t unixTime = past + 1000;
        ImageClock clock;
        clock.unixTime = [&] { return unixTime; };
        ImageStepper stepper(images, source, settings, clock, 20ms);
        stepper.Start();
        images.panes[0].SetImage(test::SolidFrame(64, 48, 24, 0x808080), false);

        // One image saved while its counters' lock was busy: its update waits.
        {
            test::LockHolder holder(settings.ArchiveCountLock[0]);
            holder.Take();
            stepper.WriteArchiveImage(0);
        }
        ASSERT_EQ(settings.ArchiveCount[0], 0) << "the update waits for the next tick";

        // The image thread saves between reads of the folder, as it may at any time.
        test::FakeDisplay bars;
        int entries = 0;
        ArchiveKeeper keeper(settings, bars, [&] {
            if (++entries % 20 == 0) {
                ++unixTime;
                stepper.WriteArchiveImage(0);
            }
        });
        ASSERT_TRUE(keeper.TakeSettingsSnapshot());
        ASSERT_EQ(keeper.CountArchives(), ArchiveKeeper::Pass::Done);
        stepper.Tick(); // the waiting update lands

        size_t files = 0;
        const int64_t bytes = FolderBytes(folder, files);
        EXPECT_GE(files, 210u);
        EXPECT_EQ(settings.ArchiveCount[0], int32_t(files));
        EXPECT_EQ(settings.ArchiveBytes[0], bytes);
    }
}

} // namespace
} // namespace vistrel
