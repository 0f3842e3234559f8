// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace velorin {

// The session exchange that runs beside the RTP stream, on both ports: every
// packet starts with the signature 0xFFFF and a two-letter command.
//   IN/OK/NO/BY  invitation, accepted, refused, bye: version, token, SSRC, [name]
//   CK           clock synchronisation: SSRC, count 0…2, three 64-bit stamps
//   RS           receiver feedback: SSRC, the last RTP sequence number received
enum class SessionCommand : std::uint8_t { invitation, accepted, refused, bye, clockSync, receiverFeedback };

inline constexpr std::uint32_t kSessionProtocolVersion = 2;
// A name longer than this is cut (at a character boundary) when read.
inline constexpr std::size_t kMaxSessionNameBytes = 255;

// IN, OK, NO and BY.
struct SessionInvitationPacket {
    SessionCommand command = SessionCommand::invitation;
    std::uint32_t protocolVersion = kSessionProtocolVersion;
    std::uint32_t initiatorToken = 0;
    std::uint32_t ssrc = 0;
    std::string name;  // empty when absent (BY, often NO)
    friend bool operator==(const SessionInvitationPacket&, const SessionInvitationPacket&) = default;
};

// CK. Stamps are in units of 100 microseconds of the sender's clock: count 0
// carries the initiator's stamp in [0], count 1 adds the responder's in [1],
// count 2 adds the initiator's receive time in [2].
struct SessionClockSyncPacket {
    std::uint32_t ssrc = 0;
    std::uint8_t count = 0;
    std::array<std::uint64_t, 3> timestamps{};
    friend bool operator==(const SessionClockSyncPacket&, const SessionClockSyncPacket&) = default;
};

// RS: everything up to and including `sequenceNumber` has arrived, so the
// sender may drop it from its recovery journal.
struct SessionFeedbackPacket {
    std::uint32_t ssrc = 0;
    std::uint16_t sequenceNumber = 0;
    friend bool operator==(const SessionFeedbackPacket&, const SessionFeedbackPacket&) = default;
};

using SessionPacket = std::variant<SessionInvitationPacket, SessionClockSyncPacket, SessionFeedbackPacket>;

enum class SessionPacketError : std::uint8_t {
    notSessionPacket,  // no 0xFFFF signature: an RTP packet, or noise
    unknownCommand,
    truncated,
    badField,  // e.g. a clock-sync count above 2
};

struct SessionParseResult {
    std::optional<SessionPacket> packet;
    SessionPacketError error = SessionPacketError::notSessionPacket;
};

// True when the datagram starts with the session signature.
bool isSessionPacket(std::span<const std::uint8_t> datagram);
// Reads one datagram. Never reads past it; names are bounded and cut at the first NUL.
SessionParseResult parseSessionPacket(std::span<const std::uint8_t> datagram);
const char* sessionPacketErrorText(SessionPacketError error);

// Writes a packet (replacing `out`'s contents).
void encodeSessionPacket(const SessionPacket& packet, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> encodedSessionPacket(const SessionPacket& packet);

}  // namespace velorin
