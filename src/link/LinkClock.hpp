// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/PersistedValue.hpp"
#include "core/SettingsStore.hpp"
#include "link/LinkBeatSchedulingClock.hpp"
#include "link/LinkManager.hpp"
#include "link/LinkStateSnapshot.hpp"
#include "link/LinkTransportControl.hpp"

namespace velorin {

class LogStore;

// The system's single view of the Link session: restores whether Link is
// active, carries out the user's Link commands, and logs changes of the
// session under "[Link]". Observers are told when what the window shows
// (active, peers, transport, tempo, whether a reset is armed) changed, and at
// every refresh while the transport runs, so the beat anchor of snapshot()
// stays fresh. Engine thread only.
class LinkClock final : public LinkBeatSchedulingClock, public LinkTransportControl, public Observable {
public:
    static constexpr const char* kIsActiveKey = "LinkClock.isActive";
    // How often the session is read while polling: what the window shows and
    // the "[Link]" lines follow the session within this time.
    static constexpr MainQueue::Duration kPollInterval = std::chrono::milliseconds(100);

    // Enables Link at once when "LinkClock.isActive" is stored true. Logs nothing.
    LinkClock(std::unique_ptr<LinkSession> session, LogStore& log, SettingsStore& settings, MainQueue& queue);
    ~LinkClock() override;
    LinkClock(const LinkClock&) = delete;
    LinkClock& operator=(const LinkClock&) = delete;

    // LinkBeatSchedulingClock
    bool isActive() const override { return manager_.isEnabled(); }
    bool isPlaying() const override { return manager_.isPlaying(); }
    double currentBeat() const override { return manager_.currentBeat(); }
    // None while Link is inactive, when the scheduler releases nothing.
    std::optional<std::chrono::microseconds> timeUntilBeat(double beat) const override {
        if (!isActive()) return std::nullopt;
        return manager_.timeUntilBeat(beat);
    }

    double tempo() const { return manager_.bpm(); }

    // LinkTransportControl: a MIDI clock leading the session. What changes is
    // logged by the next refresh.
    double sessionTempo() const override { return manager_.bpm(); }
    void leadTempo(double bpm) override { manager_.setBPM(bpm); }
    void leadStart(double beat, MainQueue::TimePoint time) override;
    void leadStop() override { manager_.setPlaying(false); }
    std::size_t peerCount() const { return manager_.peerCount(); }
    bool isTransportRunning() const { return isActive() && isPlaying(); }
    // False while peers are connected: a reset would shift their timeline.
    bool canResetTimeline() const { return manager_.peerCount() == 0; }
    bool restartAtBeatZero() const { return restartAtBeatZero_; }
    // What the window shows, the beat anchored at the queue's present time.
    LinkStateSnapshot snapshot() const;

    // Reads the session and logs what changed since the last lines.
    void refresh(bool forceTempoLog = false);
    // Refreshes every kPollInterval on the clock's queue until stopPolling()
    // or destruction. The application polls for as long as it runs, with or
    // without a window, so the log follows the session headless too.
    void startPolling();
    void stopPolling() { poll_.cancel(); }
    bool isPolling() const { return poll_.isActive(); }
    void setActive(bool active);
    void setPlaying(bool playing);
    // Refused (does nothing) while any peer is connected.
    void resetTimeline();
    // The window's play/stop button: activates Link first when needed.
    void togglePlayback();
    // The window's activate/deactivate toggle.
    void toggleActive() { setActive(!isActive()); }

    LinkManager& manager() { return manager_; }
    const LinkManager& manager() const { return manager_; }
    LogStore& logStore() const { return log_; }

private:
    struct Shown {
        bool active = false;
        std::size_t peers = 0;
        bool playing = false;
        double tempo = 0;
        bool restartAtBeatZero = false;
        friend bool operator==(const Shown&, const Shown&) = default;
    };
    void publish(const Shown& now);

    // What the next start restores; written only when it changes.
    PersistedValue<bool> storedIsActive_;
    LogStore& log_;
    MainQueue& queue_;
    LinkManager manager_;
    std::optional<bool> lastLoggedIsActive_;
    std::optional<std::size_t> lastLoggedPeerCount_;
    std::optional<double> lastLoggedTempo_;
    std::optional<bool> lastLoggedIsPlaying_;
    bool restartAtBeatZero_ = false;
    std::optional<Shown> lastShown_;
    TaskHandle poll_;
};

}  // namespace velorin
