// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/number_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <string>

namespace vistrel {
namespace {

TEST(NumberText, SecondsTruncateToMilliseconds)
{
    const std::pair<const char*, int64_t> cases[] = {
        {"1.0009", 1000}, {"60.0009", 60000}, {"0.0999", 99}, {"  2.5 s", 2500}, {"+1", 1000},
        {"-0.5", -500},   {"abc", 0},         {"", 0},        {"nan", 0},        {"1,5", 1000},
    };
    for (const auto& [text, ms] : cases)
        EXPECT_EQ(SecondsTextToMs(text), ms) << text;
    EXPECT_GT(SecondsTextToMs("1e300"), INT32_MAX); // too large stays too large
    EXPECT_GT(SecondsTextToMs("inf"), INT32_MAX);
    EXPECT_LT(SecondsTextToMs("-1e300"), INT32_MIN);
}

TEST(NumberText, IntegersFollowAtoiAndSaturate)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"42", 42}, {" -1", -1}, {"+7x", 7}, {"x7", 0}, {"", 0}, {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(LeadingInt(text), value) << text;
}

TEST(NumberText, DecimalPointIgnoresTheUserLocale)
{
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old ? old : "C";
    const char* commaLocales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE"};
    const char* active = nullptr;
    for (const char* name : commaLocales)
        if ((active = std::setlocale(LC_NUMERIC, name)))
            break;
    ASSERT_NE(active, nullptr) << "no locale with a decimal comma (CTest makes de_DE.UTF-8 under LOCPATH)";
    const int64_t dotMs = SecondsTextToMs("1.5");
    const int64_t commaMs = SecondsTextToMs("1,5");
    const std::string shown = FormatFixed3(1.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(dotMs, 1500);
    EXPECT_EQ(commaMs, 1000);
    EXPECT_EQ(shown, "1.500");
}

} // namespace
} // namespace vistrel
