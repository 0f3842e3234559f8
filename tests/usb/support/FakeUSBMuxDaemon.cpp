// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/support/FakeUSBMuxDaemon.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "usb/channel/PTSocketWriter.hpp"

namespace velorin::testing {

FakeUSBMuxDaemon::FakeUSBMuxDaemon(MainQueue& queue, std::string socketPath)
    : queue_(queue), socketPath_(std::move(socketPath)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    ::unlink(socketPath_.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return;
    }
    listenFD_ = fd;
    acceptWatch_ = queue_.watch(fd, IoEvents::readable, [this](IoEvents) { onAccept(); });
}

FakeUSBMuxDaemon::~FakeUSBMuxDaemon() {
    acceptWatch_.cancel();
    dropClients();
    if (listenFD_ >= 0) {
        ::close(listenFD_);
        ::unlink(socketPath_.c_str());
    }
}

std::size_t FakeUSBMuxDaemon::listenerCount() const {
    return static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return c->listening; }));
}

void FakeUSBMuxDaemon::onAccept() {
    for (;;) {
        const int fd = ::accept4(listenFD_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        auto client = std::make_unique<Client>();
        client->fd = fd;
        Client* raw = client.get();
        client->watch =
            queue_.watch(fd, IoEvents::readable, [this, raw](IoEvents) { onClientReadable(raw); });
        clients_.push_back(std::move(client));
    }
}

void FakeUSBMuxDaemon::onClientReadable(Client* client) {
    std::array<std::uint8_t, 4096> buffer;
    for (;;) {
        // Exactly up to the end of the current packet: after a "Connect" the
        // socket belongs to the device.
        const std::size_t want = std::min(client->reader.wanted(), buffer.size());
        const ssize_t n = ::recv(client->fd, buffer.data(), want, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            removeClient(client, true);
            return;
        }
        if (n < 0) return;
        std::span<const std::uint8_t> input(buffer.data(), static_cast<std::size_t>(n));
        const auto status = client->reader.feed(input);
        if (status == PTUSBPacketReader::Status::fatal) {
            removeClient(client, true);
            return;
        }
        if (status == PTUSBPacketReader::Status::packet) {
            const auto packet = client->reader.packet();
            if (!packet.dictionary) continue;
            requests.push_back(*packet.dictionary);
            handleRequest(client, packet.tag, *packet.dictionary);
            // The client may have become a tunnel (or gone): stop here.
            if (std::none_of(clients_.begin(), clients_.end(),
                             [client](const auto& c) { return c.get() == client; })) {
                return;
            }
        }
    }
}

void FakeUSBMuxDaemon::sendPacket(Client& client, std::uint32_t tag, const PTPlist& dictionary) {
    const std::string xml = PTPlistToXML(dictionary);
    const auto packet =
        PTUSBEncodePacket(tag, std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    std::size_t offset = 0;
    while (offset < packet.size()) {
        const ssize_t n = ::send(client.fd, packet.data() + offset, packet.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{client.fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return;
        } else {
            return;
        }
    }
}

namespace {
PTPlist resultMessage(std::int64_t number) {
    PTPlist reply = PTPlist::makeDictionary();
    reply.set("MessageType", PTPlist::makeString("Result"));
    reply.set("Number", PTPlist::makeInteger(number));
    return reply;
}
}  // namespace

PTPlist FakeUSBMuxDaemon::attachedMessage(std::uint32_t deviceID, const Device& device) const {
    PTPlist message = PTPlist::makeDictionary();
    message.set("MessageType", PTPlist::makeString("Attached"));
    message.set("DeviceID", PTPlist::makeInteger(deviceID));
    message.set("Properties", device.properties);
    return message;
}

void FakeUSBMuxDaemon::handleRequest(Client* client, std::uint32_t tag, const PTPlist& request) {
    const PTPlist* typeNode = request.find("MessageType");
    const std::string type = typeNode && typeNode->stringValue() ? *typeNode->stringValue() : "";
    if (type == "Listen") {
        client->listening = true;
        sendPacket(*client, tag, resultMessage(0));
        for (const auto& [id, device] : devices_) sendPacket(*client, 0, attachedMessage(id, device));
        return;
    }
    if (type == "ListDevices") {
        PTPlist reply = PTPlist::makeDictionary();
        PTPlist list;
        list.kind = PTPlist::Kind::array;
        for (const auto& [id, device] : devices_) list.array.push_back(attachedMessage(id, device));
        reply.set("DeviceList", std::move(list));
        sendPacket(*client, tag, reply);
        return;
    }
    if (type == "ReadBUID") {
        PTPlist reply = PTPlist::makeDictionary();
        reply.set("BUID", PTPlist::makeString("00000000-0000-0000-0000-000000000000"));
        sendPacket(*client, tag, reply);
        return;
    }
    if (type == "Connect") {
        const PTPlist* idNode = request.find("DeviceID");
        const auto id = idNode && idNode->integerValue() ? *idNode->integerValue() : -1;
        auto it = id >= 0 ? devices_.find(static_cast<std::uint32_t>(id)) : devices_.end();
        std::int64_t result = 0;
        if (connectResultOverride)
            result = *connectResultOverride;
        else if (it == devices_.end())
            result = 2;
        else if (it->second.app->behaviour == FakeControllerDevice::Behaviour::refuseConnections)
            result = 3;
        sendPacket(*client, tag, resultMessage(result));
        if (result != 0 || it == devices_.end()) return;
        // The connection is now the tunnel: hand the socket to the device's app.
        const int fd = client->fd;
        removeClient(client, false);
        it->second.app->acceptConnection(fd);
        return;
    }
    sendPacket(*client, tag, resultMessage(1));
}

void FakeUSBMuxDaemon::removeClient(Client* client, bool closeFD) {
    auto it =
        std::find_if(clients_.begin(), clients_.end(), [client](const auto& c) { return c.get() == client; });
    if (it == clients_.end()) return;
    auto owned = std::move(*it);
    clients_.erase(it);
    owned->watch.cancel();
    if (closeFD && owned->fd >= 0) ::close(owned->fd);
    queue_.post([doomed = std::shared_ptr<Client>(std::move(owned))] {});
}

void FakeUSBMuxDaemon::attach(std::uint32_t deviceID, FakeControllerDevice* device,
                              std::string serialNumber) {
    Device d;
    d.app = device;
    d.properties = PTPlist::makeDictionary();
    d.properties.set("ConnectionType", PTPlist::makeString("USB"));
    d.properties.set("DeviceID", PTPlist::makeInteger(deviceID));
    d.properties.set("LocationID", PTPlist::makeInteger(0));
    d.properties.set("ProductID", PTPlist::makeInteger(0x12AB));
    d.properties.set(
        "SerialNumber",
        PTPlist::makeString(serialNumber.empty() ? "00008030-00" + std::to_string(deviceID) : serialNumber));
    devices_[deviceID] = d;
    const PTPlist message = attachedMessage(deviceID, d);
    for (auto& c : clients_) {
        if (c->listening) sendPacket(*c, 0, message);
    }
}

void FakeUSBMuxDaemon::detach(std::uint32_t deviceID) {
    auto it = devices_.find(deviceID);
    if (it == devices_.end()) return;
    FakeControllerDevice* app = it->second.app;
    devices_.erase(it);
    PTPlist message = PTPlist::makeDictionary();
    message.set("MessageType", PTPlist::makeString("Detached"));
    message.set("DeviceID", PTPlist::makeInteger(deviceID));
    for (auto& c : clients_) {
        if (c->listening) sendPacket(*c, 0, message);
    }
    if (app) app->closeAll();
}

void FakeUSBMuxDaemon::dropClients() {
    while (!clients_.empty()) removeClient(clients_.front().get(), true);
}

void FakeUSBMuxDaemon::restart() {
    dropClients();
    for (auto& [id, device] : devices_) {
        if (device.app) device.app->closeAll();
    }
}

void FakeUSBMuxDaemon::forget(std::uint32_t deviceID) {
    auto it = devices_.find(deviceID);
    if (it == devices_.end()) return;
    if (it->second.app) it->second.app->closeAll();
    devices_.erase(it);
}

void FakeUSBMuxDaemon::renumber(std::uint32_t deviceID, std::uint32_t newID) {
    auto it = devices_.find(deviceID);
    if (it == devices_.end() || devices_.count(newID)) return;
    Device device = it->second;
    devices_.erase(it);
    device.properties.set("DeviceID", PTPlist::makeInteger(newID));
    devices_[newID] = device;
}

void FakeUSBMuxDaemon::sendRawToListeners(const std::vector<std::uint8_t>& bytes) {
    for (auto& c : clients_) {
        if (!c->listening) continue;
        [[maybe_unused]] auto n = ::send(c->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
}

}  // namespace velorin::testing
