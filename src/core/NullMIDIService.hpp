// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>

#include "core/MIDIService.hpp"

namespace velorin {

// The MIDI service of a machine that has none (no sequencer device, a
// container): every operation fails with the same status, so the engine logs
// the client failure once and runs without operating-system endpoints.
class NullMIDIService final : public MIDIService {
public:
    // `status`: why there is no service, as a negative errno.
    explicit NullMIDIService(MIDIStatus status = -ENOENT) : status_(status) {}

    MIDIStatus status() const { return status_; }

    MIDIRefResult createClient(std::string_view, NotifyCallback) override { return {status_, 0}; }
    MIDIRefResult createInputPort(MIDIObjectRef, std::string_view, ReceiveCallback) override {
        return {status_, 0};
    }
    MIDIRefResult createOutputPort(MIDIObjectRef, std::string_view) override { return {status_, 0}; }
    MIDIStatus connectSource(MIDIObjectRef, MIDIObjectRef, MIDIObjectRef) override { return status_; }
    MIDIStatus disconnectSource(MIDIObjectRef, MIDIObjectRef) override { return status_; }
    std::size_t sourceCount() override { return 0; }
    MIDIObjectRef source(std::size_t) override { return 0; }
    std::size_t destinationCount() override { return 0; }
    MIDIObjectRef destination(std::size_t) override { return 0; }
    MIDIStatus uniqueID(MIDIObjectRef, std::int32_t&) const override { return status_; }
    MIDIStatus displayName(MIDIObjectRef, std::string&) const override { return status_; }
    MIDIStatus setUniqueID(MIDIObjectRef, std::int32_t) override { return status_; }
    MIDIRefResult createVirtualSource(MIDIObjectRef, std::string_view, std::int32_t) override {
        return {status_, 0};
    }
    MIDIRefResult createVirtualDestination(MIDIObjectRef, std::string_view, std::int32_t,
                                           ReceiveCallback) override {
        return {status_, 0};
    }
    MIDIStatus send(MIDIObjectRef, MIDIObjectRef, std::span<const std::uint8_t>) override { return status_; }
    MIDIStatus publish(MIDIObjectRef, std::span<const std::uint8_t>) override { return status_; }
    MIDIStatus disposeEndpoint(MIDIObjectRef) override { return status_; }
    MIDIStatus disposePort(MIDIObjectRef) override { return status_; }
    MIDIStatus disposeClient(MIDIObjectRef) override { return status_; }

private:
    MIDIStatus status_;
};

}  // namespace velorin
