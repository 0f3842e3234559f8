// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/MainQueue.hpp"
#include "network/DatagramSocket.hpp"

namespace velorin {

// Non-blocking UDP sockets on the queue's thread: one IPv6 socket that takes
// IPv4 too (mapped addresses are shown as plain IPv4), or an IPv4 socket
// where the system has no IPv6. Reading drains at most a bounded number of
// datagrams per wake-up so one busy peer cannot starve the queue; a datagram
// longer than the buffer is dropped whole. Host names are resolved on a
// short-lived thread of their own that posts its answer back (a few at once).
class UDPDatagramSocketFactory final : public DatagramSocketFactory {
public:
    explicit UDPDatagramSocketFactory(MainQueue& queue) : queue_(queue) {}
    ~UDPDatagramSocketFactory() override;
    UDPDatagramSocketFactory(const UDPDatagramSocketFactory&) = delete;
    UDPDatagramSocketFactory& operator=(const UDPDatagramSocketFactory&) = delete;

    std::variant<std::unique_ptr<DatagramSocket>, int> open(std::uint16_t port,
                                                            ReceiveHandler onReceive) override;
    void resolve(const NetworkMIDIAddress& address, std::function<void(Resolution)> done) override;

    // The numeric form of a host, when it is one (no lookup): for tests.
    static std::optional<NetworkMIDIAddress> numeric(const NetworkMIDIAddress& address);

private:
    MainQueue& queue_;
    std::shared_ptr<UDPDatagramSocketFactory*> lifetime_ = std::make_shared<UDPDatagramSocketFactory*>(this);
    // Lookups at once; more are answered "busy" (each holds a thread).
    static constexpr std::size_t kMaxLookups = 4;
    struct Lookup {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::mutex resolversMutex_;
    std::vector<Lookup> resolvers_;
};

}  // namespace velorin
