// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace velorin {

// How an endpoint is shown: its key, the name in lists and a second line.
struct MIDIEndpointPresentation {
    std::string id;
    std::string title;
    std::string detail;
    friend bool operator==(const MIDIEndpointPresentation&, const MIDIEndpointPresentation&) = default;
};

// A transport that owns endpoints of its own; the USB transport is "velorin-usb".
struct MIDITransportKind {
    std::string rawValue;
    friend bool operator==(const MIDITransportKind&, const MIDITransportKind&) = default;
    static MIDITransportKind velorinUSB() { return {"velorin-usb"}; }
};

// How MIDI arrives from an input endpoint.
struct MIDIInputEndpointRoute {
    enum class Kind : std::uint8_t { coreMIDISource, coreMIDIVirtualDestination, transportOwned };
    Kind kind = Kind::coreMIDISource;
    std::uint32_t endpoint = 0;  // the operating system's endpoint reference
    MIDITransportKind transport;
    friend bool operator==(const MIDIInputEndpointRoute&, const MIDIInputEndpointRoute&) = default;

    static MIDIInputEndpointRoute coreMIDISource(std::uint32_t ref) {
        return {Kind::coreMIDISource, ref, {}};
    }
    static MIDIInputEndpointRoute coreMIDIVirtualDestination(std::uint32_t ref) {
        return {Kind::coreMIDIVirtualDestination, ref, {}};
    }
    static MIDIInputEndpointRoute transportOwned(MIDITransportKind kind) {
        return {Kind::transportOwned, 0, std::move(kind)};
    }
};

// How a send reaches an output endpoint.
struct MIDIOutputEndpointRoute {
    enum class Kind : std::uint8_t { coreMIDIVirtualSource, coreMIDIDestination, transportOwned };
    Kind kind = Kind::coreMIDIDestination;
    std::uint32_t endpoint = 0;
    MIDITransportKind transport;
    friend bool operator==(const MIDIOutputEndpointRoute&, const MIDIOutputEndpointRoute&) = default;

    static MIDIOutputEndpointRoute coreMIDIVirtualSource(std::uint32_t ref) {
        return {Kind::coreMIDIVirtualSource, ref, {}};
    }
    static MIDIOutputEndpointRoute coreMIDIDestination(std::uint32_t ref) {
        return {Kind::coreMIDIDestination, ref, {}};
    }
    static MIDIOutputEndpointRoute transportOwned(MIDITransportKind kind) {
        return {Kind::transportOwned, 0, std::move(kind)};
    }
};

struct MIDIInputEndpointRegistration {
    MIDIEndpointPresentation presentation;
    MIDIInputEndpointRoute route;
    friend bool operator==(const MIDIInputEndpointRegistration&,
                           const MIDIInputEndpointRegistration&) = default;
};

struct MIDIOutputEndpointRegistration {
    MIDIEndpointPresentation presentation;
    MIDIOutputEndpointRoute route;
    friend bool operator==(const MIDIOutputEndpointRegistration&,
                           const MIDIOutputEndpointRegistration&) = default;
};

// Why an inventory could not be built.
struct MIDIEndpointInventoryError {
    enum class Kind : std::uint8_t { duplicateInputKey, duplicateOutputKey };
    Kind kind = Kind::duplicateInputKey;
    std::string key;
    friend bool operator==(const MIDIEndpointInventoryError&, const MIDIEndpointInventoryError&) = default;
    // duplicateInputKey("key") or duplicateOutputKey("key"), as logged.
    std::string description() const;
};

// The endpoints that exist now, in order; no two inputs and no two outputs share
// a key. A value: rebuilt from scratch at every refresh.
class MIDIEndpointInventory {
public:
    MIDIEndpointInventory() = default;

    // Fails with the first repeated input key, else the first repeated output key.
    static std::variant<MIDIEndpointInventory, MIDIEndpointInventoryError> make(
        std::vector<MIDIInputEndpointRegistration> inputs,
        std::vector<MIDIOutputEndpointRegistration> outputs);

    const std::vector<MIDIInputEndpointRegistration>& inputs() const { return inputs_; }
    const std::vector<MIDIOutputEndpointRegistration>& outputs() const { return outputs_; }

    // Positions in inputs() / outputs(), or nothing for an unknown key.
    std::optional<std::size_t> inputIndex(std::string_view key) const;
    std::optional<std::size_t> outputIndex(std::string_view key) const;

    friend bool operator==(const MIDIEndpointInventory& a, const MIDIEndpointInventory& b) {
        return a.inputs_ == b.inputs_ && a.outputs_ == b.outputs_;
    }

private:
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    using Index = std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>>;

    std::vector<MIDIInputEndpointRegistration> inputs_;
    std::vector<MIDIOutputEndpointRegistration> outputs_;
    Index inputIndex_;
    Index outputIndex_;
};

}  // namespace velorin
