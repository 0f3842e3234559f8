// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/MainQueue.hpp"
#include "midi/MIDIEvent.hpp"
#include "netmidi/NetworkMIDIAddress.hpp"
#include "netmidi/RTPMIDIPayload.hpp"
#include "netmidi/SessionPacket.hpp"

namespace velorin {

// Identifies one peer of a session for as long as it is known (never reused).
using NetworkMIDIPeerId = std::uint64_t;

enum class NetworkMIDIPeerRole : std::uint8_t {
    invitedByUs,  // we are the session initiator: we invited, we run clock sync
    invitedUs,    // the peer invited us
};

enum class NetworkMIDIPeerState : std::uint8_t {
    invitingControl,  // our IN on the control port is waiting for an answer
    invitingData,     // control accepted; our IN on the data port is waiting
    awaitingData,     // we accepted their control IN; their data IN has not come yet
    connected,
};

struct NetworkMIDIPeerStatistics {
    std::uint64_t packetsReceived = 0;
    std::uint64_t packetsSent = 0;
    std::uint64_t packetsLost = 0;       // gaps in the peer's sequence numbers
    std::uint64_t journalRepairs = 0;    // events the journal repaired
    std::uint64_t lossesUnrepaired = 0;  // losses the peer's packets carried no usable journal for
    std::uint64_t malformedPackets = 0;
};

// What the session knows of one peer (a copy; the session keeps the original).
struct NetworkMIDIPeer {
    NetworkMIDIPeerId id = 0;
    std::string name;  // the peer's session name (empty until it tells it)
    std::uint32_t ssrc = 0;
    NetworkMIDIAddress controlAddress;
    NetworkMIDIAddress dataAddress;
    NetworkMIDIPeerRole role = NetworkMIDIPeerRole::invitedByUs;
    NetworkMIDIPeerState state = NetworkMIDIPeerState::invitingControl;
    // Half the measured round trip of the last clock sync; absent before one.
    std::optional<std::chrono::microseconds> latency;
    NetworkMIDIPeerStatistics statistics;
};

enum class NetworkMIDILeaveReason : std::uint8_t {
    byeReceived,     // the peer said goodbye
    disconnected,    // we said goodbye (disconnect())
    timedOut,        // nothing heard for the peer timeout
    sessionStopped,  // stop()
    replaced,        // the same address invited again as a new session
};

enum class NetworkMIDIInvitationFailure : std::uint8_t {
    refusedByPeer,  // our invitation got NO
    noAnswer,       // every attempt went unanswered
    refusedByUs,    // their invitation was refused by the policy
    tooManyPeers,   // their invitation was refused: the session is full
    ourOwnSession,  // an invitation carrying our own SSRC (a loop back to ourselves)
};

// An invitation that reached us, for the policy to judge.
struct NetworkMIDIInvitation {
    NetworkMIDIAddress from;  // control address
    std::string name;
    std::uint32_t ssrc = 0;
};

struct NetworkMIDISessionConfig {
    std::string name = "Velorin";
    // Our SSRC; random when absent (tests fix it).
    std::optional<std::uint32_t> ssrc;
    // Invitations: one attempt per interval, then give up.
    std::chrono::milliseconds invitationInterval{1000};
    int invitationAttempts = 12;
    // Clock sync we start: `fastSyncCount` rounds `fastSyncInterval` apart after
    // joining, then one every `syncInterval`.
    int fastSyncCount = 6;
    std::chrono::milliseconds fastSyncInterval{1500};
    std::chrono::milliseconds syncInterval{10000};
    // A peer we hear nothing from for this long is dropped (with a BY).
    std::chrono::milliseconds peerTimeout{60000};
    // How often we tell a peer what we received (RS), while it sends.
    std::chrono::milliseconds feedbackInterval{1000};
    // Journal-only packets after the last MIDI sent: the first after this
    // delay, each next twice as late, `guardPackets` of them, so a lost last
    // packet (a note-off) is repaired even when nothing follows.
    std::chrono::milliseconds guardDelay{20};
    int guardPackets = 6;
    // Peers and pending invitations, together.
    std::size_t maxPeers = 32;
    // Send the recovery journal with our packets.
    bool sendJournal = true;
    // A SysEx message received longer than this is dropped.
    std::size_t maxSystemExclusiveBytes = 1024 * 1024;
};

// One RTP-MIDI session without I/O: it is given every datagram the two
// sockets receive and sends through a callback; timers run on `queue`. Peers
// invite us or we invite them; each connected peer carries MIDI both ways with
// the recovery journal. The queue's thread only. Callbacks run inline, from
// inside the call or timer that caused them (MIDI reaches `midi` from within
// receive(), with no queue hop); a callback may call back into the session,
// but must not destroy it.
//
// Driving it from the socket layer:
//   NetworkMIDISession session(queue, config, callbacks);  // callbacks.send: sendto() on the socket of
//   `channel` session.start();
//   // a datagram read from the control socket (the data socket likewise):
//   session.receive(NetworkMIDIChannel::control, from, bytes);
//   session.invite({"192.0.2.7", 5004});          // peerJoined / invitationFailed tell how it went
//   session.sendMIDI(peer.id, event);              // a joined peer's output; `midi` is its input
//   session.stop();                                // BY to every peer, before the sockets close
// Inviting again (a peer that left with timedOut, an invitation with noAnswer)
// is the caller's choice: invite() the same address later.
class NetworkMIDISession {
public:
    struct Callbacks {
        // Sends a datagram from our control or data socket. Required. The bytes
        // are valid during the call only; it must not call into this session.
        std::function<void(NetworkMIDIChannel, const NetworkMIDIAddress&, std::span<const std::uint8_t>)>
            send;
        // A peer finished the invitation (both ports) and can carry MIDI.
        std::function<void(const NetworkMIDIPeer&)> peerJoined;
        // A joined peer is gone. Notes it left on were released through `midi` first.
        std::function<void(const NetworkMIDIPeer&, NetworkMIDILeaveReason)> peerLeft;
        // An invitation either way did not lead to a session.
        std::function<void(const NetworkMIDIAddress&, std::string_view name, NetworkMIDIInvitationFailure)>
            invitationFailed;
        // The peer's latency moved by more than a millisecond (and the first measurement).
        std::function<void(const NetworkMIDIPeer&)> latencyChanged;
        // MIDI from a peer, in order, repairs included.
        std::function<void(const NetworkMIDIPeer&, const MIDIEvent&)> midi;
        // The journal repaired `events` events after `lostPackets` were lost.
        std::function<void(const NetworkMIDIPeer&, std::size_t lostPackets, std::size_t events)>
            journalRepaired;
        // Decides who may invite us; absent: everyone.
        std::function<bool(const NetworkMIDIInvitation&)> acceptInvitation;
        // Diagnostics (malformed packets, at most one line per address per second), without prefix.
        std::function<void(std::string_view)> log;
    };

    NetworkMIDISession(MainQueue& queue, NetworkMIDISessionConfig config, Callbacks callbacks);
    // Ends without goodbyes; call stop() first to say them.
    ~NetworkMIDISession();
    NetworkMIDISession(const NetworkMIDISession&) = delete;
    NetworkMIDISession& operator=(const NetworkMIDISession&) = delete;

    // Starts answering and timing. Until then received datagrams are ignored.
    void start();
    // BY to every peer, pending invitations dropped, peers leave (sessionStopped).
    void stop();
    bool isRunning() const { return running_; }

    // Invites the session listening on `controlAddress` (its data port is the
    // next one). Returns the peer's id, or the existing id when that address is
    // already a peer or being invited. 0 when the session is full or not running.
    NetworkMIDIPeerId invite(const NetworkMIDIAddress& controlAddress);
    // BY to the peer (or stops inviting it); it leaves with `disconnected`.
    void disconnect(NetworkMIDIPeerId peer);

    // A datagram our control or data socket received from `from`.
    void receive(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                 std::span<const std::uint8_t> bytes);

    // Sends MIDI to a connected peer, as few packets as fit. SysEx of any
    // length goes in segments. False when the peer is not connected.
    bool sendMIDI(NetworkMIDIPeerId peer, std::span<const MIDIEvent> events);
    bool sendMIDI(NetworkMIDIPeerId peer, const MIDIEvent& event) {
        return sendMIDI(peer, std::span(&event, 1));
    }

    std::uint32_t ssrc() const { return ssrc_; }
    const NetworkMIDISessionConfig& config() const { return config_; }
    // Every peer, joined or being invited, in id order.
    std::vector<NetworkMIDIPeer> peers() const;
    std::optional<NetworkMIDIPeer> peer(NetworkMIDIPeerId id) const;

private:
    struct PeerRecord;
    using TimePoint = MainQueue::TimePoint;

    void handleSessionPacket(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                             std::span<const std::uint8_t> bytes);
    void handleInvitation(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                          const SessionInvitationPacket& p);
    void handleAccepted(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                        const SessionInvitationPacket& p);
    void handleClockSync(NetworkMIDIChannel channel, const NetworkMIDIAddress& from,
                         const SessionClockSyncPacket& p);
    void handleRTP(const NetworkMIDIAddress& from, std::span<const std::uint8_t> bytes);
    void sendSession(NetworkMIDIChannel channel, const NetworkMIDIAddress& to,
                     const SessionInvitationPacket& p);
    void sendInvitation(PeerRecord& peer);
    void sendClockSync(NetworkMIDIChannel channel, const NetworkMIDIAddress& to, std::uint8_t count,
                       std::array<std::uint64_t, 3> timestamps);
    void sendPacket(PeerRecord& peer, std::span<const MIDIEvent> events);
    void join(PeerRecord& peer);
    // Removes the peer; a joined one releases its notes and leaves with `reason`.
    void removePeer(NetworkMIDIPeerId id, std::optional<NetworkMIDILeaveReason> reason, bool sayBye);
    void failInvitation(NetworkMIDIPeerId id, NetworkMIDIInvitationFailure failure);
    void updateLatency(PeerRecord& peer, std::uint64_t roundTripTicks);
    PeerRecord* findByControl(const NetworkMIDIAddress& from);
    PeerRecord* findBySSRC(std::uint32_t ssrc, const std::string& host);
    PeerRecord* findByToken(std::uint32_t token);
    PeerRecord* find(NetworkMIDIPeerId id);
    void malformed(const NetworkMIDIAddress& from, std::string_view what);
    void onTimer();
    void reschedule();
    std::uint64_t clockTicks(TimePoint t) const;  // 100-microsecond units since the session began
    std::uint32_t randomWord();

    MainQueue& queue_;
    NetworkMIDISessionConfig config_;
    Callbacks callbacks_;
    std::uint32_t ssrc_ = 0;
    std::uint64_t randomState_ = 0;
    bool running_ = false;
    TimePoint epoch_;
    NetworkMIDIPeerId nextPeerId_ = 1;
    // Shared so a record outlives its removal while a callback still reads it.
    std::map<NetworkMIDIPeerId, std::shared_ptr<PeerRecord>> peers_;
    TaskHandle timer_;
    TimePoint timerDue_{};
    std::map<NetworkMIDIAddress, TimePoint> lastLogByAddress_;
    // Scratch space reused for every packet.
    std::vector<std::uint8_t> datagram_;
    std::vector<std::uint8_t> journalBytes_;
    std::vector<RTPMIDITimedEvent> eventScratch_;
    RTPMIDICommandWriter writerScratch_;
};

}  // namespace velorin
