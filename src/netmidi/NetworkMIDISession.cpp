// SPDX-License-Identifier: GPL-3.0-or-later
#include "netmidi/NetworkMIDISession.hpp"

#include <algorithm>
#include <random>

#include "netmidi/RTPMIDIPayload.hpp"
#include "netmidi/RecoveryJournal.hpp"

namespace velorin {

namespace {

using namespace std::chrono_literals;

// Clock sync stamps and RTP timestamps count 100-microsecond ticks.
constexpr auto kTick = std::chrono::microseconds(100);
// A clock-sync round trip above this is a stale or forged answer, not a measurement.
constexpr std::uint64_t kMaxRoundTripTicks = 100000;  // 10 s
// The largest journal a packet carries; the commands get the rest of the datagram.
constexpr std::size_t kMaxJournalBytes = 640;
// The addresses remembered for rate-limiting log lines.
constexpr std::size_t kMaxLoggedAddresses = 256;

}  // namespace

struct NetworkMIDISession::PeerRecord {
    NetworkMIDIPeer info;
    std::uint32_t token = 0;
    int attempts = 0;
    TimePoint nextAttempt{};
    TimePoint lastHeard{};
    // Clock sync.
    int syncsStarted = 0;
    TimePoint nextSync{};
    // Sending.
    std::uint16_t sendSequence = 0;
    RecoveryJournalSender journal;
    int guardsLeft = 0;
    std::chrono::milliseconds guardDelay{0};
    TimePoint nextGuard{};
    // Receiving.
    bool receivedAny = false;
    std::uint16_t lastReceived = 0;
    bool feedbackDue = false;
    TimePoint lastFeedback{};
    RTPMIDIReceiveState receiveState;
    RecoveryJournalReceiver receiver;

    explicit PeerRecord(std::uint16_t firstSequence) : sendSequence(firstSequence), journal(firstSequence) {}
    bool connected() const { return info.state == NetworkMIDIPeerState::connected; }
};

NetworkMIDISession::NetworkMIDISession(MainQueue& queue, NetworkMIDISessionConfig config, Callbacks callbacks)
    : queue_(queue), config_(std::move(config)), callbacks_(std::move(callbacks)), epoch_(queue.now()) {
    std::random_device device;
    randomState_ = (std::uint64_t{device()} << 32) ^ device() ^
                   static_cast<std::uint64_t>(epoch_.time_since_epoch().count());
    ssrc_ = config_.ssrc ? *config_.ssrc : randomWord();
    if (ssrc_ == 0 && !config_.ssrc) ssrc_ = 1;
    config_.invitationAttempts = std::max(config_.invitationAttempts, 1);
    config_.maxPeers = std::max<std::size_t>(config_.maxPeers, 1);
    datagram_.reserve(kMaxRTPMIDIDatagramBytes);
    journalBytes_.reserve(kMaxJournalBytes * 2);
}

NetworkMIDISession::~NetworkMIDISession() = default;

std::uint32_t NetworkMIDISession::randomWord() {
    // splitmix64: tokens and sequence starts need to be unpredictable enough
    // to tell sessions apart, not to resist an attacker.
    std::uint64_t z = (randomState_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 16);
}

std::uint64_t NetworkMIDISession::clockTicks(TimePoint t) const {
    return static_cast<std::uint64_t>(std::max<MainQueue::Duration>(t - epoch_, MainQueue::Duration::zero()) /
                                      kTick);
}

void NetworkMIDISession::start() {
    if (running_) return;
    running_ = true;
    reschedule();
}

void NetworkMIDISession::stop() {
    if (!running_) return;
    std::vector<NetworkMIDIPeerId> ids;
    for (const auto& [id, peer] : peers_) ids.push_back(id);
    for (NetworkMIDIPeerId id : ids) {
        PeerRecord* peer = find(id);
        if (!peer) continue;
        const bool joined = peer->connected();
        removePeer(id, joined ? std::optional(NetworkMIDILeaveReason::sessionStopped) : std::nullopt, true);
    }
    running_ = false;
    timer_.cancel();
}

NetworkMIDIPeerId NetworkMIDISession::invite(const NetworkMIDIAddress& controlAddress) {
    if (!running_) return 0;
    if (PeerRecord* existing = findByControl(controlAddress)) return existing->info.id;
    if (peers_.size() >= config_.maxPeers) return 0;
    auto record = std::make_shared<PeerRecord>(static_cast<std::uint16_t>(randomWord()));
    PeerRecord& peer = *record;
    peer.info.id = nextPeerId_++;
    peer.info.role = NetworkMIDIPeerRole::invitedByUs;
    peer.info.state = NetworkMIDIPeerState::invitingControl;
    peer.info.controlAddress = controlAddress;
    peer.info.dataAddress = controlAddress.nextPort();
    peer.token = randomWord();
    peer.lastHeard = queue_.now();
    const NetworkMIDIPeerId id = peer.info.id;
    peers_.emplace(id, std::move(record));
    sendInvitation(peer);
    reschedule();
    return id;
}

void NetworkMIDISession::disconnect(NetworkMIDIPeerId id) {
    PeerRecord* peer = find(id);
    if (!peer) return;
    const bool joined = peer->connected();
    removePeer(id, joined ? std::optional(NetworkMIDILeaveReason::disconnected) : std::nullopt, true);
}

std::vector<NetworkMIDIPeer> NetworkMIDISession::peers() const {
    std::vector<NetworkMIDIPeer> out;
    out.reserve(peers_.size());
    for (const auto& [id, peer] : peers_) out.push_back(peer->info);
    return out;
}

std::optional<NetworkMIDIPeer> NetworkMIDISession::peer(NetworkMIDIPeerId id) const {
    auto it = peers_.find(id);
    if (it == peers_.end()) return std::nullopt;
    return it->second->info;
}

// ---- Finding peers -----------------------------------------------------------

NetworkMIDISession::PeerRecord* NetworkMIDISession::find(NetworkMIDIPeerId id) {
    auto it = peers_.find(id);
    return it == peers_.end() ? nullptr : it->second.get();
}

NetworkMIDISession::PeerRecord* NetworkMIDISession::findByControl(const NetworkMIDIAddress& from) {
    for (auto& [id, peer] : peers_) {
        if (peer->info.controlAddress == from) return peer.get();
    }
    return nullptr;
}

// A peer is known by its SSRC together with its host, so two peers that
// happen to pick the same SSRC never take each other's packets.
NetworkMIDISession::PeerRecord* NetworkMIDISession::findBySSRC(std::uint32_t ssrc, const std::string& host) {
    for (auto& [id, peer] : peers_) {
        if (peer->info.ssrc == ssrc && peer->info.state != NetworkMIDIPeerState::invitingControl &&
            peer->info.controlAddress.host == host) {
            return peer.get();
        }
    }
    return nullptr;
}

NetworkMIDISession::PeerRecord* NetworkMIDISession::findByToken(std::uint32_t token) {
    for (auto& [id, peer] : peers_) {
        if (peer->token == token && peer->info.role == NetworkMIDIPeerRole::invitedByUs) return peer.get();
    }
    return nullptr;
}

// ---- Receiving -----------------------------------------------------------------

void NetworkMIDISession::receive(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                                 std::span<const std::uint8_t> bytes) {
    if (!running_) return;
    if (isSessionPacket(bytes)) {
        handleSessionPacket(channel, from, bytes);
    } else if (channel == NetworkMIDIChannel::data) {
        handleRTP(from, bytes);
    } else {
        malformed(from, "not a session packet on the control port");
    }
}

void NetworkMIDISession::handleSessionPacket(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                                             std::span<const std::uint8_t> bytes) {
    SessionParseResult parsed = parseSessionPacket(bytes);
    if (!parsed.packet) {
        malformed(from, sessionPacketErrorText(parsed.error));
        return;
    }
    if (const auto* ck = std::get_if<SessionClockSyncPacket>(&*parsed.packet)) {
        handleClockSync(channel, from, *ck);
        return;
    }
    if (const auto* rs = std::get_if<SessionFeedbackPacket>(&*parsed.packet)) {
        if (PeerRecord* peer = findBySSRC(rs->ssrc, from.host); peer && peer->connected()) {
            peer->lastHeard = queue_.now();
            peer->journal.acknowledge(rs->sequenceNumber);
            if (peer->journal.empty()) peer->guardsLeft = 0;
        }
        return;
    }
    const auto& p = std::get<SessionInvitationPacket>(*parsed.packet);
    switch (p.command) {
        case SessionCommand::invitation:
            handleInvitation(channel, from, p);
            break;
        case SessionCommand::accepted:
            handleAccepted(channel, from, p);
            break;
        case SessionCommand::refused:
            if (PeerRecord* peer = findByToken(p.initiatorToken); peer && !peer->connected()) {
                if (peer->info.controlAddress.host == from.host) {
                    // Refused with our own SSRC: we invited ourselves.
                    failInvitation(peer->info.id, p.ssrc == ssrc_
                                                      ? NetworkMIDIInvitationFailure::ourOwnSession
                                                      : NetworkMIDIInvitationFailure::refusedByPeer);
                }
            }
            break;
        case SessionCommand::bye: {
            PeerRecord* peer = findBySSRC(p.ssrc, from.host);
            if (!peer) peer = findByToken(p.initiatorToken);
            if (!peer || peer->info.controlAddress.host != from.host) break;
            if (peer->connected()) {
                removePeer(peer->info.id, NetworkMIDILeaveReason::byeReceived, false);
            } else if (peer->info.role == NetworkMIDIPeerRole::invitedByUs) {
                failInvitation(peer->info.id, NetworkMIDIInvitationFailure::refusedByPeer);
            } else {
                removePeer(peer->info.id, std::nullopt, false);
            }
            break;
        }
        default:
            break;
    }
}

void NetworkMIDISession::handleInvitation(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                                          const SessionInvitationPacket& p) {
    SessionInvitationPacket answer;
    answer.initiatorToken = p.initiatorToken;
    answer.ssrc = ssrc_;
    answer.name = config_.name;
    if (channel == NetworkMIDIChannel::data) {
        // The second half of an invitation whose control half we accepted.
        PeerRecord* peer = findBySSRC(p.ssrc, from.host);
        if (!peer || peer->info.role != NetworkMIDIPeerRole::invitedUs || peer->token != p.initiatorToken) {
            answer.command = SessionCommand::refused;
            answer.name.clear();
            sendSession(channel, from, answer);
            return;
        }
        peer->lastHeard = queue_.now();
        peer->info.dataAddress = from;
        answer.command = SessionCommand::accepted;
        sendSession(channel, from, answer);
        if (!peer->connected()) join(*peer);
        return;
    }

    auto refuse = [&](NetworkMIDIInvitationFailure failure) {
        answer.command = SessionCommand::refused;
        sendSession(channel, from, answer);
        if (callbacks_.invitationFailed) callbacks_.invitationFailed(from, p.name, failure);
    };
    if (p.ssrc == ssrc_) {
        refuse(NetworkMIDIInvitationFailure::ourOwnSession);
        return;
    }
    if (PeerRecord* existing = findByControl(from)) {
        if (existing->info.role == NetworkMIDIPeerRole::invitedUs && existing->info.ssrc == p.ssrc &&
            existing->token == p.initiatorToken) {
            // Our answer was lost: answer again.
            existing->lastHeard = queue_.now();
            answer.command = SessionCommand::accepted;
            sendSession(channel, from, answer);
            return;
        }
        // The same address starts over (a restarted peer, or both sides inviting
        // at once): the new invitation replaces what we had.
        const bool joined = existing->connected();
        removePeer(existing->info.id, joined ? std::optional(NetworkMIDILeaveReason::replaced) : std::nullopt,
                   false);
    }
    if (peers_.size() >= config_.maxPeers) {
        // Half-finished invitations make room for a new one (the oldest goes
        // first), so a burst of invitations that never finish cannot keep
        // everyone else out; joined peers are never pushed out.
        PeerRecord* oldest = nullptr;
        for (auto& [id, candidate] : peers_) {
            if (candidate->info.state == NetworkMIDIPeerState::awaitingData &&
                (!oldest || candidate->lastHeard < oldest->lastHeard)) {
                oldest = candidate.get();
            }
        }
        if (!oldest) {
            refuse(NetworkMIDIInvitationFailure::tooManyPeers);
            return;
        }
        removePeer(oldest->info.id, std::nullopt, false);
    }
    NetworkMIDIInvitation invitation{from, p.name, p.ssrc};
    if (callbacks_.acceptInvitation && !callbacks_.acceptInvitation(invitation)) {
        refuse(NetworkMIDIInvitationFailure::refusedByUs);
        return;
    }
    if (!running_) return;  // stopped from inside the policy
    auto record = std::make_shared<PeerRecord>(static_cast<std::uint16_t>(randomWord()));
    PeerRecord& peer = *record;
    peer.info.id = nextPeerId_++;
    peer.info.name = p.name;
    peer.info.ssrc = p.ssrc;
    peer.info.role = NetworkMIDIPeerRole::invitedUs;
    peer.info.state = NetworkMIDIPeerState::awaitingData;
    peer.info.controlAddress = from;
    peer.info.dataAddress = from.nextPort();
    peer.token = p.initiatorToken;
    peer.lastHeard = queue_.now();
    peers_.emplace(peer.info.id, std::move(record));
    answer.command = SessionCommand::accepted;
    sendSession(channel, from, answer);
    reschedule();
}

void NetworkMIDISession::handleAccepted(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                                        const SessionInvitationPacket& p) {
    PeerRecord* peer = findByToken(p.initiatorToken);
    if (!peer || peer->info.controlAddress.host != from.host) return;
    if (p.ssrc == ssrc_) {
        failInvitation(peer->info.id, NetworkMIDIInvitationFailure::ourOwnSession);
        return;
    }
    const TimePoint now = queue_.now();
    if (channel == NetworkMIDIChannel::control && peer->info.state == NetworkMIDIPeerState::invitingControl &&
        from == peer->info.controlAddress) {
        peer->info.ssrc = p.ssrc;
        peer->info.name = p.name;
        peer->info.state = NetworkMIDIPeerState::invitingData;
        peer->attempts = 0;
        peer->lastHeard = now;
        sendInvitation(*peer);
        reschedule();
    } else if (channel == NetworkMIDIChannel::data &&
               peer->info.state == NetworkMIDIPeerState::invitingData && p.ssrc == peer->info.ssrc) {
        peer->info.dataAddress = from;
        peer->lastHeard = now;
        join(*peer);
    }
}

void NetworkMIDISession::join(PeerRecord& peer) {
    const TimePoint now = queue_.now();
    peer.info.state = NetworkMIDIPeerState::connected;
    peer.lastHeard = now;
    peer.syncsStarted = 0;
    // The initiator runs clock sync from the start; a responder only steps in
    // when the initiator stays silent.
    peer.nextSync = peer.info.role == NetworkMIDIPeerRole::invitedByUs ? now : now + 2 * config_.syncInterval;
    peer.lastFeedback = now;
    const NetworkMIDIPeerId id = peer.info.id;
    const NetworkMIDIPeer info = peer.info;
    if (callbacks_.peerJoined) callbacks_.peerJoined(info);
    if (find(id)) reschedule();
}

void NetworkMIDISession::handleClockSync(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                                         const SessionClockSyncPacket& p) {
    PeerRecord* peer = findBySSRC(p.ssrc, from.host);
    if (!peer || !peer->connected()) return;
    const TimePoint now = queue_.now();
    peer->lastHeard = now;
    const std::uint64_t nowTicks = clockTicks(now);
    switch (p.count) {
        case 0:
            sendClockSync(channel, from, 1, {p.timestamps[0], nowTicks, 0});
            break;
        case 1:
            sendClockSync(channel, from, 2, {p.timestamps[0], p.timestamps[1], nowTicks});
            if (nowTicks >= p.timestamps[0]) updateLatency(*peer, nowTicks - p.timestamps[0]);
            break;
        default:
            if (nowTicks >= p.timestamps[1]) updateLatency(*peer, nowTicks - p.timestamps[1]);
            break;
    }
}

void NetworkMIDISession::updateLatency(PeerRecord& peer, std::uint64_t roundTripTicks) {
    if (roundTripTicks > kMaxRoundTripTicks) return;
    if (peer.info.role == NetworkMIDIPeerRole::invitedUs)
        peer.nextSync = queue_.now() + 2 * config_.syncInterval;
    const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(kTick * roundTripTicks / 2);
    const bool changed = !peer.info.latency || std::chrono::abs(*peer.info.latency - latency) > 1ms;
    if (!changed) return;
    peer.info.latency = latency;
    const NetworkMIDIPeer info = peer.info;
    if (callbacks_.latencyChanged) callbacks_.latencyChanged(info);
}

void NetworkMIDISession::handleRTP(const NetworkMIDIAddress& from, std::span<const std::uint8_t> bytes) {
    RTPMIDIPacketView view;
    if (const RTPMIDIError error = parseRTPMIDIPacket(bytes, view); error != RTPMIDIError::none) {
        malformed(from, rtpMIDIErrorText(error));
        return;
    }
    // Held for the whole call: a callback may remove the peer from the session.
    std::shared_ptr<PeerRecord> peer;
    for (auto& [id, candidate] : peers_) {
        if (candidate->connected() && candidate->info.dataAddress == from &&
            candidate->info.ssrc == view.header.ssrc) {
            peer = candidate;
            break;
        }
    }
    if (!peer) {
        malformed(from, "MIDI from an address that is not a peer of this session");
        return;
    }
    const NetworkMIDIPeerId id = peer->info.id;
    peer->lastHeard = queue_.now();
    const std::uint16_t sequence = view.header.sequenceNumber;
    std::size_t lost = 0;
    if (peer->receivedAny) {
        const auto gap =
            static_cast<std::int16_t>(static_cast<std::uint16_t>(sequence - peer->lastReceived - 1));
        if (gap < 0) return;  // a duplicate, or late: the journal has already covered it
        lost = static_cast<std::size_t>(gap);
    }
    peer->receivedAny = true;
    peer->lastReceived = sequence;
    peer->feedbackDue = true;
    ++peer->info.statistics.packetsReceived;

    std::vector<MIDIEvent> repairs;
    if (lost > 0) {
        peer->info.statistics.packetsLost += lost;
        RecoveryJournal journal;
        const RecoveryJournalError error =
            view.journal ? parseRecoveryJournal(*view.journal, journal) : RecoveryJournalError::truncated;
        if (!view.journal || error != RecoveryJournalError::none) {
            ++peer->info.statistics.lossesUnrepaired;
            if (view.journal) malformed(from, recoveryJournalErrorText(error));
        } else {
            // A checkpoint after the last packet we had means the journal does not reach back far enough.
            const std::uint16_t lastBefore = static_cast<std::uint16_t>(sequence - lost - 1);
            if (static_cast<std::int16_t>(static_cast<std::uint16_t>(journal.checkpoint - lastBefore)) > 0) {
                ++peer->info.statistics.lossesUnrepaired;
            }
            peer->receiver.repair(journal, repairs);
            peer->info.statistics.journalRepairs += repairs.size();
        }
    }
    if (lost > 0) {
        // A SysEx message that lost a segment cannot be put together: drop it.
        peer->receiveState.systemExclusive.clear();
        peer->receiveState.droppingSystemExclusive = false;
    }
    // The scratch vector is taken, not shared, in case a callback leads back here.
    std::vector<RTPMIDITimedEvent> events = std::move(eventScratch_);
    events.clear();
    peer->receiveState.maxSystemExclusiveBytes = config_.maxSystemExclusiveBytes;
    const RTPMIDIError error = decodeCommandSection(view, peer->receiveState, events);
    if (error != RTPMIDIError::none) malformed(from, rtpMIDIErrorText(error));

    // Each event is noted as delivered just before it is passed on, so a
    // callback that disconnects the peer releases exactly the notes passed on,
    // and nothing more of this packet follows the goodbye.
    const NetworkMIDIPeer& info = peer->info;
    auto stillJoined = [&] { return peers_.count(id) != 0; };
    for (const MIDIEvent& e : repairs) {
        if (!stillJoined()) break;
        if (callbacks_.midi) callbacks_.midi(info, e);
    }
    for (const RTPMIDITimedEvent& timed : events) {
        if (!stillJoined()) break;
        peer->receiver.observe(timed.event);
        if (callbacks_.midi) callbacks_.midi(info, timed.event);
    }
    if (!repairs.empty() && callbacks_.journalRepaired && find(id)) {
        callbacks_.journalRepaired(info, lost, repairs.size());
    }
    eventScratch_ = std::move(events);
    if (find(id)) reschedule();
}

// ---- Sending -------------------------------------------------------------------

void NetworkMIDISession::sendSession(NetworkMIDIChannel channel, const NetworkMIDIAddress& to,
                                     const SessionInvitationPacket& p) {
    encodeSessionPacket(p, datagram_);
    callbacks_.send(channel, to, datagram_);
}

void NetworkMIDISession::sendInvitation(PeerRecord& peer) {
    SessionInvitationPacket p;
    p.command = SessionCommand::invitation;
    p.initiatorToken = peer.token;
    p.ssrc = ssrc_;
    p.name = config_.name;
    const bool control = peer.info.state == NetworkMIDIPeerState::invitingControl;
    ++peer.attempts;
    peer.nextAttempt = queue_.now() + config_.invitationInterval;
    sendSession(control ? NetworkMIDIChannel::control : NetworkMIDIChannel::data,
                control ? peer.info.controlAddress : peer.info.dataAddress, p);
}

// Answers go back on the port the question came in on.
void NetworkMIDISession::sendClockSync(NetworkMIDIChannel channel, const NetworkMIDIAddress& to,
                                       std::uint8_t count, std::array<std::uint64_t, 3> timestamps) {
    encodeSessionPacket(SessionClockSyncPacket{ssrc_, count, timestamps}, datagram_);
    callbacks_.send(channel, to, datagram_);
}

bool NetworkMIDISession::sendMIDI(NetworkMIDIPeerId id, std::span<const MIDIEvent> events) {
    PeerRecord* peer = find(id);
    if (!running_ || !peer || !peer->connected()) return false;
    if (events.empty()) return true;
    sendPacket(*peer, events);
    peer->guardsLeft = config_.guardPackets;
    peer->guardDelay = config_.guardDelay;
    peer->nextGuard = queue_.now() + peer->guardDelay;
    reschedule();
    return true;
}

// Sends `events` in as many packets as they need (one when they fit); with no
// events, one packet carrying only the journal.
void NetworkMIDISession::sendPacket(PeerRecord& peer, std::span<const MIDIEvent> events) {
    const TimePoint now = queue_.now();
    RTPMIDICommandWriter writer = std::move(writerScratch_);
    std::size_t next = 0;
    std::size_t systemExclusiveOffset = 0;
    do {
        journalBytes_.clear();
        const bool hasJournal =
            config_.sendJournal && peer.journal.encode(now, kMaxJournalBytes, journalBytes_);
        writer.reset(kMaxRTPMIDIDatagramBytes - kRTPHeaderBytes - 2 - journalBytes_.size());
        const std::uint16_t sequence = peer.sendSequence;
        while (next < events.size()) {
            const MIDIEvent& e = events[next];
            if (e.type == MIDIEventType::systemExclusive) {
                const std::size_t before = systemExclusiveOffset;
                systemExclusiveOffset = writer.appendSystemExclusive(0, e.data, systemExclusiveOffset);
                if (systemExclusiveOffset >= e.data.size()) {
                    systemExclusiveOffset = 0;
                    ++next;
                } else if (systemExclusiveOffset == before && writer.empty()) {
                    systemExclusiveOffset = 0;  // cannot be written at all
                    ++next;
                } else {
                    break;  // the packet is full; the rest follows in the next one
                }
            } else if (writer.appendChannelEvent(0, e)) {
                peer.journal.record(e, sequence, now);
                ++next;
            } else if (writer.empty()) {
                ++next;
            } else {
                break;
            }
        }
        if (writer.empty() && !hasJournal) break;
        RTPMIDIHeader header;
        header.marker = !writer.empty();
        header.sequenceNumber = sequence;
        header.timestamp = static_cast<std::uint32_t>(clockTicks(now));
        header.ssrc = ssrc_;
        encodeRTPMIDIPacket(
            header, writer.bytes(),
            hasJournal ? std::optional<std::span<const std::uint8_t>>(journalBytes_) : std::nullopt,
            datagram_);
        ++peer.sendSequence;
        ++peer.info.statistics.packetsSent;
        callbacks_.send(NetworkMIDIChannel::data, peer.info.dataAddress, datagram_);
    } while (next < events.size());
    writerScratch_ = std::move(writer);
}

// ---- Leaving -------------------------------------------------------------------

void NetworkMIDISession::removePeer(NetworkMIDIPeerId id, std::optional<NetworkMIDILeaveReason> reason,
                                    bool sayBye) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    std::shared_ptr<PeerRecord> peer = std::move(it->second);
    peers_.erase(it);
    if (sayBye && running_) {
        SessionInvitationPacket bye;
        bye.command = SessionCommand::bye;
        bye.initiatorToken = peer->token;
        bye.ssrc = ssrc_;
        sendSession(NetworkMIDIChannel::control, peer->info.controlAddress, bye);
    }
    if (!reason) return;
    std::vector<MIDIEvent> released;
    peer->receiver.releaseAll(released);
    if (callbacks_.midi) {
        for (const MIDIEvent& e : released) callbacks_.midi(peer->info, e);
    }
    if (callbacks_.peerLeft) callbacks_.peerLeft(peer->info, *reason);
}

void NetworkMIDISession::failInvitation(NetworkMIDIPeerId id, NetworkMIDIInvitationFailure failure) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    const NetworkMIDIAddress address = it->second->info.controlAddress;
    const std::string name = it->second->info.name;
    peers_.erase(it);
    if (callbacks_.invitationFailed) callbacks_.invitationFailed(address, name, failure);
}

void NetworkMIDISession::malformed(const NetworkMIDIAddress& from, std::string_view what) {
    for (auto& [id, peer] : peers_) {
        if (peer->connected() && (peer->info.dataAddress == from || peer->info.controlAddress == from)) {
            ++peer->info.statistics.malformedPackets;
            break;
        }
    }
    if (!callbacks_.log) return;
    const TimePoint now = queue_.now();
    auto it = lastLogByAddress_.find(from);
    if (it != lastLogByAddress_.end() && now - it->second < 1s) return;
    if (it == lastLogByAddress_.end() && lastLogByAddress_.size() >= kMaxLoggedAddresses) {
        std::erase_if(lastLogByAddress_, [&](const auto& entry) { return now - entry.second >= 1s; });
        if (lastLogByAddress_.size() >= kMaxLoggedAddresses)
            return;  // a flood from many addresses: stay quiet
    }
    lastLogByAddress_[from] = now;
    callbacks_.log("dropped a packet from " + from.text() + ": " + std::string(what));
}

// ---- Timers --------------------------------------------------------------------

void NetworkMIDISession::onTimer() {
    timerDue_ = {};
    const TimePoint now = queue_.now();
    std::vector<NetworkMIDIPeerId> ids;
    ids.reserve(peers_.size());
    for (const auto& [id, peer] : peers_) ids.push_back(id);
    for (NetworkMIDIPeerId id : ids) {
        PeerRecord* peer = find(id);
        if (!peer || !running_) continue;
        switch (peer->info.state) {
            case NetworkMIDIPeerState::invitingControl:
            case NetworkMIDIPeerState::invitingData:
                if (now < peer->nextAttempt) break;
                if (peer->attempts >= config_.invitationAttempts) {
                    failInvitation(id, NetworkMIDIInvitationFailure::noAnswer);
                } else {
                    sendInvitation(*peer);
                }
                break;
            case NetworkMIDIPeerState::awaitingData:
                if (now - peer->lastHeard >= config_.invitationInterval * config_.invitationAttempts) {
                    removePeer(id, std::nullopt, false);
                }
                break;
            case NetworkMIDIPeerState::connected: {
                if (now - peer->lastHeard >= config_.peerTimeout) {
                    removePeer(id, NetworkMIDILeaveReason::timedOut, true);
                    break;
                }
                if (now >= peer->nextSync) {
                    sendClockSync(NetworkMIDIChannel::data, peer->info.dataAddress, 0,
                                  {clockTicks(now), 0, 0});
                    ++peer->syncsStarted;
                    const bool fast = peer->info.role == NetworkMIDIPeerRole::invitedByUs &&
                                      peer->syncsStarted < config_.fastSyncCount;
                    peer->nextSync = now + (fast ? config_.fastSyncInterval : config_.syncInterval);
                }
                if (peer->feedbackDue && now - peer->lastFeedback >= config_.feedbackInterval) {
                    SessionFeedbackPacket rs{ssrc_, peer->lastReceived};
                    encodeSessionPacket(rs, datagram_);
                    peer->feedbackDue = false;
                    peer->lastFeedback = now;
                    callbacks_.send(NetworkMIDIChannel::control, peer->info.controlAddress, datagram_);
                }
                if (peer->guardsLeft > 0 && now >= peer->nextGuard) {
                    if (peer->journal.empty() || !config_.sendJournal) {
                        peer->guardsLeft = 0;
                    } else {
                        sendPacket(*peer, {});
                        --peer->guardsLeft;
                        peer->guardDelay *= 2;
                        peer->nextGuard = now + peer->guardDelay;
                    }
                }
                break;
            }
        }
    }
    reschedule();
}

void NetworkMIDISession::reschedule() {
    if (!running_) return;
    std::optional<TimePoint> due;
    auto consider = [&](TimePoint t) {
        if (!due || t < *due) due = t;
    };
    for (const auto& [id, peer] : peers_) {
        switch (peer->info.state) {
            case NetworkMIDIPeerState::invitingControl:
            case NetworkMIDIPeerState::invitingData:
                consider(peer->nextAttempt);
                break;
            case NetworkMIDIPeerState::awaitingData:
                consider(peer->lastHeard + config_.invitationInterval * config_.invitationAttempts);
                break;
            case NetworkMIDIPeerState::connected:
                consider(peer->lastHeard + config_.peerTimeout);
                consider(peer->nextSync);
                if (peer->feedbackDue) consider(peer->lastFeedback + config_.feedbackInterval);
                if (peer->guardsLeft > 0) consider(peer->nextGuard);
                break;
        }
    }
    if (!due) {
        timer_.cancel();
        timerDue_ = {};
        return;
    }
    if (timer_.isActive() && timerDue_ != TimePoint{} && timerDue_ <= *due) return;
    timerDue_ = *due;
    const TimePoint now = queue_.now();
    timer_ = queue_.postAfter(std::max<MainQueue::Duration>(*due - now, MainQueue::Duration::zero()),
                              [this] { onTimer(); });
}

}  // namespace velorin
