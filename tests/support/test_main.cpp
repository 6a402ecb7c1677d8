// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>

#include <gtest/gtest.h>

#include "support/temp_env.h"

// Every test binary gets a QApplication (offscreen by default) and a private
// settings store, home and runtime folder, so no test touches a user's files.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    vistrel::test::TempEnvironment env;
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
