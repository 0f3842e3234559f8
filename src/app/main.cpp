// SPDX-License-Identifier: GPL-3.0-or-later
// The velorin-server executable: the Qt application, the claim on the user's
// one hub (a later start hands over to the running hub and exits), and the
// object that builds, starts and stops everything else — with its window
// where there is a display, headless (no widget at all) where there is none.
// SIGINT and SIGTERM quit through the event loop, so the same clean exit runs
// as for the Quit menu item.
#include <signal.h>

#include <QApplication>
#include <QIcon>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/HubOwnership.hpp"
#include "app/TerminationSignals.hpp"
#include "app/VelorinServerApplication.hpp"
#include "log/BundleInfo.hpp"
#include "log/LogStore.hpp"
#include "ui/Theme.hpp"

namespace {

// A display to show the window on: X11, Wayland, or a Qt platform named by
// hand (offscreen included). Without one the server runs headless and creates
// no widget, so Qt never loads a display plugin that would abort.
bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') return true;
    }
    return false;
}

// What every run shares, headless or not.
void configureApplication() {
    // Qt adopts the user's locale for the C library; keep numbers in log lines
    // and stored records written with a decimal point whatever the locale.
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setOrganizationName(QStringLiteral("Velorin"));
    QCoreApplication::setApplicationName(QStringLiteral("Velorin Server"));
    QCoreApplication::setApplicationVersion(
        QString::fromStdString(velorin::bundleInfoValue(velorin::kBundleShortVersionStringKey).value_or("")));
    // A closed terminal or pipe must not kill the server: writes then just fail.
    ::signal(SIGPIPE, SIG_IGN);
}

// `hidden`: a start with --hidden (at login) leaves a running hub's window as it is.
velorin::HubOwnership::Options hubOptions(bool headless, bool hidden) {
    velorin::HubOwnership::Options options;
    options.headless = headless;
    options.presentOwner = !hidden;
    return options;
}

// The exit status when another process owns the hub (it was asked to show
// itself), or nothing when this process is the hub.
std::optional<int> handedOver(const velorin::HubOwnership::Claim& claim, bool presented) {
    if (claim.running) {
        if (claim.running->headless) {
            std::fprintf(
                stderr,
                "Velorin Server is already running (pid %ld) as a service; its log: journalctl --user -u "
                "velorin-server\n",
                claim.running->pid);
        } else {
            std::fprintf(stderr, "Velorin Server is already running (pid %ld)%s\n", claim.running->pid,
                         presented ? "; its window is shown." : ".");
        }
        return 0;
    }
    if (!claim.ownership) {
        std::fprintf(stderr, "velorin-server: Velorin Server is already running, but %s\n",
                     claim.problem.c_str());
        return 1;
    }
    return std::nullopt;
}

// Later starts reach this hub; what could not guard it is logged.
void serveLaterStarts(velorin::HubOwnership::Claim& ownership, velorin::VelorinServerApplication& server) {
    for (const std::string& note : ownership.notes) server.logStore().log("[App] One hub per user: " + note);
    ownership.ownership->setPresentHandler([&server] { server.presentForAnotherStart(); });
    ownership.ownership->setLogHandler(
        [&server](std::string line) { server.logStore().log(std::move(line)); });
}

int runHeadless(int argc, char** argv) {
    const QCoreApplication app(argc, argv);
    configureApplication();
    auto claim = velorin::HubOwnership::claim(hubOptions(true, false));
    if (const auto status = handedOver(claim, true)) return *status;
    const velorin::TerminationSignals terminationSignals;
    velorin::VelorinServerApplication::Platform platform;
    platform.withWindow = false;
    velorin::VelorinServerApplication server(std::move(platform));
    serveLaterStarts(claim, server);
    server.start();
    return QCoreApplication::exec();
}

int runWithWindow(int argc, char** argv, bool startHidden) {
    QApplication app(argc, argv);
    configureApplication();
    auto claim = velorin::HubOwnership::claim(hubOptions(false, startHidden));
    if (const auto status = handedOver(claim, !startHidden)) return *status;
    // Ties the window to the installed desktop entry (Wayland app id) and
    // shows the installed icon on window managers that read it from the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("velorin-server"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velorin-server")));
    velorin::theme::applyDarkTheme(app);
    const velorin::TerminationSignals terminationSignals;
    velorin::VelorinServerApplication server;
    serveLaterStarts(claim, server);
    if (startHidden) {
        // The window appears when asked (tray, another start); the hub runs now.
        server.startWithWindowHidden();
    } else {
        server.showWindow();
    }
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    // The command line is read before anything starts: --help and --version
    // need no display and touch neither the settings, the sequencer nor
    // usbmuxd, and every other argument (Qt's own options too) is refused.
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto commandLine = velorin::interpretCommandLine(arguments);
    if (!commandLine.runServer) return velorin::emitCommandLineOutcome(commandLine);
    // Qt must not see our own option.
    int qtArgc = argc > 0 ? 1 : 0;
    std::vector<char*> qtArgv(argv, argv + qtArgc);
    qtArgv.push_back(nullptr);
    return hasDisplay() ? runWithWindow(qtArgc, qtArgv.data(), commandLine.startHidden)
                        : runHeadless(qtArgc, qtArgv.data());
}
