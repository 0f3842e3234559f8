// SPDX-License-Identifier: GPL-3.0-or-later
// The Qt seams need an application object on the test's main thread.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
