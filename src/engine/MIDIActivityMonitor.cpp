// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDIActivityMonitor.hpp"

#include <time.h>

#include <utility>

namespace velorin {

double MIDIActivityMonitor::systemUptime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

MIDIActivityMonitor::MIDIActivityMonitor() : MIDIActivityMonitor(UptimeClock{}) {}

MIDIActivityMonitor::MIDIActivityMonitor(UptimeClock clock) : clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = &MIDIActivityMonitor::systemUptime;
        usesSystemClock_ = true;
    }
}

void MIDIActivityMonitor::recordInput() {
    advance(lastInputUptime_, clock_());
}

void MIDIActivityMonitor::recordOutput() {
    advance(lastOutputUptime_, clock_());
}

MIDIActivityMonitor::Snapshot MIDIActivityMonitor::snapshot() const {
    return Snapshot{read(lastInputUptime_), read(lastOutputUptime_)};
}

}  // namespace velorin
