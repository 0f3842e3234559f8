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

MIDIActivityMonitor::MIDIActivityMonitor() : clock_(&MIDIActivityMonitor::systemUptime) {}

MIDIActivityMonitor::MIDIActivityMonitor(UptimeClock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = &MIDIActivityMonitor::systemUptime;
}

void MIDIActivityMonitor::recordInput() {
    const double now = clock_();
    std::lock_guard guard(lock_);
    advance(lastInputUptime_, now);
}

void MIDIActivityMonitor::recordOutput() {
    const double now = clock_();
    std::lock_guard guard(lock_);
    advance(lastOutputUptime_, now);
}

MIDIActivityMonitor::Snapshot MIDIActivityMonitor::snapshot() const {
    std::lock_guard guard(lock_);
    return Snapshot{lastInputUptime_, lastOutputUptime_};
}

}  // namespace velorin
