// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.hpp"

#include <cstdio>
#include <optional>

#include "log/AppFeatureFlags.hpp"

namespace velorin {

namespace {
constexpr int kUsageErrorStatus = 2;

CommandLineOutcome refuse(const std::string& problem) {
    CommandLineOutcome outcome;
    outcome.runServer = false;
    outcome.standardError =
        "velorin-server: " + problem + "\nTry 'velorin-server --help' for more information.\n";
    outcome.exitStatus = kUsageErrorStatus;
    return outcome;
}
}  // namespace

std::string versionText(const BundleInfoLookup& lookup) {
    return bundleName(lookup) + " " + lookup(kBundleShortVersionStringKey).value_or("?") + " (build " +
           lookup(kBundleVersionKey).value_or("?") + ", " +
           std::string(laneName(AppFeatureFlags::currentTarget(lookup))) + " lane, commit " +
           lookup(kBundleGitCommitKey).value_or("unknown") + ")\n";
}

std::string helpText() {
    return "Usage: velorin-server [--hidden | --help | --version]\n"
           "\n"
           "Velorin Server is a MIDI hub. It reaches the Velorin controller app on iPhone\n"
           "and iPad over the USB cable (through usbmuxd), publishes its own MIDI ports to\n"
           "the ALSA sequencer and connects the computer's other MIDI ports, passes MIDI\n"
           "from inputs through morphs to outputs by a routing graph, and follows an\n"
           "Ableton Link session for tempo, beat and transport.\n"
           "\n"
           "Everything is set in its window. The settings are kept in\n"
           "  $XDG_CONFIG_HOME/Velorin/Velorin Server.conf\n"
           "  (by default ~/.config/Velorin/Velorin Server.conf).\n"
           "The log goes to standard error. Without a display, start it with\n"
           "QT_QPA_PLATFORM=offscreen to run it headless (as its systemd user service does).\n"
           "\n"
           "One hub runs per user: starting the program again shows the running hub's\n"
           "window and exits. Closing the window leaves the hub running; quit it from\n"
           "its menu (Ctrl+Q) or its tray icon.\n"
           "\n"
           "Options:\n"
           "  --hidden       start with the window hidden (\"Start at Login\" does this)\n"
           "  -h, --help     show this help and exit\n"
           "  --version      show the name, version, build number, lane and commit and exit\n";
}

CommandLineOutcome interpretCommandLine(const std::vector<std::string_view>& arguments,
                                        const BundleInfoLookup& lookup) {
    std::optional<std::string_view> answered;
    bool hidden = false;
    for (const std::string_view argument : arguments) {
        if (argument == "--help" || argument == "-h" || argument == "--version") {
            if (!answered) answered = argument;
            continue;
        }
        if (argument == "--hidden") {
            hidden = true;
            continue;
        }
        if (argument.starts_with('-')) return refuse("unknown option '" + std::string(argument) + "'");
        return refuse("unexpected argument '" + std::string(argument) + "'");
    }
    CommandLineOutcome outcome;
    if (!answered) {
        outcome.startHidden = hidden;
        return outcome;
    }
    outcome.runServer = false;
    outcome.standardOutput = *answered == "--version" ? versionText(lookup) : helpText();
    return outcome;
}

int emitCommandLineOutcome(const CommandLineOutcome& outcome) {
    if (!outcome.standardError.empty()) std::fputs(outcome.standardError.c_str(), stderr);
    if (!outcome.standardOutput.empty()) {
        std::fputs(outcome.standardOutput.c_str(), stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            std::fputs("velorin-server: cannot write to standard output\n", stderr);
            return 1;
        }
    }
    return outcome.exitStatus;
}

}  // namespace velorin
