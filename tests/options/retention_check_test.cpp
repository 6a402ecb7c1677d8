// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/retention_check.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

// Which images a shorter period no longer covers, told from the names alone,
// and never from more of the folder than the bound allows.
TEST(RetentionCheck, CountsTheCamerasImagesOutsideThePeriodWithinTheBound)
{
    test::TempEnvironment env;
    const std::string folder = env.homeDir().toStdString() + "/Camera1A";
    fs::create_directories(folder);
    const std::time_t now = 1'800'000'000;
    const auto path = [&](std::time_t saved, const char* suffix = "-Cam1A.jpg") {
        return folder + "/" + std::to_string(saved) + "3" + suffix;
    };
    for (int hoursAgo = 0; hoursAgo < 30; ++hoursAgo)
        std::ofstream(path(now - hoursAgo * 3600)) << "jpeg";
    std::ofstream(path(now + 20 * 3600)) << "jpeg";          // saved on a clock far ahead: goes first
    std::ofstream(folder + "/snapshot-Cam1A.jpg") << "jpeg"; // no time: goes first too
    std::ofstream(path(now - 40 * 3600, "-Cam1B.jpg")) << "jpeg";
    std::ofstream(path(now - 41 * 3600, "-Cam1A.jpg.part")) << "jpeg";
    fs::create_directory(path(now - 42 * 3600));

    const ExpiringImages images = CountExpiringImages(folder, "-Cam1A.jpg", now, 10 * 3600, 1000);
    EXPECT_TRUE(images.complete);
    EXPECT_EQ(images.listed, 32);
    EXPECT_EQ(images.expiring, 21); // 19 older than ten hours, the far-ahead one and the undated one
    EXPECT_EQ(images.oldest, now - 29 * 3600);
    EXPECT_EQ(images.newest, now - 11 * 3600);
    EXPECT_TRUE(images.Many());
    EXPECT_FALSE(CountExpiringImages(folder, "-Cam1A.jpg", now, 29 * 3600, 1000).Many()); // the undated one of 32

    const ExpiringImages bounded = CountExpiringImages(folder, "-Cam1A.jpg", now, 10 * 3600, 8);
    EXPECT_FALSE(bounded.complete);
    EXPECT_LE(bounded.listed, 8);

    EXPECT_EQ(CountExpiringImages(folder + "/missing", "-Cam1A.jpg", now, 0, 1000).listed, 0);
}

} // namespace
} // namespace vistrel
