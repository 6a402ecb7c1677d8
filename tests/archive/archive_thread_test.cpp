// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_thread.h"

#include "archive/archive_folder.h"
#include "support/fake_display.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

void AddImages(const std::string& folder, int count)
{
    fs::create_directories(folder);
    for (int k = 0; k < count; ++k)
        std::ofstream(folder + "/" + std::to_string(1600000000 + k) + "0" + ArchiveSuffix(1, 0)) << "jpeg\xff\xd9";
}

bool IsEmpty(const std::string& folder)
{
    return fs::is_empty(folder);
}

bool Shown(const test::FakeDisplay& display, const std::string& text)
{
    const auto texts = display.bar(0).texts;
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class ArchiveThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root_.isValid());
        first = root_.path().toStdString() + "/Camera1A";
        second = root_.path().toStdString() + "/Moved";
        settings.ArchivePath[0] = first;
        settings.Minutes[0] = 0; // keep nothing
        AddImages(first, 5);
    }

    QTemporaryDir root_;
    std::string first, second;
    InstanceSettings settings;
    test::FakeDisplay display;
    CThreadRegistry registry;
};

TEST_F(ArchiveThreadTest, CountsPrunesFollowsSettingsAndStopsThroughTheRegistry)
{
    CArchiveThread thread(display, settings, registry);
    thread.Resume();

    ASSERT_TRUE(test::waitFor([&] { return IsEmpty(first); }));
    EXPECT_TRUE(Shown(display, "Reading Archive 5 of 1"));
    ASSERT_TRUE(test::waitFor([&] { return display.lastText(0) == "Archive 0 of 0   [0days 0hr 0min 0sec]"; }));
    EXPECT_EQ(registry.RegisteredCount(), 1);

    // A settings change moves camera A: the new folder is counted and pruned.
    AddImages(second, 3);
    {
        TimedLock lock(settings.SettingsLock);
        settings.ArchivePath[0] = second;
    }
    ASSERT_TRUE(PostThreadMessage(thread.threadId(), WM_SETTINGS_CHANGED, 0, 0));
    ASSERT_TRUE(test::waitFor([&] { return IsEmpty(second); }));
    EXPECT_TRUE(Shown(display, "Reading Archive 3 of 1"));

    registry.StopAll(true);
    EXPECT_TRUE(thread.isFinished());
}

TEST_F(ArchiveThreadTest, ARefusedRegistrationEndsTheThreadAtOnce)
{
    registry.StopAll(true);
    CArchiveThread thread(display, settings, registry);
    thread.Resume();
    ASSERT_TRUE(thread.wait(QDeadlineTimer(10000)));
    EXPECT_FALSE(IsEmpty(first));
    EXPECT_EQ(display.bar(0).updates, 0);
}

TEST_F(ArchiveThreadTest, DestroyingARunningThreadStopsIt)
{
    auto thread = std::make_unique<CArchiveThread>(display, settings, registry);
    thread->Resume();
    ASSERT_TRUE(test::waitFor([&] { return IsEmpty(first); }));
    thread.reset();
    EXPECT_EQ(registry.RegisteredCount(), 0);
}

} // namespace
} // namespace vistrel
