// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "log/BundleInfo.hpp"

namespace velorin {

// What the command line asks for. The server has three options, --help (or
// -h), --version and --hidden (start with the window hidden, as the autostart
// entry does); every setting lives in the settings store and is changed in the
// window. Anything else is refused with exit status 2.
struct CommandLineOutcome {
    // True when the server should start (no arguments, or --hidden alone).
    bool runServer = true;
    // Start without showing the window (the hub runs; the tray icon, or
    // starting the program again, shows it).
    bool startHidden = false;
    // Otherwise: what to write to standard output and standard error, and the
    // exit status.
    std::string standardOutput;
    std::string standardError;
    int exitStatus = 0;
};

// `arguments` excludes the program name. Any argument other than the three
// options is refused; otherwise the first of --help and --version answers. Pure: reads
// only its arguments and the build information.
CommandLineOutcome interpretCommandLine(const std::vector<std::string_view>& arguments,
                                        const BundleInfoLookup& lookup = buildBundleInfo());

// "Velorin Server 0.1.0 (build 216, Beta lane, commit a4b371b)" and a newline.
std::string versionText(const BundleInfoLookup& lookup = buildBundleInfo());
// What the program does, where its settings live, and the options.
std::string helpText();

// Writes the outcome's texts; the exit status, or 1 when standard output
// cannot be written (e.g. a full disk).
int emitCommandLineOutcome(const CommandLineOutcome& outcome);

}  // namespace velorin
