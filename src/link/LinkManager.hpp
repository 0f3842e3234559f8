// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "link/LinkSession.hpp"

namespace velorin {

// The system's only contact with the Link session: plain operations with plain
// types over one owned session. It keeps no state beyond the session; every
// read captures the session state anew. Without a session every operation
// does nothing and every read answers false / 0. Engine thread only.
class LinkManager {
public:
    using SessionFactory = std::function<std::unique_ptr<LinkSession>(double bpm)>;

    static constexpr double kDefaultTempo = 120.0;
    static constexpr double kQuantum = 4.0;

    // A disabled session of the Link library at 120 BPM, start/stop sync on.
    LinkManager();
    // Takes `session` (may be null) and, when there is one, switches its
    // start/stop sync on. `factory` creates a session for setupWithBPM() when
    // there is none.
    explicit LinkManager(std::unique_ptr<LinkSession> session, SessionFactory factory = {});
    ~LinkManager();
    LinkManager(const LinkManager&) = delete;
    LinkManager& operator=(const LinkManager&) = delete;

    // With a session: the same as setBPM(). Without: creates one at `bpm`
    // (start/stop sync left as the library starts it). NaN is ignored.
    void setupWithBPM(double bpm);
    // Switches start/stop sync and the session together.
    void enable(bool enabled);
    bool isEnabled() const;
    std::size_t peerCount() const;
    bool isPlaying() const;
    // The beat now, phase-aligned to a bar of kQuantum beats.
    double currentBeat() const;
    // How long until the timeline reaches `beat` (negative once it has passed),
    // on the session's clock; none without a session. A span rather than a
    // time, because the library's clock is not the main queue's.
    std::optional<std::chrono::microseconds> timeUntilBeat(double beat) const;
    double bpm() const;
    // The library keeps the tempo within 20–999 BPM. NaN is ignored.
    void setBPM(double bpm);
    void setPlaying(bool playing);
    // Maps beat 0 to now; play state unchanged.
    void resetTimeline();
    // Starts the transport and maps beat 0 to the start, in one commit.
    void startAtBeatZero();

    bool hasSession() const { return link_ != nullptr; }
    // The session itself (null without one), for its clock.
    LinkSession* session() const { return link_.get(); }

private:
    std::unique_ptr<LinkSession> link_;
    SessionFactory factory_;
};

}  // namespace velorin
