// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/LinkManager.hpp"

#include <cmath>
#include <utility>

#include "link/AbletonLinkSession.hpp"

namespace velorin {

namespace {
std::unique_ptr<LinkSession> makeLibrarySession(double bpm) {
    return AbletonLinkSession::create(bpm);
}
}  // namespace

LinkManager::LinkManager() : LinkManager(makeLibrarySession(kDefaultTempo), makeLibrarySession) {}

LinkManager::LinkManager(std::unique_ptr<LinkSession> session, SessionFactory factory)
    : link_(std::move(session)), factory_(std::move(factory)) {
    if (link_) link_->enableStartStopSync(true);
}

LinkManager::~LinkManager() = default;

void LinkManager::setupWithBPM(double bpm) {
    if (std::isnan(bpm)) return;  // see setBPM()
    if (link_) {
        setBPM(bpm);
        return;
    }
    if (factory_) link_ = factory_(bpm);
}

void LinkManager::enable(bool enabled) {
    if (!link_) return;
    link_->enableStartStopSync(enabled);
    link_->enable(enabled);
}

bool LinkManager::isEnabled() const {
    return link_ && link_->isEnabled();
}

std::size_t LinkManager::peerCount() const {
    return link_ ? link_->numPeers() : 0;
}

bool LinkManager::isPlaying() const {
    return link_ && link_->isPlaying();
}

double LinkManager::currentBeat() const {
    if (!link_) return 0.0;
    return link_->beatAtTime(link_->clockMicros(), kQuantum);
}

std::optional<std::chrono::microseconds> LinkManager::timeUntilBeat(double beat) const {
    if (!link_) return std::nullopt;
    return link_->timeAtBeat(beat, kQuantum) - link_->clockMicros();
}

double LinkManager::bpm() const {
    return link_ ? link_->tempo() : 0.0;
}

void LinkManager::setBPM(double bpm) {
    // The library clamps any number into 20–999 but keeps NaN, which it would
    // then share with every peer of the session.
    if (!link_ || std::isnan(bpm)) return;
    link_->setTempo(bpm, link_->clockMicros());
}

void LinkManager::setPlaying(bool playing) {
    if (!link_) return;
    link_->setIsPlaying(playing, link_->clockMicros());
}

void LinkManager::resetTimeline() {
    if (!link_) return;
    link_->forceBeatAtTime(0.0, link_->clockMicros(), kQuantum);
}

void LinkManager::startAtBeatZero() {
    if (!link_) return;
    LinkSessionChange change;
    change.atTime = link_->clockMicros();
    change.isPlaying = true;
    change.forcedBeat = 0.0;
    change.quantum = kQuantum;
    link_->commit(change);
}

}  // namespace velorin
