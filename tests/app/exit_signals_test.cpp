// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/exit_signals.h"

#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

namespace vistrel {
namespace {

TEST(ExitSignals, TermAndIntArriveOnTheUserInterfaceThread)
{
    std::vector<int> received;
    {
        ExitSignals signals;
        ASSERT_TRUE(signals.isInstalled());
        QObject::connect(&signals, &ExitSignals::exitRequested, [&](int number) { received.push_back(number); });
        ::raise(SIGTERM);
        ::raise(SIGINT);
        ASSERT_TRUE(test::waitFor([&] { return received.size() == 2; }));
        EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
    }
    // Destroyed: the default handlers are back.
    struct sigaction current {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(ExitSignals, OnlyOneInstanceOwnsTheHandlers)
{
    ExitSignals first;
    ExitSignals second;
    EXPECT_TRUE(first.isInstalled());
    EXPECT_FALSE(second.isInstalled());
}

} // namespace
} // namespace vistrel
