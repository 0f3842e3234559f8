// The velorin-server executable: the Qt application and the object that builds,
// starts and stops everything else — with its window where there is a display,
// headless (no widget at all) where there is none. SIGINT and SIGTERM quit
// through the event loop, so the same clean exit runs as for the Quit menu item.
#include <signal.h>

#include <QApplication>
#include <QIcon>

#include <clocale>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/TerminationSignals.hpp"
#include "app/VelorinServerApplication.hpp"
#include "log/BundleInfo.hpp"
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

int runHeadless(int argc, char** argv) {
    const QCoreApplication app(argc, argv);
    configureApplication();
    const velorin::TerminationSignals terminationSignals;
    velorin::VelorinServerApplication::Platform platform;
    platform.withWindow = false;
    velorin::VelorinServerApplication server(std::move(platform));
    server.start();
    return QCoreApplication::exec();
}

int runWithWindow(int argc, char** argv) {
    QApplication app(argc, argv);
    configureApplication();
    // Ties the window to the installed desktop entry (Wayland app id) and
    // shows the installed icon on window managers that read it from the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("velorin-server"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velorin-server")));
    velorin::theme::applyDarkTheme(app);
    const velorin::TerminationSignals terminationSignals;
    velorin::VelorinServerApplication server;
    server.showWindow();
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    // The command line is read before anything starts: --help and --version
    // need no display and touch neither the settings, the sequencer nor
    // usbmuxd, and every other argument (Qt's own options too) is refused.
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (const auto commandLine = velorin::interpretCommandLine(arguments); !commandLine.runServer) {
        return velorin::emitCommandLineOutcome(commandLine);
    }
    return hasDisplay() ? runWithWindow(argc, argv) : runHeadless(argc, argv);
}
