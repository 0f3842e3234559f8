// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "netmidi/NetworkMIDIAddress.hpp"

namespace velorin {

// One bound UDP socket, watched by the queue of the thread that opened it.
// Datagrams arrive through the handler given at opening, on that thread.
// Closing it (destruction) stops the watch first. That thread only.
class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;
    virtual std::uint16_t localPort() const = 0;
    // Sends one datagram; 0 when the system took it, else the errno (a full
    // buffer is EAGAIN: the datagram is dropped, as the network would).
    virtual int sendTo(std::span<const std::uint8_t> datagram, const NetworkMIDIAddress& to) = 0;
};

// Opens sockets and resolves host names for the network sessions.
class DatagramSocketFactory {
public:
    using ReceiveHandler =
        std::function<void(std::span<const std::uint8_t> datagram, const NetworkMIDIAddress& from)>;
    // A host's numeric addresses, or the reason there are none.
    using Resolution = std::variant<std::vector<NetworkMIDIAddress>, std::string>;

    virtual ~DatagramSocketFactory() = default;
    // A socket bound to `port` on every local address (IPv6 and IPv4 where the
    // system has both; 0: any free port), or the errno of the failure.
    virtual std::variant<std::unique_ptr<DatagramSocket>, int> open(std::uint16_t port,
                                                                    ReceiveHandler onReceive) = 0;
    // Resolves `address.host` without blocking the calling thread; `done`
    // runs later on that thread (never inline) unless the factory is gone.
    virtual void resolve(const NetworkMIDIAddress& address, std::function<void(Resolution)> done) = 0;
};

}  // namespace velorin
