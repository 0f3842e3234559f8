// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/support/FakeControllerDevice.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "usb/channel/PTPropertyList.hpp"

namespace velorin::testing {

FakeControllerDevice::FakeControllerDevice(MainQueue& queue, std::string deviceName, std::string deviceModel,
                                           std::string version)
    : name(std::move(deviceName)),
      model(std::move(deviceModel)),
      systemVersion(std::move(version)),
      queue_(queue) {}

FakeControllerDevice::~FakeControllerDevice() {
    closeAll();
}

std::vector<std::uint8_t> FakeControllerDevice::encodeMIDIPayload(std::uint16_t portIndex,
                                                                  std::uint64_t timestamp,
                                                                  const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> p;
    p.reserve(16 + bytes.size());
    p.push_back(static_cast<std::uint8_t>(portIndex >> 8));
    p.push_back(static_cast<std::uint8_t>(portIndex & 0xFF));
    p.push_back(0);
    p.push_back(0);
    const auto len = static_cast<std::uint32_t>(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        p.push_back(static_cast<std::uint8_t>((len >> shift) & 0xFF));
    for (int shift = 56; shift >= 0; shift -= 8)
        p.push_back(static_cast<std::uint8_t>((timestamp >> shift) & 0xFF));
    p.insert(p.end(), bytes.begin(), bytes.end());
    return p;
}

std::vector<std::uint8_t> FakeControllerDevice::deviceInfoPayload() const {
    PTPlist info = PTPlist::makeDictionary();
    if (behaviour == Behaviour::malformedDeviceInfo) {
        PTPlist array;
        array.kind = PTPlist::Kind::array;
        array.array.push_back(PTPlist::makeString(name));
        const std::string xml = PTPlistToXML(array);
        return {xml.begin(), xml.end()};
    }
    info.set("localizedModel", PTPlist::makeString(model));
    info.set("model", PTPlist::makeString(model));
    if (behaviour != Behaviour::missingNameDeviceInfo) info.set("name", PTPlist::makeString(name));
    info.set("systemVersion", PTPlist::makeString(systemVersion));
    if (binaryDeviceInfo) return PTPlistToBinary(info);
    const std::string xml = PTPlistToXML(info);
    return {xml.begin(), xml.end()};
}

void FakeControllerDevice::send(Connection& connection, std::vector<std::uint8_t> bytes) {
    if (connection.fd < 0 || !connection.writer) return;
    connection.writer->write(std::move(bytes), nullptr);
}

void FakeControllerDevice::acceptConnection(int fd) {
    ++connectionsAccepted_;
    PTMakeNonBlocking(fd);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->writer = std::make_unique<PTSocketWriter>(queue_, fd, 64u * 1024u * 1024u);
    Connection* raw = connection.get();
    connection->watch = queue_.watch(fd, IoEvents::readable, [this, raw](IoEvents) { onReadable(raw); });
    connections_.push_back(std::move(connection));
    switch (behaviour) {
        case Behaviour::silent:
        case Behaviour::rawEcho:
        case Behaviour::refuseConnections:
            return;
        default:
            break;
    }
    send(*raw, PTCreateFrame(100, 0, deviceInfoPayload()));
    if (behaviour == Behaviour::closeAfterDeviceInfo) {
        auto closeSoon = [this, raw] {
            raw->closeSoon = queue_.postAfter({}, [this, raw] { closeConnection(raw); });
        };
        raw->writer->setDrainedHandler(closeSoon);
        if (raw->writer->isEmpty()) closeSoon();
    } else if (behaviour == Behaviour::hugePayload) {
        auto header = PTEncodeFrameHeader(101, 0, 0xFFFFFFFFu);
        std::vector<std::uint8_t> bytes(header.begin(), header.end());
        bytes.resize(bytes.size() + 4096, 0x55);
        send(*raw, std::move(bytes));
    } else if (behaviour == Behaviour::badVersionFrame) {
        auto header = PTEncodeFrameHeader(101, 0, 0);
        header[3] = 2;
        send(*raw, std::vector<std::uint8_t>(header.begin(), header.end()));
    }
}

void FakeControllerDevice::onReadable(Connection* connection) {
    std::array<std::uint8_t, 65536> buffer;
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(connection->fd, buffer.data(), buffer.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeConnection(connection);
            return;
        }
        if (n < 0) return;
        std::span<const std::uint8_t> input(buffer.data(), static_cast<std::size_t>(n));
        if (behaviour == Behaviour::rawEcho) {
            rawReceived.insert(rawReceived.end(), input.begin(), input.end());
            send(*connection, std::vector<std::uint8_t>(input.begin(), input.end()));
            continue;
        }
        for (;;) {
            auto event = connection->reader.next(input);
            if (event.kind == PTFrameReader::EventKind::header) event = connection->reader.decide(true);
            if (event.kind == PTFrameReader::EventKind::needMore) {
                if (input.empty()) break;
                continue;
            }
            if (event.kind == PTFrameReader::EventKind::frame) {
                std::vector<std::uint8_t> copy(event.payload.begin(), event.payload.end());
                handleFrame(*connection, event.type, event.tag, copy);
                if (connection->fd < 0) return;
                continue;
            }
            closeConnection(connection);
            return;
        }
    }
}

void FakeControllerDevice::handleFrame(Connection& connection, std::uint32_t type, std::uint32_t tag,
                                       std::span<const std::uint8_t> payload) {
    if (behaviour == Behaviour::silent) return;
    if (type == 102) {
        pingTags.push_back(tag);
        if (behaviour == Behaviour::noPong) return;
        const std::uint32_t answer = behaviour == Behaviour::wrongTagPong ? tag + 1 : tag;
        send(connection, PTCreateFrame(103, answer, {}));
        return;
    }
    if (type == 101 && payload.size() >= 16) {
        ReceivedMIDI m;
        m.portIndex = static_cast<std::uint16_t>((payload[0] << 8) | payload[1]);
        for (std::size_t i = 8; i < 16; ++i) m.timestamp = (m.timestamp << 8) | payload[i];
        m.bytes.assign(payload.begin() + 16, payload.end());
        if (onMIDI) onMIDI(m);
        receivedMIDI.push_back(std::move(m));
    }
}

void FakeControllerDevice::sendMIDI(std::vector<std::uint8_t> bytes, std::uint16_t portIndex,
                                    std::uint64_t timestamp) {
    sendFrame(101, 0, encodeMIDIPayload(portIndex, timestamp, bytes));
}

void FakeControllerDevice::sendFrame(std::uint32_t type, std::uint32_t tag,
                                     std::vector<std::uint8_t> payload) {
    const auto frame = PTCreateFrame(type, tag, payload);
    for (auto& c : connections_) {
        if (c->fd >= 0) send(*c, frame);
    }
}

void FakeControllerDevice::sendRaw(std::vector<std::uint8_t> bytes) {
    for (auto& c : connections_) {
        if (c->fd >= 0) send(*c, bytes);
    }
}

void FakeControllerDevice::closeConnection(Connection* connection) {
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [connection](const auto& c) { return c.get() == connection; });
    if (it == connections_.end()) return;
    auto owned = std::move(*it);
    connections_.erase(it);
    owned->watch.cancel();
    owned->closeSoon.cancel();
    owned->writer.reset();
    if (owned->fd >= 0) ::close(owned->fd);
    owned->fd = -1;
    // Destroyed later: we may be inside one of its callbacks.
    queue_.post([doomed = std::shared_ptr<Connection>(std::move(owned))] {});
}

void FakeControllerDevice::closeAll() {
    while (!connections_.empty()) closeConnection(connections_.front().get());
}

std::size_t FakeControllerDevice::openConnectionCount() const {
    return connections_.size();
}

}  // namespace velorin::testing
