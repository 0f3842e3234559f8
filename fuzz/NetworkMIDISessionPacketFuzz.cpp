// SPDX-License-Identifier: GPL-3.0-or-later
// Reads arbitrary bytes as a session packet. Whatever is accepted must write
// back to bytes that read as the same packet, with a bounded name.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "netmidi/SessionPacket.hpp"

using namespace velorin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const SessionParseResult result = parseSessionPacket(bytes);
    if (!result.packet) return 0;
    if (!isSessionPacket(bytes)) std::abort();
    if (const auto* inv = std::get_if<SessionInvitationPacket>(&*result.packet)) {
        if (inv->name.size() > kMaxSessionNameBytes) std::abort();
        for (char c : inv->name) {
            if (c == '\0') std::abort();
        }
    }
    SessionPacket expected = *result.packet;
    // BY is written without a name.
    if (auto* inv = std::get_if<SessionInvitationPacket>(&expected);
        inv && inv->command == SessionCommand::bye) {
        inv->name.clear();
    }
    const auto again = parseSessionPacket(encodedSessionPacket(*result.packet));
    if (!again.packet || !(*again.packet == expected)) std::abort();
    return 0;
}
