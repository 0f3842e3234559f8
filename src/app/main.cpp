// The velorin-server executable: the Qt application, the main queue and
// settings on Qt, the process-wide log store mirrored to standard error, and
// the main window. SIGINT and SIGTERM quit through the event loop, so the same
// clean exit runs as for the Quit menu item.
#include <clocale>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "log/BundleInfo.hpp"
#include "log/LogStore.hpp"
#include "platform/qt/QSettingsStore.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "ui/MainWindow.hpp"
#include "ui/TerminalLogMirror.hpp"
#include "ui/Theme.hpp"

namespace {

// Write end of the self-pipe the signal handler wakes the event loop through.
int signalPipeWriteFD = -1;

extern "C" void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // Non-blocking: a full pipe already holds a wake-up.
    [[maybe_unused]] const auto written = ::write(signalPipeWriteFD, &byte, 1);
    errno = savedErrno;
}

// Quits the application on SIGINT or SIGTERM, from the event loop rather than
// from the handler. Returns the watch (empty if the pipe could not be made).
velorin::TaskHandle quitOnTerminationSignals(velorin::MainQueue& queue) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("velorin-server: pipe2");
        return {};
    }
    signalPipeWriteFD = fds[1];
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    const int readFD = fds[0];
    return queue.watch(readFD, velorin::IoEvents::readable, [readFD](velorin::IoEvents) {
        char buffer[64];
        while (::read(readFD, buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });
}

void writeToStandardError(const velorin::LogEntry& entry) {
    velorin::writeTerminalLogLine(entry, stderr);
}

}  // namespace

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

    velorin::QtMainQueue queue;
    velorin::QSettingsStore settings;
    auto logStore = velorin::LogStore::create(queue, settings);
    velorin::LogStore::installShared(logStore);
    logStore->setPublishedEntryHandler(writeToStandardError);
    velorin::TaskHandle signalWatch = quitOnTerminationSignals(queue);

    logStore->log(velorin::startupLogLine());
    if (!settings.isWritable()) {
        logStore->log("[MIDI] Settings cannot be saved: " + settings.fileName() + " is not writable");
    }

    int status = 0;
    {
        velorin::MainWindow window(queue, settings, logStore);
        window.show();
        status = QApplication::exec();
    }
    signalWatch.cancel();
    // Whatever was appended since the last publication still reaches the terminal.
    logStore->flush();
    velorin::LogStore::installShared(nullptr);
    return status;
}
