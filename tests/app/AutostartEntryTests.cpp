// SPDX-License-Identifier: GPL-3.0-or-later
// "Start at Login": the autostart entry as desktop-file-validate sees it (for
// plain and awkward program paths), and the settings sheet's switch writing and
// removing it, with a clear log line when it cannot.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/AutostartEntry.hpp"
#include "app/VelorinServerApplication.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"
#include "support/FakeMIDIService.hpp"
#include "ui/MIDIDeviceSettingsView.hpp"
#include "ui/MainWindow.hpp"
#include "ui/NeonControls.hpp"

namespace velorin {
namespace {

namespace fs = std::filesystem;

struct TemporaryFolder {
    fs::path path;
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "velorin-autostart-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// desktop-file-validate's report on `file`: empty when it has nothing to say.
std::string validate(const fs::path& file) {
    const std::string command = "desktop-file-validate '" + file.string() + "' 2>&1";
    std::string report;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "cannot run desktop-file-validate";
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) report += buffer;
    if (::pclose(pipe) != 0 && report.empty()) report = "desktop-file-validate failed";
    return report;
}

TEST(AutostartEntry, EntriesForPlainAndAwkwardPathsPassDesktopFileValidate) {
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "desktop-file-validate (desktop-file-utils) is not installed";
    }
    TemporaryFolder folder;
    const struct {
        fs::path executable;
        std::string exec;
    } cases[] = {
        {"/usr/bin/velorin-server", "Exec=/usr/bin/velorin-server --hidden"},
        {"/home/ann/My Builds/50%/$HOME/velorin-server",
         R"(Exec="/home/ann/My Builds/50%%/\\$HOME/velorin-server" --hidden)"},
        {"/opt/a\"b\\c/velorin-server", R"(Exec="/opt/a\\"b\\\\c/velorin-server" --hidden)"},
    };
    for (const auto& c : cases) {
        const AutostartEntry entry(folder.path / "autostart", c.executable);
        ASSERT_FALSE(entry.isEnabled());
        ASSERT_EQ(entry.setEnabled(true), std::nullopt) << c.executable;
        EXPECT_TRUE(entry.isEnabled());
        const std::string text = readFile(entry.path());
        EXPECT_NE(text.find("\n" + c.exec + "\n"), std::string::npos) << text;
        EXPECT_EQ(validate(entry.path()), "") << text;
        ASSERT_EQ(entry.setEnabled(false), std::nullopt);
        EXPECT_FALSE(entry.isEnabled());
        EXPECT_TRUE(fs::is_empty(folder.path / "autostart"));
    }
    // A path no Exec line can hold is refused, and nothing is written.
    const AutostartEntry broken(folder.path / "autostart", "/opt/line\nbreak/velorin-server");
    EXPECT_NE(broken.setEnabled(true), std::nullopt);
    EXPECT_FALSE(broken.isEnabled());
}

TEST(AutostartEntry, TheSettingsSheetSwitchWritesAndRemovesTheEntryAndSaysWhenItCannot) {
    TemporaryFolder folder;
    ManualMainQueue queue;
    MemorySettingsStore settings;
    const auto makeServer = [&](const fs::path& autostart) {
        VelorinServerApplication::Platform platform;
        platform.engineOnItsOwnThread = false;
        platform.queue = &queue;
        platform.settings = &settings;
        platform.midiService = std::make_unique<test::FakeMIDIService>();
        platform.linkSession = std::make_unique<test::FakeLinkSession>(queue);
        platform.usb = std::nullopt;
        platform.mirrorLogToStandardError = false;
        platform.autostartDirectory = autostart;
        return std::make_unique<VelorinServerApplication>(std::move(platform));
    };
    const fs::path autostart = folder.path / "config" / "autostart";
    auto server = makeServer(autostart);
    server->window().openSettings();
    NeonToggle* toggle = server->window().settingsSheet().startAtLoginToggle();
    ASSERT_NE(toggle, nullptr);
    EXPECT_EQ(toggle->text(), "Start at Login");
    EXPECT_FALSE(toggle->isChecked());  // off by default

    toggle->click();
    EXPECT_TRUE(toggle->isChecked());
    const std::string text = readFile(autostart / AutostartEntry::kFileName);
    EXPECT_NE(text.find(" --hidden\n"), std::string::npos);
    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(fs::exists(autostart / AutostartEntry::kFileName));
    server.reset();

    // Where the folder cannot be made (a file is in the way) the switch stays off and the log says why.
    std::ofstream(folder.path / "blocked") << "a file";
    server = makeServer(folder.path / "blocked" / "autostart");
    server->window().openSettings();
    toggle = server->window().settingsSheet().startAtLoginToggle();
    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    server->logStore().flush();
    bool said = false;
    for (const auto& entry : server->logStore().entries()) {
        if (const auto* m = std::get_if<LogEntry::Message>(&entry.kind)) {
            said = said || m->text.starts_with("[App] Start at Login: cannot make ");
        }
    }
    EXPECT_TRUE(said);
}

}  // namespace
}  // namespace velorin
