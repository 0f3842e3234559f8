// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/LinkClock.hpp"

#include <cassert>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <utility>

#include "link/AbletonLinkSession.hpp"
#include "log/LogStore.hpp"

namespace velorin {

namespace {

constexpr double kTempoLogThreshold = 0.05;

// "[Link] Tempo: %.1f BPM" as printf writes it in the "C" locale. to_chars is
// used because the application framework switches the process to the user's
// locale, where printf would write "120,0".
std::string tempoLine(double tempo) {
    char number[400];  // room for any double in fixed notation
    const auto result = std::to_chars(number, number + sizeof number, tempo, std::chars_format::fixed, 1);
    std::string line = "[Link] Tempo: ";
    line.append(number, result.ec == std::errc{} ? result.ptr : number);
    line += " BPM";
    return line;
}

std::unique_ptr<LinkSession> withFailureLogging(std::unique_ptr<LinkSession> session, LogStore& log) {
    if (session) {
        session->setFailureHandler([&log](std::string_view reason) {
            log.log("[Link] Library call failed: " + std::string(reason));
        });
    }
    return session;
}

}  // namespace

LinkClock::LinkClock(std::unique_ptr<LinkSession> session, LogStore& log, SettingsStore& settings,
                     MainQueue& queue)
    : storedIsActive_(&settings, kIsActiveKey, false),
      log_(log),
      queue_(queue),
      manager_(withFailureLogging(std::move(session), log),
               [&log](double bpm) { return withFailureLogging(AbletonLinkSession::create(bpm), log); }) {
    assert(queue_.isMainThread());
    if (storedIsActive_.value()) manager_.enable(true);
}

LinkClock::~LinkClock() = default;

void LinkClock::startPolling() {
    assert(queue_.isMainThread());
    if (poll_.isActive()) return;
    poll_ = queue_.every(kPollInterval, [this] { refresh(false); });
}

void LinkClock::refresh(bool forceTempoLog) {
    assert(queue_.isMainThread());
    Shown shown;
    const bool active = manager_.isEnabled();
    const double tempo = manager_.bpm();
    shown.active = active;
    shown.tempo = tempo;
    shown.restartAtBeatZero = restartAtBeatZero_;

    if (!lastLoggedIsActive_ || *lastLoggedIsActive_ != active) {
        log_.log(active ? "[Link] Enabled" : "[Link] Disabled");
        lastLoggedIsActive_ = active;
    }
    if (!active) {
        lastLoggedIsPlaying_.reset();
        lastLoggedPeerCount_.reset();
        publish(shown);
        return;
    }

    const std::size_t peers = manager_.peerCount();
    shown.peers = peers;
    if (!lastLoggedPeerCount_ || *lastLoggedPeerCount_ != peers) {
        log_.log("[Link] Peers: " + std::to_string(peers));
        lastLoggedPeerCount_ = peers;
    }

    const bool playing = manager_.isPlaying();
    shown.playing = playing;
    if (!lastLoggedIsPlaying_ || *lastLoggedIsPlaying_ != playing) {
        log_.log(playing ? "[Link] Transport: playing" : "[Link] Transport: stopped");
        lastLoggedIsPlaying_ = playing;
    }

    const bool tempoUnchanged =
        !forceTempoLog && lastLoggedTempo_ && std::abs(*lastLoggedTempo_ - tempo) < kTempoLogThreshold;
    if (!tempoUnchanged) {
        log_.log(tempoLine(tempo));
        lastLoggedTempo_ = tempo;
    }
    publish(shown);
}

void LinkClock::publish(const Shown& now) {
    // While the transport runs the beat moves on: observers hear of every
    // refresh, so an anchored beat never drifts from the session for long.
    if (lastShown_ && *lastShown_ == now && !(now.active && now.playing)) return;
    lastShown_ = now;
    notifyObservers();
}

LinkStateSnapshot LinkClock::snapshot() const {
    LinkStateSnapshot snapshot;
    snapshot.active = isActive();
    snapshot.peers = snapshot.active ? peerCount() : 0;
    snapshot.playing = snapshot.active && isPlaying();
    snapshot.tempo = tempo();
    snapshot.restartAtBeatZero = restartAtBeatZero_;
    snapshot.anchorTime = queue_.now();
    snapshot.anchorBeat = snapshot.active ? currentBeat() : 0;
    return snapshot;
}

void LinkClock::setActive(bool active) {
    assert(queue_.isMainThread());
    manager_.enable(active);
    storedIsActive_.set(active);
    refresh(active);
}

void LinkClock::setPlaying(bool playing) {
    assert(queue_.isMainThread());
    if (playing) {
        if (restartAtBeatZero_ && manager_.peerCount() == 0) {
            manager_.startAtBeatZero();
        } else {
            manager_.setPlaying(true);
        }
        restartAtBeatZero_ = false;
    } else {
        manager_.setPlaying(false);
    }
    refresh(false);
}

void LinkClock::resetTimeline() {
    assert(queue_.isMainThread());
    if (manager_.peerCount() != 0) return;
    const bool wasPlaying = manager_.isPlaying();
    manager_.resetTimeline();
    restartAtBeatZero_ = !wasPlaying;
    log_.log("[Link] Local timeline reset");
    refresh(false);
}

void LinkClock::leadStart(double beat, MainQueue::TimePoint time) {
    assert(queue_.isMainThread());
    LinkSession* session = manager_.session();
    if (session == nullptr) return;
    // The queue's moment on the library's clock.
    LinkSessionChange change;
    change.atTime =
        session->clockMicros() + std::chrono::duration_cast<std::chrono::microseconds>(time - queue_.now());
    change.isPlaying = true;
    change.forcedBeat = beat;
    change.quantum = LinkManager::kQuantum;
    session->commit(change);
    restartAtBeatZero_ = false;
}

void LinkClock::togglePlayback() {
    if (!isActive()) setActive(true);
    setPlaying(!manager_.isPlaying());
}

}  // namespace velorin
