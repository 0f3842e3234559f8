// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/MainQueue.hpp"
#include "usb/channel/PTPropertyList.hpp"
#include "usb/channel/PTUSBHub.hpp"
#include "usb/support/FakeControllerDevice.hpp"

namespace velorin::testing {

// A usbmuxd stand-in on a real Unix socket: "Listen" (Attached/Detached
// broadcasts on tag 0), "ListDevices" and "Connect" (after a successful reply
// the connection becomes the tunnel and is handed to the device's app).
class FakeUSBMuxDaemon {
public:
    FakeUSBMuxDaemon(MainQueue& queue, std::string socketPath);
    ~FakeUSBMuxDaemon();
    FakeUSBMuxDaemon(const FakeUSBMuxDaemon&) = delete;
    FakeUSBMuxDaemon& operator=(const FakeUSBMuxDaemon&) = delete;

    bool isListening() const { return listenFD_ >= 0; }
    const std::string& socketPath() const { return socketPath_; }

    // Plugs a device in (broadcast "Attached" to every listener).
    void attach(std::uint32_t deviceID, FakeControllerDevice* device, std::string serialNumber = {});
    // Unplugs it: broadcast "Detached" and end its tunnels.
    void detach(std::uint32_t deviceID);
    // Ends every client connection (as a daemon restart would).
    void dropClients();
    // A restart: every client connection and every device tunnel ends.
    void restart();
    // Forgets a device without telling anyone (it went away while the daemon
    // was down, so its "Detached" is never sent).
    void forget(std::uint32_t deviceID);
    // Gives a device a new number without telling anyone (a restarted daemon
    // numbers its devices afresh); its serial number stays.
    void renumber(std::uint32_t deviceID, std::uint32_t newID);
    // Writes raw bytes to every listening connection.
    void sendRawToListeners(const std::vector<std::uint8_t>& bytes);

    // When set, every "Connect" is answered with this result number.
    std::optional<std::int64_t> connectResultOverride;
    // Every request received, in order.
    std::vector<PTPlist> requests;
    std::size_t clientCount() const { return clients_.size(); }
    std::size_t listenerCount() const;

private:
    struct Device {
        FakeControllerDevice* app = nullptr;
        PTPlist properties;
    };
    struct Client {
        int fd = -1;
        PTUSBPacketReader reader;
        TaskHandle watch;
        bool listening = false;
    };
    void onAccept();
    void onClientReadable(Client* client);
    void handleRequest(Client* client, std::uint32_t tag, const PTPlist& request);
    void sendPacket(Client& client, std::uint32_t tag, const PTPlist& dictionary);
    void removeClient(Client* client, bool closeFD);
    PTPlist attachedMessage(std::uint32_t deviceID, const Device& device) const;

    MainQueue& queue_;
    std::string socketPath_;
    int listenFD_ = -1;
    TaskHandle acceptWatch_;
    std::map<std::uint32_t, Device> devices_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace velorin::testing
