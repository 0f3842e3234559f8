// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/TerminationSignals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>

namespace velorin {

namespace {

// Write end of the self-pipe the handler wakes the event loop through.
volatile sig_atomic_t signalPipeWriteFD = -1;

extern "C" void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // Non-blocking: a full pipe already holds a wake-up.
    [[maybe_unused]] const auto written = ::write(signalPipeWriteFD, &byte, 1);
    errno = savedErrno;
}

void setHandler(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, nullptr);
}

}  // namespace

TerminationSignals::TerminationSignals() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("velorin-server: pipe2");
        return;
    }
    readFD_ = fds[0];
    writeFD_ = fds[1];
    signalPipeWriteFD = writeFD_;
    notifier_ = std::make_unique<QSocketNotifier>(readFD_, QSocketNotifier::Read);
    const int readFD = readFD_;
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [readFD] {
        char buffer[64];
        while (::read(readFD, buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });
    setHandler(SIGINT, onTerminationSignal);
    setHandler(SIGTERM, onTerminationSignal);
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_) return;
    setHandler(SIGINT, SIG_DFL);
    setHandler(SIGTERM, SIG_DFL);
    signalPipeWriteFD = -1;
    notifier_.reset();
    ::close(readFD_);
    ::close(writeFD_);
}

}  // namespace velorin
