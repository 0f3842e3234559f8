// SPDX-License-Identifier: GPL-3.0-or-later
// Writes settings into the server's own settings file, through the same store
// and routing code the server reads them with, so that a black-box test starts
// the server on a known configuration. The file is the one the server uses
// under the current XDG_CONFIG_HOME.
//
//   velorin-test-settings [--bool KEY=true|false]... [--int KEY=N]...
//                         [--string KEY=TEXT]... [--data KEY=TEXT]...
//                         [--route-input INPUT_KEY MORPH GROUP]...
//                         [--route-output DESTINATION_KEY MORPH GROUP]...
//
// Prints the settings file's path.
#include <QCoreApplication>

#include <cstdio>
#include <string>

#include "engine/MIDIRoutingStore.hpp"
#include "platform/qt/QSettingsStore.hpp"

namespace {

int usage() {
    std::fputs(
        "usage: velorin-test-settings [--bool KEY=true|false]... [--int KEY=N]... [--string KEY=TEXT]...\n"
        "                             [--data KEY=TEXT]... [--route-input INPUT_KEY MORPH GROUP]...\n"
        "                             [--route-output DESTINATION_KEY MORPH GROUP]...\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velorin"));
    QCoreApplication::setApplicationName(QStringLiteral("Velorin Server"));
    velorin::QSettingsStore settings;
    velorin::MIDIRoutingStore routing(settings);
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--bool" && i + 1 < argc) {
            const std::string assignment = argv[++i];
            const auto equals = assignment.find('=');
            const auto value = equals == std::string::npos
                                   ? std::nullopt
                                   : velorin::parseBoolText(assignment.substr(equals + 1));
            if (!value) return usage();
            settings.set(assignment.substr(0, equals), *value);
        } else if ((option == "--int" || option == "--string" || option == "--data") && i + 1 < argc) {
            const std::string assignment = argv[++i];
            const auto equals = assignment.find('=');
            if (equals == std::string::npos) return usage();
            const std::string key = assignment.substr(0, equals);
            const std::string text = assignment.substr(equals + 1);
            if (option == "--int") {
                settings.set(key, static_cast<std::int64_t>(std::stoll(text)));
            } else if (option == "--string") {
                settings.set(key, text);
            } else {
                settings.set(key, velorin::ByteArray(text.begin(), text.end()));
            }
        } else if ((option == "--route-input" || option == "--route-output") && i + 3 < argc) {
            const std::string key = argv[i + 1];
            const std::string morph = argv[i + 2];
            const std::string group = argv[i + 3];
            i += 3;
            if (option == "--route-input") {
                routing.setInputAssignment(true, key, morph, group);
            } else {
                routing.setOutputAssignment(true, key, morph, group);
            }
        } else {
            return usage();
        }
    }
    if (settings.hasWriteFailed()) {
        std::fprintf(stderr, "cannot write %s\n", settings.fileName().c_str());
        return 1;
    }
    std::printf("%s\n", settings.fileName().c_str());
    return 0;
}
