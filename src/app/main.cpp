// The velorin-server executable: the Qt application and the object that builds,
// starts and stops everything else. SIGINT and SIGTERM quit through the event
// loop, so the same clean exit runs as for the Quit menu item.
#include <signal.h>

#include <QApplication>
#include <QIcon>

#include <clocale>
#include <string_view>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/TerminationSignals.hpp"
#include "app/VelorinServerApplication.hpp"
#include "log/BundleInfo.hpp"
#include "ui/Theme.hpp"

int main(int argc, char** argv) {
    // The command line is read before anything starts: --help and --version
    // need no display and touch neither the settings, the sequencer nor
    // usbmuxd, and every other argument (Qt's own options too) is refused.
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (const auto commandLine = velorin::interpretCommandLine(arguments); !commandLine.runServer) {
        return velorin::emitCommandLineOutcome(commandLine);
    }

    QApplication app(argc, argv);
    // Qt adopts the user's locale for the C library; keep numbers in log lines
    // and stored records written with a decimal point whatever the locale.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setOrganizationName(QStringLiteral("Velorin"));
    QApplication::setApplicationName(QStringLiteral("Velorin Server"));
    QApplication::setApplicationVersion(
        QString::fromStdString(velorin::bundleInfoValue(velorin::kBundleShortVersionStringKey).value_or("")));
    // Ties the window to the installed desktop entry (Wayland app id) and
    // shows the installed icon on window managers that read it from the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("velorin-server"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("velorin-server")));
    velorin::theme::applyDarkTheme(app);
    // A closed terminal or pipe must not kill the server: writes then just fail.
    ::signal(SIGPIPE, SIG_IGN);
    const velorin::TerminationSignals terminationSignals;

    int status = 0;
    {
        velorin::VelorinServerApplication server;
        server.showWindow();
        status = QApplication::exec();
    }
    return status;
}
