// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

namespace vistrel::test {

// File modes do not bind root. Suites of permission cases are named
// <Fixture>Permissions and take their fixture through this: CTest runs them
// as an ordinary user (tests/support/as_user.sh), and run as root they fail
// rather than pass without testing anything.
template <typename Fixture>
class Unprivileged : public Fixture {
protected:
    void SetUp() override
    {
        Fixture::SetUp();
        ASSERT_NE(::geteuid(), 0u) << "file modes do not bind root: run this suite as an ordinary user";
    }
};

} // namespace vistrel::test
