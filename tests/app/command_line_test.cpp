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

} // namespace
} // namespace vistrel
