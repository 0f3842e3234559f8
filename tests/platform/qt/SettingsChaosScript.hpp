// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the two writers of the settings kill run write, step by step, so that
// a loaded file tells which state it shows.
//
// The routing-and-options writer (killed again and again) changes one thing
// per step t, in turn (j = t / 6 counts the turns):
//   t % 6 == 0  Router input "velorin-usb:name:Pad <j % 8>" toggled (the routing graph record)
//   t % 6 == 1  "mainWindow.contentWidth" = 1090 + t
//   t % 6 == 2  output "velorin-usb:name:Pad <j % 8>" toggled off/on (the availability record)
//   t % 6 == 3  "vlUSBShowsIndividualUSBDevices" = j is odd
//   t % 6 == 4  "octaveLayerEnabledLayers" = the low four bits of j
//   t % 6 == 5  "mainWindow.contentHeight" = 692 + t
// The other writer (never killed) changes other keys, one per step s:
//   s % 4 == 0  "isLoggingAllMIDIEvents" = (s / 4) is odd
//   s % 4 == 1  "LinkClock.isActive" = (s / 4) is even
//   s % 4 == 2  "linkLooperLoopLengthBeats" = 1 + (s / 4) % 64
//   s % 4 == 3  "settingsChaos.secondWriterStep" = s

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/SettingsStore.hpp"
#include "engine/MIDIRoutingStore.hpp"

namespace velorin::testing::settingschaos {

inline constexpr std::int64_t kFirstKinds = 6;
inline constexpr std::int64_t kSecondKinds = 4;
inline constexpr std::int64_t kPads = 8;

inline std::string padKey(std::int64_t slot) {
    return "velorin-usb:name:Pad " + std::to_string(slot);
}
inline std::vector<bool> lowFourBits(std::int64_t value) {
    return {(value & 1) != 0, (value & 2) != 0, (value & 4) != 0, (value & 8) != 0};
}
// The last step at or before `t` of the kind `kind` (of `kinds`), or none.
inline std::optional<std::int64_t> lastStepOfKind(std::int64_t t, std::int64_t kind, std::int64_t kinds) {
    if (t < kind) return std::nullopt;
    return t - ((t - kind) % kinds);
}

inline void applyFirstWriterStep(SettingsStore& store, MIDIRoutingStore& routing, std::int64_t t) {
    const std::int64_t j = t / kFirstKinds;
    // The k-th toggle of a pad (k = j / kPads) switches it on when k is even.
    const bool firstOfPair = (j / kPads) % 2 == 0;
    switch (t % kFirstKinds) {
        case 0:
            routing.setInputAssignment(firstOfPair, padKey(j % kPads), "router", "inputs");
            break;
        case 1:
            store.set("mainWindow.contentWidth", 1090.0 + static_cast<double>(t));
            break;
        case 2:
            routing.setOutputAvailable(!firstOfPair, padKey(j % kPads));
            break;
        case 3:
            store.set("vlUSBShowsIndividualUSBDevices", j % 2 == 1);
            break;
        case 4:
            store.set("octaveLayerEnabledLayers", lowFourBits(j));
            break;
        default:
            store.set("mainWindow.contentHeight", 692.0 + static_cast<double>(t));
            break;
    }
}

struct FirstWriterState {
    std::optional<RoutingAssignmentGraph> graph;  // none: absent or not decodable
    std::optional<MIDIDeviceAvailability> availability;
    std::optional<double> width;
    std::optional<bool> showsIndividualDevices;
    std::optional<std::vector<bool>> layers;
    std::optional<double> height;
    friend bool operator==(const FirstWriterState&, const FirstWriterState&) = default;
};

// The state after steps 0…t (t = -1: before the first).
inline FirstWriterState expectedFirstWriterState(std::int64_t t) {
    FirstWriterState state;
    // The pads touched by the toggles of one kind: a pad is on (assigned, or
    // switched off) when its last toggle was the first of a pair.
    const auto padsOn = [&](std::int64_t kind) {
        RoutingKeySet on;
        const auto last = lastStepOfKind(t, kind, kFirstKinds);
        if (!last) return on;
        const std::int64_t lastTurn = *last / kFirstKinds;
        for (std::int64_t slot = 0; slot < kPads && slot <= lastTurn; ++slot) {
            const std::int64_t touches = (lastTurn - slot) / kPads;  // index of the pad's last toggle
            if (touches % 2 == 0) on.insert(padKey(slot));
        }
        return on;
    };
    if (t >= 0) {
        RoutingAssignmentGraph graph;
        if (auto on = padsOn(0); !on.empty()) graph.inputAssignments["router"]["inputs"] = std::move(on);
        state.graph = std::move(graph);
    }
    if (t >= 2) state.availability = MIDIDeviceAvailability{{}, padsOn(2)};
    if (const auto last = lastStepOfKind(t, 1, kFirstKinds))
        state.width = 1090.0 + static_cast<double>(*last);
    if (const auto last = lastStepOfKind(t, 3, kFirstKinds))
        state.showsIndividualDevices = (*last / kFirstKinds) % 2 == 1;
    if (const auto last = lastStepOfKind(t, 4, kFirstKinds)) state.layers = lowFourBits(*last / kFirstKinds);
    if (const auto last = lastStepOfKind(t, 5, kFirstKinds))
        state.height = 692.0 + static_cast<double>(*last);
    return state;
}

inline FirstWriterState loadFirstWriterState(const SettingsStore& store) {
    FirstWriterState state;
    if (const auto bytes = store.dataValue(MIDIRoutingStore::kGraphKey))
        state.graph = MIDIRoutingStore::decodeGraph(*bytes);
    if (const auto bytes = store.dataValue(MIDIRoutingStore::kAvailabilityKey))
        state.availability = MIDIRoutingStore::decodeAvailability(*bytes);
    state.width = store.doubleValue("mainWindow.contentWidth");
    state.showsIndividualDevices = store.boolValue("vlUSBShowsIndividualUSBDevices");
    state.layers = store.boolListValue("octaveLayerEnabledLayers");
    state.height = store.doubleValue("mainWindow.contentHeight");
    return state;
}

// The step after which the store shows exactly the first writer's state, or
// none when it shows no state the writer ever left. The two sizes pin the
// step down to one turn; the other values must match one step of that turn.
inline std::optional<std::int64_t> firstWriterStepShown(const SettingsStore& store) {
    const FirstWriterState loaded = loadFirstWriterState(store);
    std::int64_t from = -1;
    if (loaded.width) from = std::max(from, static_cast<std::int64_t>(*loaded.width) - 1090);
    if (loaded.height) from = std::max(from, static_cast<std::int64_t>(*loaded.height) - 692);
    for (std::int64_t t = from; t < from + kFirstKinds; ++t) {
        if (expectedFirstWriterState(t) == loaded) return t;
    }
    return std::nullopt;
}

inline void applySecondWriterStep(SettingsStore& store, std::int64_t s) {
    const std::int64_t turn = s / kSecondKinds;
    switch (s % kSecondKinds) {
        case 0:
            store.set("isLoggingAllMIDIEvents", turn % 2 == 1);
            break;
        case 1:
            store.set("LinkClock.isActive", turn % 2 == 0);
            break;
        case 2:
            store.set("linkLooperLoopLengthBeats", std::int64_t{1 + turn % 64});
            break;
        default:
            store.set("settingsChaos.secondWriterStep", s);
            break;
    }
}

// The second writer's keys that do not hold what steps 0…s left (empty when all do).
inline std::vector<std::string> secondWriterKeysLost(const SettingsStore& store, std::int64_t s) {
    std::vector<std::string> lost;
    const auto turnOf = [&](std::int64_t kind) -> std::optional<std::int64_t> {
        const auto last = lastStepOfKind(s, kind, kSecondKinds);
        if (!last) return std::nullopt;
        return *last / kSecondKinds;
    };
    const auto check = [&](bool ok, const char* key) {
        if (!ok) lost.emplace_back(key);
    };
    const auto t0 = turnOf(0);
    check(
        store.boolValue("isLoggingAllMIDIEvents") == (t0 ? std::optional<bool>(*t0 % 2 == 1) : std::nullopt),
        "isLoggingAllMIDIEvents");
    const auto t1 = turnOf(1);
    check(store.boolValue("LinkClock.isActive") == (t1 ? std::optional<bool>(*t1 % 2 == 0) : std::nullopt),
          "LinkClock.isActive");
    const auto t2 = turnOf(2);
    check(store.integerValue("linkLooperLoopLengthBeats") ==
              (t2 ? std::optional<std::int64_t>(1 + *t2 % 64) : std::nullopt),
          "linkLooperLoopLengthBeats");
    check(store.integerValue("settingsChaos.secondWriterStep") == lastStepOfKind(s, 3, kSecondKinds),
          "settingsChaos.secondWriterStep");
    return lost;
}

}  // namespace velorin::testing::settingschaos
