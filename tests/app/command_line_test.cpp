// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vistrel {
namespace {

struct CommandLineCase {
    std::vector<std::string> arguments;
    bool hidden;
};

class StartHidden : public testing::TestWithParam<CommandLineCase> {};

TEST_P(StartHidden, FollowsTheMSwitch)
{
    EXPECT_EQ(IsStartHidden(GetParam().arguments), GetParam().hidden);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, StartHidden,
                         testing::Values(CommandLineCase{{}, false},          //
                                         CommandLineCase{{"-m"}, true},       //
                                         CommandLineCase{{"/M"}, true},       //
                                         CommandLineCase{{"-x", "-m"}, true}, //
                                         CommandLineCase{{"-mm"}, false},     //
                                         CommandLineCase{{"-m x"}, false},    // blanks removed: "mx"
                                         CommandLineCase{{"x", "/m"}, true},  // text before the first switch is skipped
                                         CommandLineCase{{"-", "-m"}, false}, // an empty token ends the scan
                                         CommandLineCase{{"--m"}, true},      // a run of delimiters is one cut
                                         CommandLineCase{{"-x"}, false}));

// Only "--" options are looked at; switches and plain words never make one.
TEST(LongOptions, OnlyDoubleDashOptionsBeforeALoneDoubleDashCount)
{
    using Action = LongOptionAction;
    const std::pair<std::vector<std::string>, Action> cases[] = {
        {{}, Action::Run},
        {{"-m", "/help", "-help", "help"}, Action::Run},
        {{"--", "--bogus"}, Action::Run},
        {{"x", "--seed-defaults"}, Action::SeedDefaults},
        {{"--Help"}, Action::Unknown}, // names are exact
    };
    for (const auto& [arguments, action] : cases)
        EXPECT_EQ(ReadLongOptions(arguments).action, action) << testing::PrintToString(arguments);
}

} // namespace
} // namespace vistrel
