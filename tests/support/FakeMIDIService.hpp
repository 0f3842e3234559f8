// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/MIDIService.hpp"

namespace velorin::test {

// An in-memory MIDI service for unit tests. External endpoints are added by the
// test; the app's virtual endpoints appear in the source and destination lists
// as the system would list them. Any operation can be made to fail with a
// chosen status; callbacks run when the test delivers data or notifications.
class FakeMIDIService final : public MIDIService {
public:
    enum class Op {
        createClient,
        createInputPort,
        createOutputPort,
        connectSource,
        createVirtualSource,
        createVirtualDestination,
        setUniqueID,
        send,
        publish,
        disposeEndpoint,
        disposePort,
        disposeClient,
    };

    struct Endpoint {
        MIDIObjectRef ref = 0;
        std::optional<std::int32_t> uniqueID;  // absent: reading it fails
        std::optional<std::string> name;       // absent: reading it fails
        bool isSource = true;
        bool isOwn = false;
    };
    struct Sent {
        MIDIObjectRef destination = 0;  // or the virtual source published from
        std::vector<std::uint8_t> bytes;
        bool published = false;
        friend bool operator==(const Sent&, const Sent&) = default;
    };

    // --- test controls -----------------------------------------------------------------
    MIDIObjectRef addSource(std::string name, std::optional<std::int32_t> uniqueID) {
        return add(std::move(name), uniqueID, true);
    }
    MIDIObjectRef addDestination(std::string name, std::optional<std::int32_t> uniqueID) {
        return add(std::move(name), uniqueID, false);
    }
    void remove(MIDIObjectRef ref) { endpoints.erase(ref); }
    // Makes `op` fail with `status` (for every later call, until cleared).
    void fail(Op op, MIDIStatus status) { failures[op] = status; }
    void clearFailure(Op op) { failures.erase(op); }
    // Makes disposing one endpoint fail.
    void failDispose(MIDIObjectRef ref, MIDIStatus status) { disposeFailures[ref] = status; }

    // Packets from a connected source reach the input port with its context.
    bool deliverFromSource(MIDIObjectRef source, MIDIPacketList packets) {
        const auto it = connections.find(source);
        if (it == connections.end() || !inputReceive) return false;
        inputReceive(std::move(packets), it->second);
        return true;
    }
    bool deliverToVirtualDestination(MIDIObjectRef destination, MIDIPacketList packets) {
        const auto it = virtualReceivers.find(destination);
        if (it == virtualReceivers.end()) return false;
        it->second(std::move(packets), 0);
        return true;
    }
    void notify(std::int32_t messageID) {
        if (notifyCallback) notifyCallback(messageID);
    }
    std::vector<std::string> ownEndpointNames() const {
        std::vector<std::string> names;
        for (const auto& [ref, e] : endpoints) {
            if (e.isOwn) names.push_back((e.isSource ? "source " : "destination ") + e.name.value_or(""));
        }
        return names;
    }

    // The reference the next created object gets.
    MIDIObjectRef peekNextRef() const { return nextRef_; }

    // --- MIDIService --------------------------------------------------------------------
    MIDIRefResult createClient(std::string_view name, NotifyCallback notify) override {
        if (auto s = failure(Op::createClient)) return {*s, 0};
        clientName = std::string(name);
        notifyCallback = std::move(notify);
        client = next();
        return {0, client};
    }
    MIDIRefResult createInputPort(MIDIObjectRef, std::string_view, ReceiveCallback receive) override {
        if (auto s = failure(Op::createInputPort)) return {*s, 0};
        inputReceive = std::move(receive);
        inputPort = next();
        return {0, inputPort};
    }
    MIDIRefResult createOutputPort(MIDIObjectRef, std::string_view) override {
        if (auto s = failure(Op::createOutputPort)) return {*s, 0};
        outputPort = next();
        return {0, outputPort};
    }
    MIDIStatus connectSource(MIDIObjectRef, MIDIObjectRef source, MIDIObjectRef context) override {
        if (auto s = failure(Op::connectSource)) return *s;
        if (!endpoints.contains(source)) return -ENOENT;
        connections[source] = context;
        ++connectCount;
        return 0;
    }
    MIDIStatus disconnectSource(MIDIObjectRef, MIDIObjectRef source) override {
        ++disconnectCount;
        return connections.erase(source) == 1 ? 0 : -ENOENT;
    }
    std::size_t sourceCount() override { return snapshot(true); }
    MIDIObjectRef source(std::size_t index) override { return index < scanned.size() ? scanned[index] : 0; }
    std::size_t destinationCount() override { return snapshot(false); }
    MIDIObjectRef destination(std::size_t index) override {
        return index < scanned.size() ? scanned[index] : 0;
    }
    MIDIStatus uniqueID(MIDIObjectRef ref, std::int32_t& id) const override {
        const auto it = endpoints.find(ref);
        if (it == endpoints.end() || !it->second.uniqueID) return -ENOENT;
        id = *it->second.uniqueID;
        return 0;
    }
    MIDIStatus displayName(MIDIObjectRef ref, std::string& name) const override {
        const auto it = endpoints.find(ref);
        if (it == endpoints.end() || !it->second.name) return -ENOENT;
        name = *it->second.name;
        return 0;
    }
    MIDIStatus setUniqueID(MIDIObjectRef ref, std::int32_t id) override {
        if (auto s = failure(Op::setUniqueID)) return *s;
        endpoints[ref].uniqueID = id;
        return 0;
    }
    MIDIRefResult createVirtualSource(MIDIObjectRef, std::string_view name, std::int32_t) override {
        if (auto s = failureNamed(name)) return {*s, 0};
        if (auto s = failure(Op::createVirtualSource))
            return {*s, leaveRefOnFailure ? addOwn(name, true) : 0};
        return {0, addOwn(name, true)};
    }
    MIDIRefResult createVirtualDestination(MIDIObjectRef, std::string_view name, std::int32_t,
                                           ReceiveCallback receive) override {
        if (auto s = failureNamed(name)) return {*s, 0};
        if (auto s = failure(Op::createVirtualDestination)) {
            return {*s, leaveRefOnFailure ? addOwn(name, false) : 0};
        }
        const MIDIObjectRef ref = addOwn(name, false);
        virtualReceivers[ref] = std::move(receive);
        return {0, ref};
    }
    MIDIStatus send(MIDIObjectRef, MIDIObjectRef destination, std::span<const std::uint8_t> bytes) override {
        if (auto s = failure(Op::send)) return *s;
        sent.push_back({destination, {bytes.begin(), bytes.end()}, false});
        return 0;
    }
    MIDIStatus publish(MIDIObjectRef source, std::span<const std::uint8_t> bytes) override {
        if (auto s = failure(Op::publish)) return *s;
        sent.push_back({source, {bytes.begin(), bytes.end()}, true});
        return 0;
    }
    MIDIStatus disposeEndpoint(MIDIObjectRef ref) override {
        if (auto s = failure(Op::disposeEndpoint)) return *s;
        if (const auto it = disposeFailures.find(ref); it != disposeFailures.end()) return it->second;
        virtualReceivers.erase(ref);
        return endpoints.erase(ref) == 1 ? 0 : -ENOENT;
    }
    MIDIStatus disposePort(MIDIObjectRef port) override {
        if (auto s = failure(Op::disposePort)) return *s;
        if (port == inputPort) {
            inputPort = 0;
            inputReceive = nullptr;
            connections.clear();
        }
        if (port == outputPort) outputPort = 0;
        return 0;
    }
    MIDIStatus disposeClient(MIDIObjectRef) override {
        if (auto s = failure(Op::disposeClient)) return *s;
        client = 0;
        notifyCallback = nullptr;
        ++disposedClients;
        return 0;
    }

    // --- state the tests read -----------------------------------------------------------------
    std::map<MIDIObjectRef, Endpoint> endpoints;
    std::map<MIDIObjectRef, MIDIObjectRef> connections;  // source → context
    std::map<MIDIObjectRef, ReceiveCallback> virtualReceivers;
    std::vector<Sent> sent;
    std::map<Op, MIDIStatus> failures;
    std::map<MIDIObjectRef, MIDIStatus> disposeFailures;
    // Virtual endpoints of these names cannot be made.
    std::map<std::string, MIDIStatus, std::less<>> failVirtualNamed;
    // A failing virtual-endpoint create still hands back a reference (to dispose).
    bool leaveRefOnFailure = false;
    std::string clientName;
    MIDIObjectRef client = 0;
    MIDIObjectRef inputPort = 0;
    MIDIObjectRef outputPort = 0;
    NotifyCallback notifyCallback;
    ReceiveCallback inputReceive;
    int connectCount = 0;
    int disconnectCount = 0;
    int disposedClients = 0;

private:
    std::optional<MIDIStatus> failure(Op op) const {
        const auto it = failures.find(op);
        return it == failures.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<MIDIStatus> failureNamed(std::string_view name) const {
        const auto it = failVirtualNamed.find(name);
        return it == failVirtualNamed.end() ? std::nullopt : std::optional(it->second);
    }
    MIDIObjectRef next() { return nextRef_++; }
    MIDIObjectRef add(std::string name, std::optional<std::int32_t> uniqueID, bool isSource) {
        const MIDIObjectRef ref = next();
        endpoints[ref] = Endpoint{ref, uniqueID, std::move(name), isSource, false};
        return ref;
    }
    MIDIObjectRef addOwn(std::string_view name, bool isSource) {
        const MIDIObjectRef ref = next();
        endpoints[ref] = Endpoint{ref, std::nullopt, std::string(name), isSource, true};
        return ref;
    }
    std::size_t snapshot(bool sources) {
        scanned.clear();
        for (const auto& [ref, e] : endpoints) {
            if (e.isSource == sources) scanned.push_back(ref);
        }
        return scanned.size();
    }

    std::vector<MIDIObjectRef> scanned;
    MIDIObjectRef nextRef_ = 100;
};

}  // namespace velorin::test
