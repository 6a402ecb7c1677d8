// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/path_rules.h"

#include "support/temp_env.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

TEST(StaticFileSyntax, SplitsAtTheLastSlash)
{
    struct Case {
        std::string text;
        bool ok;
        std::string folder;
    };
    const Case cases[] = {
        {"/Cameras/Cam1A.jpg", true, "/Cameras/"},
        {"/Cameras/Cam1A.bmp", true, "/Cameras/"}, // the extension is not compared
        {"/Cam1A.jpg", true, "/"},
        {"/a.b/Cam1A", false, ""}, // the only dot is before the last slash
        {"/Cameras/Cam1A", false, ""},
        {"/Cameras/", false, ""},
        {"", false, ""},
        {"Cameras/Cam1A.jpg", false, ""}, // relative
        {"Cam1A.jpg", false, ""},
    };
    for (const Case& c : cases) {
        std::string folder;
        EXPECT_EQ(SplitStaticFile(c.text, folder), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(folder, c.folder) << c.text;
        }
    }
}

TEST(ArchivePath, EndsInExactlyOneSlash)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/Archive///", "/Archive/"}, {"/Archive", "/Archive/"}, {"/Archive/", "/Archive/"},
        {"///", "/"},                 {"/", "/"},                {"a", "a"},
        {"", ""},
    };
    for (const auto& [typed, stored] : cases)
        EXPECT_EQ(NormaliseArchivePath(typed), stored) << typed;
}

class MakePathTest : public ::testing::Test {
protected:
    test::TempEnvironment env_;
    std::string home_ = env_.homeDir().toStdString();
};

TEST_F(MakePathTest, CreatesEveryMissingFolderIncludingTheLast)
{
    ASSERT_TRUE(MakePath(home_ + "/a/b/c/"));
    EXPECT_TRUE(fs::is_directory(home_ + "/a/b/c"));
    ASSERT_TRUE(MakePath(home_ + "//a//d")); // doubled separators are skipped
    EXPECT_TRUE(fs::is_directory(home_ + "/a/d"));
    EXPECT_TRUE(MakePath("/"));
}

TEST_F(MakePathTest, RefusesWhatCannotBecomeAFolder)
{
    std::ofstream(home_ + "/file") << "x";
    const std::string refused[] = {
        "",
        home_ + "/file",      // a regular file cannot hold pictures
        home_ + "/file/sub/", // a file in the way
        "relative/dir/",
        home_ + "/new\nline/",
        home_ + std::string("/nul\0here/", 10),
        home_ + "/" + std::string(300, 'n') + "/", // one name longer than the file system allows
        "/" + std::string(5000, 'x'),
    };
    for (const std::string& path : refused)
        EXPECT_FALSE(MakePath(path)) << path.substr(0, 80);
    EXPECT_FALSE(fs::exists("relative"));
    EXPECT_FALSE(fs::exists(home_ + "/new"));
    EXPECT_FALSE(fs::exists(home_ + "/nul"));
}

TEST_F(MakePathTest, LongPathOfShortNamesIsCreated)
{
    std::string path = home_;
    while (path.size() < home_.size() + 320)
        path += "/segment";
    ASSERT_TRUE(MakePath(path + "/"));
    EXPECT_TRUE(fs::is_directory(path));
}

using MakePathPermissions = test::Unprivileged<MakePathTest>;

TEST_F(MakePathPermissions, ReadOnlyParentIsRefused)
{
    fs::create_directory(home_ + "/locked");
    fs::permissions(home_ + "/locked", fs::perms::owner_read | fs::perms::owner_exec);
    const FileStatus made = MakePath(home_ + "/locked/sub/");
    EXPECT_FALSE(made);
    EXPECT_EQ(made.error(), -EACCES) << "the caller is told why";
    fs::permissions(home_ + "/locked", fs::perms::owner_all);
}

} // namespace
} // namespace vistrel
