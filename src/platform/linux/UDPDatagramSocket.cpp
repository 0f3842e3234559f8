// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/UDPDatagramSocket.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace velorin {
namespace {

constexpr std::size_t kMaxDatagram = 65536;
constexpr int kMaxReadsPerWakeUp = 64;

NetworkMIDIAddress addressOf(const sockaddr_storage& storage) {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
    if (storage.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        return {text, ntohs(in.sin_port)};
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        in_addr v4{};
        std::memcpy(&v4, in6.sin6_addr.s6_addr + 12, 4);
        inet_ntop(AF_INET, &v4, text, sizeof text);
        return {text, ntohs(in6.sin6_port)};
    }
    inet_ntop(AF_INET6, &in6.sin6_addr, text, INET6_ADDRSTRLEN);
    std::string host = text;
    if (in6.sin6_scope_id != 0) {
        char name[IF_NAMESIZE] = {};
        if (if_indextoname(in6.sin6_scope_id, name) != nullptr) host += std::string("%") + name;
    }
    return {host, ntohs(in6.sin6_port)};
}

// The socket address for `address` on a socket of `family`; false when the
// host is not numeric or cannot be reached from that family.
bool socketAddress(const NetworkMIDIAddress& address, int family, sockaddr_storage& out, socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    in_addr v4{};
    const bool isV4 = inet_pton(AF_INET, address.host.c_str(), &v4) == 1;
    if (family == AF_INET) {
        if (!isV4) return false;
        auto& in = reinterpret_cast<sockaddr_in&>(out);
        in.sin_family = AF_INET;
        in.sin_port = htons(address.port);
        in.sin_addr = v4;
        length = sizeof(sockaddr_in);
        return true;
    }
    auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(address.port);
    length = sizeof(sockaddr_in6);
    if (isV4) {
        in6.sin6_addr.s6_addr[10] = 0xff;
        in6.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(in6.sin6_addr.s6_addr + 12, &v4, 4);
        return true;
    }
    std::string host = address.host;
    if (const auto percent = host.find('%'); percent != std::string::npos) {
        in6.sin6_scope_id = if_nametoindex(host.substr(percent + 1).c_str());
        host.resize(percent);
    }
    return inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) == 1;
}

class UDPDatagramSocket final : public DatagramSocket {
public:
    UDPDatagramSocket(int fd, int family, std::uint16_t port) : fd_(fd), family_(family), port_(port) {}
    ~UDPDatagramSocket() override {
        watch_.cancel();
        ::close(fd_);
    }
    UDPDatagramSocket(const UDPDatagramSocket&) = delete;
    UDPDatagramSocket& operator=(const UDPDatagramSocket&) = delete;

    void startReading(MainQueue& queue, DatagramSocketFactory::ReceiveHandler onReceive) {
        onReceive_ = std::move(onReceive);
        buffer_.resize(kMaxDatagram);
        watch_ = queue.watch(fd_, IoEvents::readable, [this](IoEvents) { readAvailable(); });
    }

    std::uint16_t localPort() const override { return port_; }

    int sendTo(std::span<const std::uint8_t> datagram, const NetworkMIDIAddress& to) override {
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (!socketAddress(to, family_, storage, length)) return EAFNOSUPPORT;
        const ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&storage), length);
        return sent < 0 ? errno : 0;
    }

private:
    void readAvailable() {
        for (int i = 0; i < kMaxReadsPerWakeUp; ++i) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) return;  // EAGAIN: drained; anything else: the next wake-up tries again
            if (static_cast<std::size_t>(n) > buffer_.size()) continue;
            // The handler may close this socket (a session stopping): nothing is touched after it.
            onReceive_(std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n)),
                       addressOf(from));
        }
    }

    int fd_;
    int family_;
    std::uint16_t port_;
    DatagramSocketFactory::ReceiveHandler onReceive_;
    std::vector<std::uint8_t> buffer_;
    TaskHandle watch_;
};

int openBound(int family, std::uint16_t port, int& fd, std::uint16_t& boundPort) {
    fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        const int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_any;
        in6.sin6_port = htons(port);
        length = sizeof in6;
    } else {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_ANY);
        in.sin_port = htons(port);
        length = sizeof in;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        const int error = errno;
        ::close(fd);
        fd = -1;
        return error;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    boundPort = addressOf(bound).port;
    return 0;
}

}  // namespace

UDPDatagramSocketFactory::~UDPDatagramSocketFactory() {
    lifetime_.reset();
    std::lock_guard lock(resolversMutex_);
    for (auto& lookup : resolvers_) lookup.thread.join();
}

std::variant<std::unique_ptr<DatagramSocket>, int> UDPDatagramSocketFactory::open(std::uint16_t port,
                                                                                  ReceiveHandler onReceive) {
    int fd = -1;
    std::uint16_t boundPort = 0;
    int family = AF_INET6;
    int error = openBound(AF_INET6, port, fd, boundPort);
    if (error == EAFNOSUPPORT || error == EADDRNOTAVAIL) {
        family = AF_INET;
        error = openBound(AF_INET, port, fd, boundPort);
    }
    if (error != 0) return error;
    auto socket = std::make_unique<UDPDatagramSocket>(fd, family, boundPort);
    socket->startReading(queue_, std::move(onReceive));
    return std::unique_ptr<DatagramSocket>(std::move(socket));
}

std::optional<NetworkMIDIAddress> UDPDatagramSocketFactory::numeric(const NetworkMIDIAddress& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (!socketAddress(address, AF_INET6, storage, length)) return std::nullopt;
    return addressOf(storage);
}

void UDPDatagramSocketFactory::resolve(const NetworkMIDIAddress& address,
                                       std::function<void(Resolution)> done) {
    if (auto literal = numeric(address)) {
        queue_.post(
            [done = std::move(done), found = *literal] { done(std::vector<NetworkMIDIAddress>{found}); });
        return;
    }
    std::weak_ptr<UDPDatagramSocketFactory*> weak = lifetime_;
    MainQueue* queue = &queue_;
    std::lock_guard lock(resolversMutex_);
    // Finished lookups give their threads back first.
    std::erase_if(resolvers_, [](Lookup& lookup) {
        if (!lookup.finished->load()) return false;
        lookup.thread.join();
        return true;
    });
    if (resolvers_.size() >= kMaxLookups) {
        queue_.post([done = std::move(done)] { done(std::string("too many lookups at once; try again")); });
        return;
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([weak, queue, address, finished, done = std::move(done)]() mutable {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* list = nullptr;
        Resolution result;
        const int status = getaddrinfo(address.host.c_str(), nullptr, &hints, &list);
        if (status != 0) {
            result = std::string(gai_strerror(status));
        } else {
            std::vector<NetworkMIDIAddress> found;
            for (addrinfo* entry = list; entry != nullptr && found.size() < 8; entry = entry->ai_next) {
                sockaddr_storage storage{};
                std::memcpy(&storage, entry->ai_addr,
                            std::min<std::size_t>(entry->ai_addrlen, sizeof storage));
                NetworkMIDIAddress one = addressOf(storage);
                one.port = address.port;
                found.push_back(std::move(one));
            }
            freeaddrinfo(list);
            result = std::move(found);
        }
        if (!weak.expired()) {
            queue->post([weak, done = std::move(done), result = std::move(result)]() mutable {
                if (!weak.expired()) done(std::move(result));
            });
        }
        finished->store(true);
    });
    resolvers_.push_back({std::move(thread), std::move(finished)});
}

}  // namespace velorin
