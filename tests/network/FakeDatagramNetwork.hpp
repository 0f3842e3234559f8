// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <map>
#include <memory>
#include <set>

#include "core/MainQueue.hpp"
#include "core/SettingsStore.hpp"
#include "network/DatagramSocket.hpp"

namespace velorin::test {

// Datagram sockets inside one process: ports of one host ("127.0.0.1"
// unless a factory is made with another), delivered through the queue like
// a network would, never inline. Ports in `taken` cannot be opened.
class FakeDatagramNetwork {
public:
    explicit FakeDatagramNetwork(MainQueue& queue) : queue_(queue) {}

    class Factory;
    std::set<std::uint16_t> taken;

    class Socket final : public DatagramSocket {
    public:
        Socket(FakeDatagramNetwork& network, NetworkMIDIAddress address,
               DatagramSocketFactory::ReceiveHandler handler)
            : network_(network), address_(std::move(address)), handler_(std::move(handler)) {
            network_.sockets_[address_] = this;
        }
        ~Socket() override { network_.sockets_.erase(address_); }
        Socket(const Socket&) = delete;
        Socket& operator=(const Socket&) = delete;
        std::uint16_t localPort() const override { return address_.port; }
        int sendTo(std::span<const std::uint8_t> datagram, const NetworkMIDIAddress& to) override {
            ++network_.sent;
            network_.queue_.post([&network = network_, bytes = ByteArray(datagram.begin(), datagram.end()),
                                  to, from = address_] {
                const auto it = network.sockets_.find(to);
                if (it != network.sockets_.end()) it->second->handler_(bytes, from);
            });
            return 0;
        }

    private:
        FakeDatagramNetwork& network_;
        NetworkMIDIAddress address_;
        DatagramSocketFactory::ReceiveHandler handler_;
    };

    class Factory final : public DatagramSocketFactory {
    public:
        Factory(FakeDatagramNetwork& network, std::string host) : network_(network), host_(std::move(host)) {}
        std::variant<std::unique_ptr<DatagramSocket>, int> open(std::uint16_t port,
                                                                ReceiveHandler onReceive) override {
            const NetworkMIDIAddress address{host_, port};
            if (network_.taken.count(port) > 0 || network_.sockets_.count(address) > 0) return EADDRINUSE;
            return std::unique_ptr<DatagramSocket>(
                std::make_unique<Socket>(network_, address, std::move(onReceive)));
        }
        void resolve(const NetworkMIDIAddress& address, std::function<void(Resolution)> done) override {
            network_.queue_.post([address, done = std::move(done)] {
                if (address.host == "nowhere.invalid") {
                    done(std::string("Name or service not known"));
                } else {
                    done(std::vector<NetworkMIDIAddress>{
                        {address.host == "localhost" ? "127.0.0.1" : address.host, address.port}});
                }
            });
        }

    private:
        FakeDatagramNetwork& network_;
        std::string host_;
    };

    std::size_t sent = 0;

private:
    MainQueue& queue_;
    std::map<NetworkMIDIAddress, Socket*> sockets_;
};

}  // namespace velorin::test
