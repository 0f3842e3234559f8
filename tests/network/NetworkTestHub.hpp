// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"
#include "network/NetworkMIDIService.hpp"

namespace velorin::test {

using namespace std::chrono_literals;

// Discovery that lists what a test shows it.
class FakeDiscovery final : public NetworkMIDIDiscovery {
public:
    void publish(const std::string& name, std::uint16_t port) override { published = {name, port}; }
    void unpublish() override { published.reset(); }
    bool isAvailable() const override { return true; }
    std::vector<DiscoveredNetworkSession> sessions() const override { return found; }
    void show(std::vector<DiscoveredNetworkSession> sessions) {
        found = std::move(sessions);
        if (onSessionsChanged) onSessionsChanged();
    }
    std::optional<std::pair<std::string, std::uint16_t>> published;
    std::vector<DiscoveredNetworkSession> found;
};

// One hub's network session with its own settings, log and endpoints, on
// the given sockets; what it receives is kept.
struct Hub {
    Hub(MainQueue& queue, DatagramSocketFactory& socketFactory, const std::string& name, std::uint16_t port,
        NetworkMIDISessionConfig config = quickInvitations())
        : log(LogStore::create(queue, store)), sockets(socketFactory) {
        store.set(NetworkMIDISettings::kEnabledKey, true);
        store.set(NetworkMIDISettings::kSessionNameKey, name);
        store.set(NetworkMIDISettings::kControlPortKey, std::int64_t{port});
        settings = std::make_unique<NetworkMIDISettings>(store, "unused");
        service = std::make_unique<NetworkMIDIService>(
            NetworkMIDIService::Dependencies{.queue = queue,
                                             .log = *log,
                                             .settings = *settings,
                                             .sockets = sockets,
                                             .discovery = &discovery,
                                             .sessionConfig = config},
            NetworkMIDIService::Sink{
                .endpointsChanged = [this](MIDITransportRegistrations r) { endpoints = std::move(r); },
                .midiReceived =
                    [this](std::string_view key, std::string_view, std::span<const std::uint8_t> bytes) {
                        received.emplace_back(std::string(key), ByteArray(bytes.begin(), bytes.end()));
                    }});
    }

    static NetworkMIDISessionConfig quickInvitations() {
        NetworkMIDISessionConfig config;
        config.invitationInterval = 100ms;
        config.invitationAttempts = 3;
        return config;
    }

    std::vector<std::string> inputKeys() const {
        std::vector<std::string> keys;
        for (const auto& input : endpoints.inputs) keys.push_back(input.presentation.id);
        return keys;
    }
    bool logged(std::string_view part) const {
        log->flush();
        return std::any_of(log->entries().begin(), log->entries().end(), [&](const LogEntry& entry) {
            const auto* message = std::get_if<LogEntry::Message>(&entry.kind);
            return message != nullptr && message->text.find(part) != std::string::npos;
        });
    }

    MemorySettingsStore store;
    std::shared_ptr<LogStore> log;
    DatagramSocketFactory& sockets;
    FakeDiscovery discovery;
    std::unique_ptr<NetworkMIDISettings> settings;
    std::unique_ptr<NetworkMIDIService> service;
    MIDITransportRegistrations endpoints;
    std::vector<std::pair<std::string, ByteArray>> received;
};

}  // namespace velorin::test
