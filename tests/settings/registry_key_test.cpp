// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/registry_key.h"

#include "support/temp_env.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <sstream>

#include <sys/stat.h>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr auto HKLM = RegistryRoot::HKEY_LOCAL_MACHINE;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, std::string_view text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A fresh, empty store for each test.
class RegistryKeyTest : public testing::Test {
protected:
    fs::path store() const { return fs::path(dir_.path().toStdString()); }
    fs::path keyFolder(std::string_view relative) const { return store() / "HKEY_LOCAL_MACHINE" / relative; }
    CRegistryKey openKey(std::string_view path)
    {
        CRegistryKey key(store());
        key.SetRootKey(HKLM);
        EXPECT_TRUE(key.SetKey(path, true));
        return key;
    }
    void writeValues(std::string_view relative, std::string_view lines)
    {
        WriteFile(keyFolder(relative) / "values.reg", std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n") + std::string(lines));
    }

    QTemporaryDir dir_;
};

TEST_F(RegistryKeyTest, StartsOnCurrentUserAndAcceptsOnlyTheFourRoots)
{
    CRegistryKey key(store());
    EXPECT_EQ(key.RootKey(), RegistryRoot::HKEY_CURRENT_USER);
    EXPECT_TRUE(key.NoFlush());
    EXPECT_EQ(key.SubKey(), "");
    EXPECT_FALSE(key.SetRootKey(RegistryRoot(0x80000004u)));
    EXPECT_FALSE(key.SetRootKey(RegistryRoot(0)));
    EXPECT_EQ(key.RootKey(), RegistryRoot::HKEY_CURRENT_USER);
    for (auto root : {RegistryRoot::HKEY_CLASSES_ROOT, RegistryRoot::HKEY_USERS, HKLM}) {
        EXPECT_TRUE(key.SetRootKey(root));
        EXPECT_EQ(key.RootKey(), root);
    }

    // Each root is its own folder.
    ASSERT_TRUE(key.SetKey("Software\\Same", true));
    ASSERT_TRUE(key.WriteInt("N", 1));
    key.SetRootKey(RegistryRoot::HKEY_USERS);
    EXPECT_EQ(key.ReadInt("N", -1), -1);
    EXPECT_TRUE(fs::exists(store() / "HKEY_LOCAL_MACHINE/Software/Same/values.reg"));
}

TEST_F(RegistryKeyTest, SetKeyOpensCreatesOrFails)
{
    CRegistryKey key(store());
    key.SetRootKey(HKLM);
    EXPECT_FALSE(key.SetKey("Software\\Missing", false));
    EXPECT_EQ(key.LastError(), int32_t(RegStatus::FileNotFound));
    EXPECT_FALSE(fs::exists(keyFolder("Software")));

    EXPECT_TRUE(key.SetKey("Software\\New\\Deep", true));
    EXPECT_EQ(key.SubKey(), "Software\\New\\Deep");
    EXPECT_TRUE(fs::is_directory(keyFolder("Software/New/Deep")));
    EXPECT_TRUE(key.SetKey("Software\\New", false));

    EXPECT_TRUE(key.SetKey("", false));
    EXPECT_EQ(key.SubKey(), "");
}

// A key path never reaches outside the store, whatever it holds.
TEST_F(RegistryKeyTest, RefusesKeyPathsTheFileSystemWouldReadDifferently)
{
    CRegistryKey key(store());
    key.SetRootKey(HKLM);
    for (const char* path : {"..\\..\\escape", "Software\\..\\x", "a\\.\\b", "a\\\\b", "\\lead", "trail\\", "a/b"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(key.SetKey(path, true));
    }
    EXPECT_FALSE(fs::exists(store().parent_path() / "escape"));
    EXPECT_FALSE(fs::exists(keyFolder("x")));
}

// A failed SetKey must not leave the previous key selected: the values of
// one camera would otherwise be read from, or written over, another's.
TEST_F(RegistryKeyTest, AfterAFailedSetKeyNothingGoesToThePreviousKey)
{
    CRegistryKey key = openKey("Software\\CamA");
    ASSERT_TRUE(key.WriteInt("TriggerLevel", 42));
    ASSERT_FALSE(key.SetKey("Software\\CamB", false));
    EXPECT_EQ(key.ReadInt("TriggerLevel", 10), 10);
    EXPECT_FALSE(key.WriteInt("TriggerLevel", 99));
    ASSERT_TRUE(key.SetKey("Software\\CamA", false));
    EXPECT_EQ(key.ReadInt("TriggerLevel", 10), 42);
}

TEST_F(RegistryKeyTest, ReadIntTakesAtMostFourBytesOfAnyType)
{
    writeValues("K", "\"dword\"=dword:000003e8\n"
                     "\"bin4\"=hex:0a,00,00,00\n"
                     "\"negative\"=hex:ff,ff,ff,ff\n"
                     "\"bin2\"=hex:01,02\n"
                     "\"empty\"=hex:\n"
                     "\"bin5\"=hex:01,00,00,00,00\n"
                     "\"text\"=\"7\"\n"
                     "\"long text\"=\"1234\"\n");
    CRegistryKey key = openKey("K");
    const struct {
        const char* name;
        int32_t expected;
    } cases[] = {
        {"dword", 1000},        // written by hand as REG_DWORD
        {"bin4", 10},
        {"negative", -1},
        {"bin2", 0x0201},       // shorter: zero-extended
        {"empty", -5},          // nothing to read: default
        {"bin5", -5},           // does not fit
        {"text", 0x37},         // "7" and its zero, type not checked
        {"long text", -5},      // five bytes
        {"missing", -5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(key.ReadInt(c.name, -5), c.expected) << c.name;
    key.ReadInt("bin5", 0);
    EXPECT_EQ(key.LastError(), int32_t(RegStatus::MoreData));
}

TEST_F(RegistryKeyTest, ReadStringAcceptsTextTypesThatFitTheBuffer)
{
    const std::string fits(254, 'x'); // 255 bytes with its zero
    const std::string tooLong(255, 'y');
    writeValues("K", "\"sz\"=\"hello\"\n"
                     "\"expand\"=hex(2):25,48,4f,4d,45,25,00\n"
                     "\"binary\"=hex:41,42,00\n"
                     "\"dword\"=dword:00000041\n"
                     "\"fits\"=\"" + fits + "\"\n"
                     "\"too long\"=\"" + tooLong + "\"\n"
                     "\"no zero\"=hex(1):41,42\n");
    CRegistryKey key = openKey("K");
    EXPECT_EQ(key.ReadString("sz", "d"), "hello");
    EXPECT_EQ(key.ReadString("SZ", "d"), "hello");
    EXPECT_EQ(key.ReadString("expand", "d"), "%HOME%"); // not expanded
    EXPECT_EQ(key.ReadString("binary", "d"), "d");
    EXPECT_EQ(key.ReadString("dword", "d"), "d");
    EXPECT_EQ(key.ReadString("fits", "d"), fits);
    EXPECT_EQ(key.ReadString("too long", "d"), "d");
    EXPECT_EQ(key.ReadString("no zero", "d"), "AB");
    EXPECT_EQ(key.ReadString("missing", "d"), "d");
}

TEST_F(RegistryKeyTest, WriteStringRefusesOver254CharactersAndKeepsTheStoredText)
{
    CRegistryKey key = openKey("K");
    ASSERT_TRUE(key.WriteString("Path", std::string(254, 'a')));
    EXPECT_EQ(key.ReadString("Path", ""), std::string(254, 'a'));
    EXPECT_FALSE(key.WriteString("Path", std::string(255, 'b')));
    EXPECT_EQ(key.ReadString("Path", ""), std::string(254, 'a'));
    ASSERT_TRUE(key.WriteString("Cut", std::string("ab\0cd", 5)));
    EXPECT_EQ(key.ReadString("Cut", ""), "ab");
    EXPECT_EQ(key.ValueType("Path"), REG_SZ);
}

TEST_F(RegistryKeyTest, TextsWithQuotesAndBackslashesRoundTrip)
{
    const std::string texts[] = {R"(C:\Cameras\Camera1A\)", R"(say "cheese")", R"(\\server\"share"\)", "\"", "\\",
                                 "", "tab\there", "caf\xc3\xa9", "two\nlines"};
    {
        CRegistryKey key = openKey("K");
        for (size_t i = 0; i < std::size(texts); ++i)
            ASSERT_TRUE(key.WriteString("T" + std::to_string(i), texts[i]));
    }
    CRegistryKey key = openKey("K");
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(key.ReadString("T" + std::to_string(i), "default"), texts[i]);
        EXPECT_EQ(key.ValueType("T" + std::to_string(i)), REG_SZ);
    }
}

TEST_F(RegistryKeyTest, FontsAreSixtyByteRecordsAndOtherSizesLeaveTheFont)
{
    CRegistryKey key = openKey("K");
    LOGFONTA font = DefaultOverlayFont();
    font.lfHeight = -21;
    font.lfItalic = 1;
    ASSERT_TRUE(key.WriteFont("Font", font));
    EXPECT_EQ(key.ValueType("Font"), REG_BINARY);

    LOGFONTA read;
    EXPECT_TRUE(key.ReadFont("Font", read));
    EXPECT_EQ(read, font);

    RegValue value;
    ASSERT_EQ(key.Store().readValue(HKLM, "K", "Font", value), RegStatus::Ok);
    EXPECT_EQ(value.data.size(), 60u);
    EXPECT_EQ(value.data[0], 0xeb); // -21, little-endian
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&value.data[28])), "Verdana");

    for (size_t size : {0u, 28u, 59u, 61u, 92u}) {
        ASSERT_EQ(key.Store().writeValue(HKLM, "K", "Odd", RegValue{REG_BINARY, std::vector<uint8_t>(size, 1)}),
                  RegStatus::Ok);
        LOGFONTA kept = DefaultOverlayFont();
        EXPECT_FALSE(key.ReadFont("Odd", kept)) << size;
        EXPECT_EQ(kept, DefaultOverlayFont()) << size;
    }
    LOGFONTA kept = DefaultOverlayFont();
    EXPECT_FALSE(key.ReadFont("Missing", kept));
}

TEST_F(RegistryKeyTest, ValueTypeReportsEachStoredType)
{
    writeValues("K", "\"sz\"=\"a\"\n\"ex\"=hex(2):00\n\"bin\"=hex:00\n\"dw\"=dword:00000000\n\"multi\"=hex(7):00,00\n");
    CRegistryKey key = openKey("K");
    EXPECT_EQ(key.ValueType("sz"), REG_SZ);
    EXPECT_EQ(key.ValueType("ex"), REG_EXPAND_SZ);
    EXPECT_EQ(key.ValueType("bin"), REG_BINARY);
    EXPECT_EQ(key.ValueType("dw"), REG_DWORD);
    EXPECT_EQ(key.ValueType("multi"), 7u);
    EXPECT_EQ(key.ValueType("missing"), 0u);
}

TEST_F(RegistryKeyTest, NamesOfKeysAndValuesIgnoreCaseAndKeepTheirFirstSpelling)
{
    {
        CRegistryKey key = openKey("Software\\Tallow Software");
        ASSERT_TRUE(key.WriteInt("TriggerLevel", 10));
    }
    CRegistryKey key = openKey("SOFTWARE\\tallow software");
    EXPECT_EQ(key.ReadInt("triggerlevel", 0), 10);
    ASSERT_TRUE(key.WriteInt("TRIGGERLEVEL", 11));
    ASSERT_TRUE(key.WriteInt("second", 2));

    EXPECT_FALSE(fs::exists(keyFolder("SOFTWARE")));
    EXPECT_EQ(ReadFile(keyFolder("Software/Tallow Software/values.reg")),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Tallow Software]\n"
              "\"TriggerLevel\"=hex:0b,00,00,00\n"
              "\"second\"=hex:02,00,00,00\n");
}

TEST_F(RegistryKeyTest, LeftoverTemporaryFilesAndGarbledLinesDoNotStopLoading)
{
    const fs::path folder = keyFolder("K");
    writeValues("K", "\"Good\"=hex:05,00,00,00\n\"Bad\"=hex:05,0\x01\n\"Also\"=\"x\"\n\"Cut\"=hex:01,\\\n");
    WriteFile(folder / ".values.reg.1234.0.tmp", "REGEDIT4\n\n[K]\n\"Good\"=hex:63,00,00,00\n");
    CRegistryKey key = openKey("K");
    EXPECT_EQ(key.ReadInt("Good", 0), 5);
    EXPECT_EQ(key.ReadString("Also", ""), "x");
    EXPECT_EQ(key.ReadInt("Bad", -1), -1);
    EXPECT_EQ(key.ReadInt("Cut", -1), -1);

    // A write keeps what could be read and leaves no temporary file of its own.
    ASSERT_TRUE(key.WriteInt("New", 1));
    EXPECT_EQ(key.ReadInt("Good", 0), 5);
    int temporaries = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        temporaries += entry.path().filename() != "values.reg";
    EXPECT_EQ(temporaries, 1); // only the old leftover
}

TEST_F(RegistryKeyTest, ReadsAndWritesWithoutAStoreFileOrWithAnUnreadableOne)
{
    CRegistryKey key = openKey("K");
    EXPECT_EQ(key.ReadInt("Anything", 3), 3); // key without a file: no values

    // A values.reg that is not a file cannot be read, and must not be replaced
    // by a file holding only the new value.
    fs::create_directories(keyFolder("K") / "values.reg");
    EXPECT_EQ(key.ReadInt("Anything", 3), 3);
    EXPECT_FALSE(key.WriteInt("Anything", 4));
    EXPECT_TRUE(fs::is_directory(keyFolder("K") / "values.reg"));
}

// Reads are served from the last parse only while the file is unchanged.
TEST_F(RegistryKeyTest, ReadsSeeFilesChangedByOthers)
{
    writeValues("K", "\"A\"=hex:05,00,00,00\n");
    CRegistryKey key = openKey("K");
    EXPECT_EQ(key.ReadInt("A", 0), 5);
    writeValues("K", "\"A\"=hex:06,00,00,00\n\"B\"=\"b\"\n"); // edited in place
    EXPECT_EQ(key.ReadInt("A", 0), 6);
    {
        CRegistryKey other = openKey("K"); // replaced by another writer
        ASSERT_TRUE(other.WriteInt("A", 7));
    }
    EXPECT_EQ(key.ReadInt("A", 0), 7);
    fs::remove(keyFolder("K") / "values.reg");
    EXPECT_EQ(key.ReadInt("A", 0), 0);
}

TEST_F(RegistryKeyTest, WriteBatchReplacesEachKeyOnceAndReadsSeeItsWrites)
{
    CRegistryKey key = openKey("K");
    ASSERT_TRUE(key.WriteInt("Before", 1));
    {
        RegistryStore::WriteBatch batch(key.Store());
        ASSERT_TRUE(key.WriteInt("A", 7));
        ASSERT_TRUE(key.WriteString("B", "b"));
        EXPECT_EQ(key.ReadInt("A", 0), 7);
        EXPECT_EQ(key.ReadInt("Before", 0), 1);
        CRegistryKey other(store()); // another reader sees the file, unchanged so far
        other.SetRootKey(HKLM);
        ASSERT_TRUE(other.SetKey("K", false));
        EXPECT_EQ(other.ReadInt("A", 0), 0);
        EXPECT_FALSE(key.Store().writeValue(HKLM, "Missing", "A", RegValue{REG_BINARY, {1}}) == RegStatus::Ok);
    }
    CRegistryKey other(store());
    other.SetRootKey(HKLM);
    ASSERT_TRUE(other.SetKey("K", false));
    EXPECT_EQ(other.ReadInt("A", 0), 7);
    EXPECT_EQ(other.ReadString("B", ""), "b");
    EXPECT_EQ(other.ReadInt("Before", 0), 1);
}

// A file that is not a key file reads as no values; the key's next write
// first keeps it aside, byte for byte and never over an earlier one, and the
// batch's status says so.
TEST_F(RegistryKeyTest, FilesThatAreNotKeyFilesAreKeptAsideBeforeTheKeyIsWritten)
{
    const fs::path file = keyFolder("K") / "values.reg";
    const std::string huge = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=hex:05,00,00,00\n;"
        + std::string(1024 * 1024, 'x') + "\n";
    WriteFile(file, huge);
    CRegistryKey key = openKey("K");
    EXPECT_EQ(key.ReadInt("A", 3), 3);
    EXPECT_EQ(key.LastError(), int32_t(RegStatus::BadKeyFile));
    fs::path firstKept;
    {
        RegistryStore::WriteBatch batch(key.Store());
        ASSERT_TRUE(key.WriteInt("B", 2));
        const SaveStatus status = batch.Commit();
        EXPECT_TRUE(status.ok());
        ASSERT_EQ(status.keptAside.size(), 1u);
        EXPECT_EQ(status.keptAside[0].file, file);
        EXPECT_EQ(status.keptAside[0].reason, "it is over 1 MiB");
        firstKept = status.keptAside[0].keptAs;
        EXPECT_EQ(firstKept.parent_path(), file.parent_path());
        EXPECT_EQ(firstKept.filename().string().rfind("values.reg.unreadable-", 0), 0u) << firstKept;
    }
    EXPECT_TRUE(ReadFile(firstKept) == huge) << "kept as " << firstKept;
    EXPECT_EQ(ReadFile(file), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"B\"=hex:02,00,00,00\n");

    // Garbage again, at once: a single write keeps it too, beside the first.
    WriteFile(file, "garbage\n");
    ASSERT_TRUE(key.WriteInt("C", 1));
    int kept = 0;
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        kept += entry.path().filename().string().rfind("values.reg.unreadable-", 0) == 0;
    EXPECT_EQ(kept, 2);
    EXPECT_TRUE(ReadFile(firstKept) == huge) << "the first kept file changed";
    EXPECT_EQ(key.ReadInt("C", 0), 1);
}

using RegistryKeyPermissions = test::Unprivileged<RegistryKeyTest>;

TEST_F(RegistryKeyPermissions, UnwritableStoreSkipsWritesAndReadsDefaults)
{
    ASSERT_EQ(::chmod(store().c_str(), 0500), 0);
    CRegistryKey key(store());
    key.SetRootKey(HKLM);
    EXPECT_FALSE(key.SetKey("Software\\K", true));
    EXPECT_EQ(key.LastError(), int32_t(RegStatus::AccessDenied));
    EXPECT_FALSE(key.WriteInt("A", 1));
    EXPECT_EQ(key.ReadInt("A", 9), 9);
    EXPECT_EQ(key.ReadString("S", "d"), "d");
    ::chmod(store().c_str(), 0700);
}

TEST(RegistryFolder, ComesFromTheEnvironmentInOrder)
{
    test::TempEnvironment env;
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("VISTREL_REGISTRY", "/somewhere/store");
    qputenv("XDG_CONFIG_HOME", "/config");
    EXPECT_EQ(DefaultRegistryFolder(), fs::path("/somewhere/store"));
    qunsetenv("VISTREL_REGISTRY");
    EXPECT_EQ(DefaultRegistryFolder(), fs::path("/config/vistrel/registry"));
    qputenv("XDG_CONFIG_HOME", "relative/is/ignored");
    EXPECT_EQ(DefaultRegistryFolder(), fs::path(env.homeDir().toStdString()) / ".config/vistrel/registry");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultRegistryFolder(), fs::path(env.homeDir().toStdString()) / ".config/vistrel/registry");
    if (!oldConfig.isNull())
        qputenv("XDG_CONFIG_HOME", oldConfig);
}

} // namespace
} // namespace vistrel
