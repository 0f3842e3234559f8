// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <optional>

namespace velorin {

// Time stamps of the latest MIDI input and output, for the window's two
// activity indicators. Recording and reading are safe from any thread; a
// record is one clock read and one atomic update, with no lock and no allocation.
class MIDIActivityMonitor {
public:
    // Seconds of a monotonic clock; the system uptime unless a test injects one.
    using UptimeClock = std::function<double()>;

    struct Snapshot {
        std::optional<double> lastInputUptime;
        std::optional<double> lastOutputUptime;
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    // How long after its latest stamp an indicator stays lit.
    static constexpr double kActivityWindowSeconds = 0.1;

    // The system uptime in seconds (monotonic clock since boot).
    static double systemUptime();

    MIDIActivityMonitor();
    explicit MIDIActivityMonitor(UptimeClock clock);
    MIDIActivityMonitor(const MIDIActivityMonitor&) = delete;
    MIDIActivityMonitor& operator=(const MIDIActivityMonitor&) = delete;

    void recordInput();
    void recordOutput();
    // The same with a time the caller has just read from the monotonic clock
    // (the system uptime's clock): it saves the hot path a second clock read.
    // A monitor with an injected clock reads its own clock instead.
    void recordInputAt(std::chrono::steady_clock::time_point now) {
        advance(lastInputUptime_, usesSystemClock_ ? secondsOf(now) : clock_());
    }
    void recordOutputAt(std::chrono::steady_clock::time_point now) {
        advance(lastOutputUptime_, usesSystemClock_ ? secondsOf(now) : clock_());
    }
    Snapshot snapshot() const;
    // The monitor's clock now: what a refresh compares the stamps with.
    double uptime() const { return clock_(); }

    // Whether an indicator with this stamp is lit at `now`: less than the window
    // since the stamp. Written as a comparison with the window's end so that a
    // refresh exactly 0.1 s later is off even where the subtraction would round
    // below 0.1 (10.1 − 10.0).
    static bool isActive(std::optional<double> stamp, double now) {
        return stamp && now < *stamp + kActivityWindowSeconds;
    }

private:
    // No stamp yet.
    static constexpr double kNever = -std::numeric_limits<double>::infinity();

    // Stamps only move forward, whichever of two recording threads is first.
    static void advance(std::atomic<double>& stamp, double now) {
        double seen = stamp.load(std::memory_order_relaxed);
        while (seen < now && !stamp.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
        }
    }
    static double secondsOf(std::chrono::steady_clock::time_point now) {
        return std::chrono::duration<double>(now.time_since_epoch()).count();
    }
    static std::optional<double> read(const std::atomic<double>& stamp) {
        const double value = stamp.load(std::memory_order_relaxed);
        return value == kNever ? std::nullopt : std::optional<double>(value);
    }

    UptimeClock clock_;
    bool usesSystemClock_ = false;
    std::atomic<double> lastInputUptime_{kNever};
    std::atomic<double> lastOutputUptime_{kNever};
};

// The two indicator flags of the window, refreshed from a snapshot. A flag is
// written only when its value changes; refresh() says whether one did.
struct MIDIActivityIndicators {
    bool isInputActive = false;
    bool isOutputActive = false;

    bool refresh(const MIDIActivityMonitor::Snapshot& snapshot, double now) {
        const bool input = MIDIActivityMonitor::isActive(snapshot.lastInputUptime, now);
        const bool output = MIDIActivityMonitor::isActive(snapshot.lastOutputUptime, now);
        bool changed = false;
        if (input != isInputActive) {
            isInputActive = input;
            changed = true;
        }
        if (output != isOutputActive) {
            isOutputActive = output;
            changed = true;
        }
        return changed;
    }
    bool refresh(const MIDIActivityMonitor& monitor) { return refresh(monitor.snapshot(), monitor.uptime()); }
};

}  // namespace velorin
