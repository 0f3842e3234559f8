// The velorin-server executable: the Qt application and the object that builds,
// starts and stops everything else. SIGINT and SIGTERM quit through the event
// loop, so the same clean exit runs as for the Quit menu item.
#include <signal.h>

#include <QApplication>

#include <clocale>

#include "app/TerminationSignals.hpp"
#include "app/VelorinServerApplication.hpp"
#include "log/BundleInfo.hpp"
#include "ui/Theme.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Qt adopts the user's locale for the C library; keep numbers in log lines
    // and stored records written with a decimal point whatever the locale.
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setOrganizationName(QStringLiteral("Velorin"));
    QApplication::setApplicationName(QStringLiteral("Velorin Server"));
    QApplication::setApplicationVersion(
        QString::fromStdString(velorin::bundleInfoValue(velorin::kBundleShortVersionStringKey).value_or("")));
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
