// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

class QSocketNotifier;

namespace velorin {

// Turns SIGINT and SIGTERM into QCoreApplication::quit(), run from the event
// loop rather than from the signal handler, so that a terminal's Ctrl+C or a
// service manager's stop takes the same clean way out as the Quit menu item.
// The handler only writes a byte to a non-blocking self-pipe. One instance per
// process; destroying it restores the default actions.
class TerminationSignals {
public:
    TerminationSignals();
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe could not be made (the signals then keep their
    // default action).
    bool isInstalled() const { return notifier_ != nullptr; }

private:
    int readFD_ = -1;
    int writeFD_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace velorin
