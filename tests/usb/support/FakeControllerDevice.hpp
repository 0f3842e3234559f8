// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/MainQueue.hpp"
#include "usb/channel/PTProtocol.hpp"
#include "usb/channel/PTSocketWriter.hpp"

namespace velorin::testing {

// The controller app on a device, speaking the framed channel over a real
// socket: it sends its device info first, answers pings with pongs carrying
// the ping's tag and exchanges MIDI frames. It misbehaves on demand.
class FakeControllerDevice {
public:
    enum class Behaviour {
        normal,
        silent,                 // sends nothing at all, never answers
        noPong,                 // device info, but pings go unanswered
        wrongTagPong,           // pongs carry the ping's tag + 1
        malformedDeviceInfo,    // device info whose root is an array
        missingNameDeviceInfo,  // device info without "name"
        closeAfterDeviceInfo,   // closes right after the device info
        hugePayload,            // after the device info, a frame declaring a 4 GiB payload
        badVersionFrame,        // after the device info, a header with version 2
        refuseConnections,      // the app is not listening: the daemon answers "connection refused"
        rawEcho,                // no framing: echoes every byte (for the real client tools)
    };
    struct ReceivedMIDI {
        std::uint16_t portIndex = 0;
        std::uint64_t timestamp = 0;
        std::vector<std::uint8_t> bytes;
    };

    FakeControllerDevice(MainQueue& queue, std::string name, std::string model = "iPad",
                         std::string systemVersion = "17.4");
    ~FakeControllerDevice();
    FakeControllerDevice(const FakeControllerDevice&) = delete;
    FakeControllerDevice& operator=(const FakeControllerDevice&) = delete;

    // The daemon hands over the tunnel's socket; the device owns it from now on.
    void acceptConnection(int fd);
    // MIDI to every open connection (only those past the device info).
    void sendMIDI(std::vector<std::uint8_t> bytes, std::uint16_t portIndex = 0, std::uint64_t timestamp = 0);
    void sendFrame(std::uint32_t type, std::uint32_t tag, std::vector<std::uint8_t> payload);
    void sendRaw(std::vector<std::uint8_t> bytes);
    void closeAll();

    std::size_t openConnectionCount() const;
    std::size_t connectionsAccepted() const { return connectionsAccepted_; }

    Behaviour behaviour = Behaviour::normal;
    bool binaryDeviceInfo = false;
    std::string name;
    std::string model;
    std::string systemVersion;
    std::vector<ReceivedMIDI> receivedMIDI;
    std::vector<std::uint32_t> pingTags;
    std::vector<std::uint8_t> rawReceived;
    std::function<void(const ReceivedMIDI&)> onMIDI;

    // The frame encoders, written independently of the server's.
    static std::vector<std::uint8_t> encodeMIDIPayload(std::uint16_t portIndex, std::uint64_t timestamp,
                                                       const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> deviceInfoPayload() const;

private:
    struct Connection {
        int fd = -1;
        PTFrameReader reader;
        std::unique_ptr<PTSocketWriter> writer;
        TaskHandle watch;
        TaskHandle closeSoon;  // closeAfterDeviceInfo: the close, on the turn after the info is written
    };
    void onReadable(Connection* connection);
    void handleFrame(Connection& connection, std::uint32_t type, std::uint32_t tag,
                     std::span<const std::uint8_t> payload);
    void closeConnection(Connection* connection);
    void send(Connection& connection, std::vector<std::uint8_t> bytes);

    MainQueue& queue_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::size_t connectionsAccepted_ = 0;
};

}  // namespace velorin::testing
