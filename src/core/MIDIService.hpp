// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorin {

// The operating system's MIDI service as the engine uses it: a client with
// setup notifications, an input port that listens to connected sources, an
// output port that sends to destinations, the system's sources and
// destinations with their unique IDs and display names, and virtual
// endpoints that other programs see.
//
// Every operation answers a signed status, 0 for success (on Linux the
// negative errno). Object references (client, port, endpoint) are non-zero
// 32-bit values; 0 means none.
//
// Threads: everything is called on the engine thread. The notification and
// receive callbacks run either on a thread of the service, where they must only
// copy what they are given and post to the engine thread, or, for a service
// that reads on the engine's queue, on the engine thread itself, between its
// jobs. uniqueID() and displayName() may be called from any thread (the
// receive path keys arriving data with them).
using MIDIStatus = std::int32_t;
using MIDIObjectRef = std::uint32_t;

// Setup notifications (message ids as the service numbers them).
enum class MIDINotificationMessageID : std::int32_t {
    setupChanged = 1,
    objectAdded = 2,
    objectRemoved = 3,
    propertyChanged = 4,
};

// The bytes of one received packet list: one entry per packet, each holding
// whole MIDI messages or a part of a System Exclusive message, in order.
using MIDIPacketList = std::vector<std::vector<std::uint8_t>>;

// A status together with the reference an operation returned. A failing
// create may still return a reference, which the caller then disposes.
struct MIDIRefResult {
    MIDIStatus status = 0;
    MIDIObjectRef ref = 0;
};

class MIDIService {
public:
    using NotifyCallback = std::function<void(std::int32_t messageID)>;
    // The packets (moved to the callee) and the context value of the source
    // connection, or 0 for a virtual destination.
    using ReceiveCallback = std::function<void(MIDIPacketList&& packets, MIDIObjectRef context)>;

    virtual ~MIDIService() = default;

    virtual MIDIRefResult createClient(std::string_view name, NotifyCallback notify) = 0;
    virtual MIDIRefResult createInputPort(MIDIObjectRef client, std::string_view name,
                                          ReceiveCallback receive) = 0;
    virtual MIDIRefResult createOutputPort(MIDIObjectRef client, std::string_view name) = 0;

    // Packets from `source` reach the input port's callback with `context`.
    virtual MIDIStatus connectSource(MIDIObjectRef inputPort, MIDIObjectRef source,
                                     MIDIObjectRef context) = 0;
    virtual MIDIStatus disconnectSource(MIDIObjectRef inputPort, MIDIObjectRef source) = 0;

    // The counts take a fresh look at the system; the getters read that look,
    // in the system's order, and answer 0 for an index out of range.
    virtual std::size_t sourceCount() = 0;
    virtual MIDIObjectRef source(std::size_t index) = 0;
    virtual std::size_t destinationCount() = 0;
    virtual MIDIObjectRef destination(std::size_t index) = 0;

    // Any thread.
    virtual MIDIStatus uniqueID(MIDIObjectRef endpoint, std::int32_t& id) const = 0;
    virtual MIDIStatus displayName(MIDIObjectRef endpoint, std::string& name) const = 0;
    // Only for the caller's own virtual endpoints. A refusal leaves the
    // service's own ID in force.
    virtual MIDIStatus setUniqueID(MIDIObjectRef endpoint, std::int32_t id) = 0;

    // Virtual endpoints of the client, visible to other programs under
    // `name`. `intendedUniqueID` is the ID the caller will set right after
    // creation (0: none); a service whose endpoint identity is fixed when the
    // endpoint is made uses it then, so that a later setUniqueID() with the
    // same ID succeeds.
    virtual MIDIRefResult createVirtualSource(MIDIObjectRef client, std::string_view name,
                                              std::int32_t intendedUniqueID) = 0;
    virtual MIDIRefResult createVirtualDestination(MIDIObjectRef client, std::string_view name,
                                                   std::int32_t intendedUniqueID,
                                                   ReceiveCallback receive) = 0;

    // One MIDI message (or a whole System Exclusive message of any length)
    // through the output port to a destination.
    virtual MIDIStatus send(MIDIObjectRef outputPort, MIDIObjectRef destination,
                            std::span<const std::uint8_t> bytes) = 0;
    // The same bytes to every receiver of one of the client's virtual sources.
    virtual MIDIStatus publish(MIDIObjectRef virtualSource, std::span<const std::uint8_t> bytes) = 0;

    // A failed endpoint disposal leaves the endpoint in place.
    virtual MIDIStatus disposeEndpoint(MIDIObjectRef endpoint) = 0;
    virtual MIDIStatus disposePort(MIDIObjectRef port) = 0;
    virtual MIDIStatus disposeClient(MIDIObjectRef client) = 0;
};

}  // namespace velorin
