// SPDX-License-Identifier: GPL-3.0-or-later
#include "netmidi/SessionPacket.hpp"

#include <algorithm>

namespace velorin {

namespace {

constexpr std::uint8_t kSignature = 0xFF;

struct CommandCode {
    SessionCommand command;
    char first;
    char second;
};
constexpr CommandCode kCommands[] = {
    {SessionCommand::invitation, 'I', 'N'}, {SessionCommand::accepted, 'O', 'K'},
    {SessionCommand::refused, 'N', 'O'},    {SessionCommand::bye, 'B', 'Y'},
    {SessionCommand::clockSync, 'C', 'K'},  {SessionCommand::receiverFeedback, 'R', 'S'},
};

std::uint32_t read32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) |
           std::uint32_t{b[at + 3]};
}
std::uint64_t read64(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint64_t{read32(b, at)} << 32) | read32(b, at + 4);
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v));
}

// The name: up to the first NUL or the end, at most kMaxSessionNameBytes, cut
// back to a UTF-8 character boundary; control characters become spaces.
std::string readName(std::span<const std::uint8_t> bytes) {
    auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    std::size_t length = static_cast<std::size_t>(end - bytes.begin());
    if (length > kMaxSessionNameBytes) {
        length = kMaxSessionNameBytes;
        while (length > 0 && (bytes[length] & 0xC0) == 0x80) --length;
    }
    std::string name(reinterpret_cast<const char*>(bytes.data()), length);
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return name;
}

}  // namespace

bool isSessionPacket(std::span<const std::uint8_t> datagram) {
    return datagram.size() >= 2 && datagram[0] == kSignature && datagram[1] == kSignature;
}

SessionParseResult parseSessionPacket(std::span<const std::uint8_t> d) {
    SessionParseResult result;
    if (!isSessionPacket(d)) return result;
    result.error = SessionPacketError::truncated;
    if (d.size() < 4) return result;
    const auto* code = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const CommandCode& c) {
        return d[2] == static_cast<std::uint8_t>(c.first) && d[3] == static_cast<std::uint8_t>(c.second);
    });
    if (code == std::end(kCommands)) {
        result.error = SessionPacketError::unknownCommand;
        return result;
    }
    switch (code->command) {
        case SessionCommand::clockSync: {
            if (d.size() < 36) return result;
            SessionClockSyncPacket p;
            p.ssrc = read32(d, 4);
            p.count = d[8];
            if (p.count > 2) {
                result.error = SessionPacketError::badField;
                return result;
            }
            for (std::size_t i = 0; i < 3; ++i) p.timestamps[i] = read64(d, 12 + 8 * i);
            result.packet = p;
            return result;
        }
        case SessionCommand::receiverFeedback: {
            if (d.size() < 10) return result;
            SessionFeedbackPacket p;
            p.ssrc = read32(d, 4);
            p.sequenceNumber = static_cast<std::uint16_t>((d[8] << 8) | d[9]);
            result.packet = p;
            return result;
        }
        default: {
            // BY from some peers stops after the SSRC; everything else carries all three words.
            if (d.size() < 16) return result;
            SessionInvitationPacket p;
            p.command = code->command;
            p.protocolVersion = read32(d, 4);
            p.initiatorToken = read32(d, 8);
            p.ssrc = read32(d, 12);
            p.name = readName(d.subspan(16));
            result.packet = std::move(p);
            return result;
        }
    }
}

const char* sessionPacketErrorText(SessionPacketError error) {
    switch (error) {
        case SessionPacketError::notSessionPacket:
            return "not a session packet";
        case SessionPacketError::unknownCommand:
            return "unknown session command";
        case SessionPacketError::truncated:
            return "truncated session packet";
        case SessionPacketError::badField:
            return "invalid field in session packet";
    }
    return "invalid session packet";
}

void encodeSessionPacket(const SessionPacket& packet, std::vector<std::uint8_t>& out) {
    out.clear();
    out.push_back(kSignature);
    out.push_back(kSignature);
    auto putCommand = [&](SessionCommand command) {
        const auto* code = std::find_if(std::begin(kCommands), std::end(kCommands),
                                        [&](const CommandCode& c) { return c.command == command; });
        out.push_back(static_cast<std::uint8_t>(code->first));
        out.push_back(static_cast<std::uint8_t>(code->second));
    };
    if (const auto* inv = std::get_if<SessionInvitationPacket>(&packet)) {
        putCommand(inv->command);
        put32(out, inv->protocolVersion);
        put32(out, inv->initiatorToken);
        put32(out, inv->ssrc);
        if (inv->command != SessionCommand::bye) {
            const std::size_t length = std::min(inv->name.size(), kMaxSessionNameBytes);
            const auto* name = reinterpret_cast<const std::uint8_t*>(inv->name.data());
            out.insert(out.end(), name, name + length);
            out.push_back(0);
        }
    } else if (const auto* ck = std::get_if<SessionClockSyncPacket>(&packet)) {
        putCommand(SessionCommand::clockSync);
        put32(out, ck->ssrc);
        out.push_back(ck->count);
        out.insert(out.end(), 3, 0);
        for (std::uint64_t t : ck->timestamps) put64(out, t);
    } else if (const auto* rs = std::get_if<SessionFeedbackPacket>(&packet)) {
        putCommand(SessionCommand::receiverFeedback);
        put32(out, rs->ssrc);
        put32(out, std::uint32_t{rs->sequenceNumber} << 16);
    }
}

std::vector<std::uint8_t> encodedSessionPacket(const SessionPacket& packet) {
    std::vector<std::uint8_t> out;
    encodeSessionPacket(packet, out);
    return out;
}

}  // namespace velorin
