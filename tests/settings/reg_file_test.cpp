// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/reg_file.h"

#include <gtest/gtest.h>

#include <random>

namespace vistrel {
namespace {

std::vector<uint8_t> Bytes(std::string_view text, bool withZero = true)
{
    std::vector<uint8_t> bytes(text.begin(), text.end());
    if (withZero)
        bytes.push_back(0);
    return bytes;
}

struct ParseCase {
    const char* label;
    const char* line;
    uint32_t type;
    std::vector<uint8_t> data;
};

class ParseValueLine : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseValueLine, GivesTypeAndBytes)
{
    const ParseCase& c = GetParam();
    const RegFile file = ParseRegFile(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n") + c.line + "\n");
    ASSERT_EQ(file.skippedLines, 0);
    ASSERT_EQ(file.values.size(), 1u);
    EXPECT_EQ(file.values[0].value.type, c.type);
    EXPECT_EQ(file.values[0].value.data, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseValueLine,
    testing::Values(
        ParseCase{"text", R"("V"="320x240 24 bit")", REG_SZ, Bytes("320x240 24 bit")},
        ParseCase{"empty_text", R"("V"="")", REG_SZ, Bytes("")},
        ParseCase{"escapes", R"("V"="C:\\Cameras\\\"x\"")", REG_SZ, Bytes(R"(C:\Cameras\"x")")},
        ParseCase{"dword", R"("V"=dword:000003e8)", REG_DWORD, {0xe8, 0x03, 0, 0}},
        ParseCase{"dword_upper_short", R"("V"=DWORD:FF)", REG_DWORD, {0xff, 0, 0, 0}},
        ParseCase{"binary", R"("V"=hex:0a,00,00,00)", REG_BINARY, {0x0a, 0, 0, 0}},
        ParseCase{"binary_empty", R"("V"=hex:)", REG_BINARY, {}},
        ParseCase{"expand", R"("V"=hex(2):25,00)", REG_EXPAND_SZ, {0x25, 0}},
        ParseCase{"other_type_hex_number", R"("V"=hex(b):01,02)", 11, {1, 2}},
        ParseCase{"crlf", "\"V\"=hex:01\r", REG_BINARY, {1}},
        ParseCase{"blanks_around", "  \"V\" = hex: 01 , 02 ", REG_BINARY, {1, 2}},
        ParseCase{"default_value", R"(@="d")", REG_SZ, Bytes("d")},
        ParseCase{"continued", "\"V\"=hex:01,02,\\\n  03,04", REG_BINARY, {1, 2, 3, 4}},
        ParseCase{"continued_twice", "\"V\"=hex(3):01,\\\n  02,\\\n  03", REG_BINARY, {1, 2, 3}}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.label); });

// Lines that cannot be read are skipped; the values around them still load.
TEST(ParseRegFile, SkipsGarbledAndTruncatedLines)
{
    const char* const bad[] = {
        R"("A"="no closing quote)",
        R"("A"="bad \n escape")",
        R"("A"="text" trailing)",
        R"("A"=hex:0a,00,0)",  // cut in the middle of a byte
        R"("A"=hex:0a,00,)",   // cut after a comma
        R"("A"=hex:zz)",
        R"("A"=dword:123456789)", // nine digits
        R"("A"=dword:)",
        R"("A"=hex(2:00)",
        R"("A"=-)",
        R"("A" hex:00)",
        R"(A=hex:00)",
        "garbage \x01\xff",
    };
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        const RegFile file = ParseRegFile(std::string("REGEDIT4\n\n[K]\n\"Before\"=dword:00000001\n") + line
                                          + "\n\"After\"=\"x\"\n");
        EXPECT_EQ(file.skippedLines, 1);
        ASSERT_EQ(file.values.size(), 2u);
        EXPECT_EQ(file.values[0].name, "Before");
        EXPECT_EQ(file.values[1].name, "After");
    }
}

TEST(ParseRegFile, FileCutInsideAContinuedListDropsOnlyThatValue)
{
    const RegFile file = ParseRegFile("REGEDIT4\n\n[K]\n\"A\"=dword:00000002\n\"Font\"=hex:01,02,\\\n");
    ASSERT_EQ(file.values.size(), 1u);
    EXPECT_EQ(file.values[0].name, "A");
    EXPECT_EQ(file.skippedLines, 1);
}

TEST(ParseRegFile, KeepsFirstKeyOnlyAndFirstPositionOfRepeatedNames)
{
    const RegFile file = ParseRegFile("\xEF\xBB\xBFREGEDIT4\n\n[HKEY_USERS\\One]\n"
                                      "\"Size\"=dword:00000001\n\"Other\"=\"o\"\n\"SIZE\"=dword:00000002\n"
                                      "[HKEY_USERS\\Two]\n\"Foreign\"=\"f\"\n");
    EXPECT_EQ(file.keyName, "HKEY_USERS\\One");
    ASSERT_EQ(file.values.size(), 2u);
    EXPECT_EQ(file.values[0].name, "Size");
    EXPECT_EQ(file.values[0].value.data, (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(FindValue(file, "foreign"), nullptr);
}

// Past a few dozen values, names are looked up through an index; it must
// give the same answers as the plain search.
TEST(ParseRegFile, ManyValuesKeepOrderAndRepeatedNamesInAnyCase)
{
    std::string text = "REGEDIT4\n\n[K]\n";
    for (int i = 0; i < 5000; ++i)
        text += "\"Value" + std::to_string(i) + "\"=dword:" + std::string(7, '0') + "1\n";
    for (int i = 0; i < 5000; i += 7)
        text += "\"VALUE" + std::to_string(i) + "\"=dword:00000002\n";
    const RegFile file = ParseRegFile(text);
    ASSERT_EQ(file.values.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(file.values[i].name, "Value" + std::to_string(i));
        ASSERT_EQ(file.values[i].value.data[0], i % 7 == 0 ? 2 : 1) << i;
    }
}

TEST(ParseRegFile, AcceptsEmptyAndHeaderlessInput)
{
    EXPECT_TRUE(ParseRegFile("").values.empty());
    EXPECT_TRUE(ParseRegFile("\n\n\n").values.empty());
    const RegFile file = ParseRegFile("\"A\"=\"x\"");
    ASSERT_EQ(file.values.size(), 1u);
    EXPECT_EQ(file.values[0].value.data, Bytes("x"));
}

// A file passed through two line-end converters still reads whole. A file
// without its header, or with more bad lines than values, is not a key file;
// one with nothing in it has nothing to lose and counts as an empty key.
TEST(ParseRegFile, CarriageReturnsEndLinesAndOnlyRealKeyFilesCount)
{
    const RegFile converted
        = ParseRegFile("REGEDIT4\r\r\n\r\r\n[K]\r\r\n\"A\"=hex:01,\\\r\r\n  02\r\r\n\"B\"=\"b\"\r\r\n");
    EXPECT_EQ(converted.keyName, "K");
    EXPECT_EQ(converted.skippedLines, 0);
    ASSERT_EQ(converted.values.size(), 2u);
    EXPECT_EQ(converted.values[0].value.data, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(converted.values[1].value.data, Bytes("b"));
    EXPECT_EQ(WhyNotAKeyFile(converted), nullptr);

    const char* const kNoHeader = "it lacks the REGEDIT4 header";
    const char* const kMostlyBad = "most of its lines cannot be read";
    const struct {
        const char* text;
        const char* why; // nullptr: a key file
    } cases[] = {
        {"", nullptr},
        {"\n\r\n", nullptr},
        {"REGEDIT4\n", nullptr},
        {"\"A\"=\"x\"\n", kNoHeader},
        {"\n[K]\n\"A\"=\"x\"\n", kNoHeader},
        {"REGEDIT5\n\n[K]\n\"A\"=\"x\"\n", kNoHeader},
        {"REGEDIT4\n\n[K]\n\"A\"=\"x\"\ngarbage\n", nullptr}, // half: a good file with one bad line
        {"REGEDIT4\n\n[K]\n\"A\"=\"x\"\ngarbage\n\"B\"=hex:zz\n", kMostlyBad},
        {"REGEDIT4\n\n[K]\ngarbage\n", kMostlyBad},
    };
    for (const auto& c : cases) {
        const char* why = WhyNotAKeyFile(ParseRegFile(c.text));
        EXPECT_STREQ(why, c.why) << c.text;
    }
}

TEST(FormatRegFile, WritesTheRegistryExportLayout)
{
    RegFile file;
    file.keyName = "HKEY_LOCAL_MACHINE\\Software\\Tallow Software\\Vistrel\\Camera1\\Settings";
    file.values = {
        {"CamView", {REG_BINARY, {1, 0, 0, 0}}},
        {"VideoFormat", {REG_SZ, Bytes("320x240 24 bit")}},
        {"SaveEvery", {REG_DWORD, {0xe8, 0x03, 0, 0}}},
        {"Note", {REG_EXPAND_SZ, {0x25, 0}}},
    };
    EXPECT_EQ(FormatRegFile(file), "REGEDIT4\n"
                                   "\n"
                                   "[HKEY_LOCAL_MACHINE\\Software\\Tallow Software\\Vistrel\\Camera1\\Settings]\n"
                                   "\"CamView\"=hex:01,00,00,00\n"
                                   "\"VideoFormat\"=\"320x240 24 bit\"\n"
                                   "\"SaveEvery\"=dword:000003e8\n"
                                   "\"Note\"=hex(2):25,00\n");
}

TEST(FormatRegFile, KeepsTextThatTheQuotedFormCannotCarryAsBytes)
{
    const std::vector<RegValue> awkward = {
        {REG_SZ, Bytes("two\nlines")},
        {REG_SZ, Bytes("no zero", false)},
        {REG_SZ, {'a', 0, 'b', 0}},
        {REG_SZ, {}},
        {REG_DWORD, {1, 2}},
    };
    for (const RegValue& value : awkward) {
        RegFile file;
        file.values = {{"V", value}};
        const std::string text = FormatRegFile(file);
        SCOPED_TRACE(text);
        const RegFile back = ParseRegFile(text);
        ASSERT_EQ(back.values.size(), 1u);
        EXPECT_EQ(back.values[0].value, value);
    }
}

TEST(FormatRegFile, WrapsLongListsBelowEightyColumns)
{
    RegFile file;
    file.values = {{"OverlayFont", {REG_BINARY, std::vector<uint8_t>(60, 0xab)}}};
    const std::string text = FormatRegFile(file);
    size_t start = 0;
    int lines = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines)
        EXPECT_LE(end - start, 80u);
    EXPECT_GT(lines, 4); // header, blank, key and more than one line for the list
    EXPECT_EQ(ParseRegFile(text).values.at(0).value.data.size(), 60u);
}

// Whatever names and bytes go in come back out, and parsing any text never
// fails hard: the parser is fed the formatter's output cut at every length.
TEST(RegFileRoundTrip, RandomValuesSurviveFormatAndParse)
{
    std::mt19937 random(1234);
    auto randomText = [&](size_t maxLength) {
        static const char alphabet[] = "abcXYZ09 \\\"@=[]:,;-\t\xc3\xa9";
        std::string text(random() % (maxLength + 1), ' ');
        for (char& c : text)
            c = alphabet[random() % (sizeof(alphabet) - 1)];
        return text;
    };
    for (int round = 0; round < 200; ++round) {
        RegFile file;
        file.keyName = "HKEY_CURRENT_USER\\" + randomText(10);
        const int count = int(random() % 6);
        for (int i = 0; i < count; ++i) {
            std::string name = std::to_string(i) + randomText(12); // distinct names
            RegValue value;
            value.type = std::array<uint32_t, 6>{REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, 7}[random() % 6];
            if (value.type == REG_SZ) {
                value.data = Bytes(randomText(40));
            } else {
                value.data.resize(random() % 90);
                for (uint8_t& b : value.data)
                    b = uint8_t(random());
            }
            file.values.push_back({name, value});
        }
        const std::string text = FormatRegFile(file);
        const RegFile back = ParseRegFile(text);
        EXPECT_EQ(back.skippedLines, 0) << text;
        ASSERT_EQ(back.values.size(), file.values.size()) << text;
        for (size_t i = 0; i < file.values.size(); ++i) {
            EXPECT_EQ(back.values[i].name, file.values[i].name);
            EXPECT_EQ(back.values[i].value, file.values[i].value) << text;
        }
        for (size_t cut = 0; cut < text.size(); cut += 7)
            EXPECT_LE(ParseRegFile(std::string_view(text).substr(0, cut)).values.size(), file.values.size());
    }
}

} // namespace
} // namespace vistrel
