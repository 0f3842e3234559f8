// SPDX-License-Identifier: GPL-3.0-or-later
// The main of the Qt test programs (widgets, the composition root): Qt's
// offscreen platform with private runtime, config and data folders, so they
// need no display and never touch the user's settings or USB lease.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <string>

namespace {

std::string makePrivateFolder(const char* name) {
    std::string pattern = "/tmp/velorin-qt-test-" + std::string(name) + "-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());  // mode 0700
    return made != nullptr ? std::string(made) : std::string("/tmp");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::string runtime = makePrivateFolder("runtime");
    const std::string config = makePrivateFolder("config");
    const std::string data = makePrivateFolder("data");
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    int status = 0;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    std::string cleanup = "rm -rf '" + runtime + "' '" + config + "' '" + data + "'";
    [[maybe_unused]] const int ignored = std::system(cleanup.c_str());
    return status;
}
