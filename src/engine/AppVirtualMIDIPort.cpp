// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/AppVirtualMIDIPort.hpp"

#include <cstdlib>
#include <vector>

#include "log/LogStore.hpp"

namespace velorin {

namespace {

std::string text(std::int64_t value) {
    return std::to_string(value);
}

}  // namespace

AppVirtualMIDIPortDescriptor AppVirtualMIDIPortDescriptor::forNumber(int number) {
    if (number < 1 || number > 3) std::abort();
    AppVirtualMIDIPortDescriptor d;
    d.number = number;
    const std::string suffix = number == 1 ? "" : std::to_string(number);
    d.displayName = number == 1 ? "Velorin Server" : "Velorin Server " + suffix;
    d.inputKey = number == 1 ? "app-virtual-input" : "app-virtual-input-" + suffix;
    d.outputKey = number == 1 ? "app-virtual-output" : "app-virtual-output-" + suffix;
    d.destinationUniqueID = kUniqueIDBase + 2 * number;
    d.sourceUniqueID = kUniqueIDBase + 2 * number + 1;
    return d;
}

// --- preferences ---------------------------------------------------------------

bool AppVirtualMIDIPortPreferences::additionalPortsEnabled() const {
    if (const auto stored = defaults_.boolValue(kAdditionalPortsEnabledKey)) return *stored;
    for (const int number : kAppVirtualMIDIAdditionalPortNumbers) {
        if (defaults_.boolValue(kPortEnabledKeyPrefix + std::to_string(number)).value_or(false)) return true;
    }
    return false;
}

void AppVirtualMIDIPortPreferences::setAdditionalPortsEnabled(bool value) {
    const auto write = [&](const std::string& key) {
        if (defaults_.boolValue(key) != value) defaults_.set(key, value);
    };
    write(kAdditionalPortsEnabledKey);
    for (const int number : kAppVirtualMIDIAdditionalPortNumbers)
        write(kPortEnabledKeyPrefix + std::to_string(number));
}

// --- pairs ---------------------------------------------------------------------------

AppVirtualMIDIPorts::AppVirtualMIDIPorts(MIDIService& service, LogStore& log, ReceiverFactory makeReceiver,
                                         std::function<void(std::string_view)> forgetInputState)
    : service_(service),
      log_(log),
      makeReceiver_(std::move(makeReceiver)),
      forgetInputState_(std::move(forgetInputState)) {}

void AppVirtualMIDIPorts::log(std::string line) const {
    log_.log(std::move(line));
}

bool AppVirtualMIDIPorts::isComplete(int number) const {
    const auto it = pairs_.find(number);
    return it != pairs_.end() && it->second.isComplete();
}

bool AppVirtualMIDIPorts::additionalPortsActive() const {
    return isComplete(2) && isComplete(3);
}

void AppVirtualMIDIPorts::rebuildFilter() {
    filter_.ownedEndpoints.clear();
    for (const auto& [number, pair] : pairs_) {
        if (pair.destination != 0) filter_.ownedEndpoints.insert(pair.destination);
        if (pair.source != 0) filter_.ownedEndpoints.insert(pair.source);
    }
}

bool AppVirtualMIDIPorts::ensureVirtualPair(MIDIObjectRef client,
                                            const AppVirtualMIDIPortDescriptor& descriptor) {
    if (client == 0) return false;
    const int number = descriptor.number;
    if (isComplete(number)) return true;
    if (pairs_.contains(number) && !disposeVirtualPair(number)) {
        log("[MIDI] Virtual pair " + text(number) + " cannot enable while residual owned endpoints remain");
        return false;
    }

    const std::string prefix = "[MIDI] Virtual pair " + text(number) + " ";
    MIDIObjectRef residualSource = 0;
    MIDIObjectRef residualDestination = 0;
    // Disposes a reference a failed step left behind; a refusal keeps it as residual.
    auto rollback = [&](const char* direction, MIDIObjectRef ref) -> MIDIObjectRef {
        if (ref == 0) return 0;
        const MIDIStatus status = service_.disposeEndpoint(ref);
        if (status == 0) return 0;
        log(prefix + direction + " rollback dispose failed for endpoint " + text(ref) + ": OSStatus " +
            text(status));
        return ref;
    };
    auto fail = [&](const char* direction, MIDIStatus status) {
        log(prefix + direction + " creation failed: " + text(status));
        if (residualSource != 0 || residualDestination != 0) {
            pairs_[number] = OwnedVirtualMIDIPair{descriptor, residualDestination, residualSource};
        } else {
            pairs_.erase(number);
        }
        rebuildFilter();
        return false;
    };

    const MIDIRefResult source =
        service_.createVirtualSource(client, descriptor.displayName, descriptor.sourceUniqueID);
    if (source.status != 0) {
        residualSource = rollback("source", source.ref);
        return fail("source", source.status);
    }
    const MIDIRefResult destination = service_.createVirtualDestination(
        client, descriptor.displayName, descriptor.destinationUniqueID, makeReceiver_(descriptor));
    if (destination.status != 0) {
        residualSource = rollback("source", source.ref);
        residualDestination = rollback("destination", destination.ref);
        return fail("destination", destination.status);
    }

    auto setID = [&](MIDIObjectRef ref, std::int32_t id) {
        if (id == 0) return;
        const MIDIStatus status = service_.setUniqueID(ref, id);
        if (status != 0) {
            log("[MIDI] Unique ID " + text(id) + " rejected for endpoint " + text(ref) + " (OSStatus " +
                text(status) + "); keeping system ID");
        }
    };
    setID(source.ref, descriptor.sourceUniqueID);
    setID(destination.ref, descriptor.destinationUniqueID);
    pairs_[number] = OwnedVirtualMIDIPair{descriptor, destination.ref, source.ref};
    rebuildFilter();
    return true;
}

bool AppVirtualMIDIPorts::disposeVirtualPair(int number) {
    const auto it = pairs_.find(number);
    if (it == pairs_.end()) return true;
    OwnedVirtualMIDIPair& pair = it->second;
    auto dispose = [&](const char* direction, MIDIObjectRef& ref) {
        if (ref == 0) return;
        const MIDIStatus status = service_.disposeEndpoint(ref);
        if (status != 0) {
            log("[MIDI] Virtual pair " + text(number) + " " + direction + " dispose failed for endpoint " +
                text(ref) + ": OSStatus " + text(status));
            return;
        }
        ref = 0;
    };
    dispose("destination", pair.destination);
    dispose("source", pair.source);
    const bool gone = pair.destination == 0 && pair.source == 0;
    if (gone) {
        const std::string inputKey = pair.descriptor.inputKey;
        pairs_.erase(it);
        if (forgetInputState_) forgetInputState_(inputKey);
    }
    rebuildFilter();
    return gone;
}

void AppVirtualMIDIPorts::disposeAllVirtualPairs() {
    std::vector<int> numbers;
    for (const auto& [number, pair] : pairs_) numbers.push_back(number);
    for (const int number : numbers) disposeVirtualPair(number);
    pairs_.clear();
    rebuildFilter();
}

void AppVirtualMIDIPorts::restore(MIDIObjectRef client, AppVirtualMIDIPortPreferences& preferences) {
    if (ensureVirtualPair(client, AppVirtualMIDIPortDescriptor::forNumber(1))) {
        log("[MIDI] Restored virtual port pair 1");
    } else {
        log("[MIDI] Failed to restore primary virtual port pair");
    }
    if (!preferences.additionalPortsEnabled()) return;
    const bool active = createAdditionalPairs(client) || additionalPortsActive();
    preferences.setAdditionalPortsEnabled(active);
    log(active ? "[MIDI] Restored additional virtual ports"
               : "[MIDI] Failed to restore additional virtual ports; reconciled to off");
}

bool AppVirtualMIDIPorts::createAdditionalPairs(MIDIObjectRef client) {
    std::vector<int> createdNow;
    for (const int number : kAppVirtualMIDIAdditionalPortNumbers) {
        if (isComplete(number)) continue;
        if (!ensureVirtualPair(client, AppVirtualMIDIPortDescriptor::forNumber(number))) {
            for (auto it = createdNow.rbegin(); it != createdNow.rend(); ++it) disposeVirtualPair(*it);
            return false;
        }
        createdNow.push_back(number);
    }
    return true;
}

bool AppVirtualMIDIPorts::setAdditionalEnabled(MIDIObjectRef client,
                                               AppVirtualMIDIPortPreferences& preferences, bool value) {
    if (value == additionalPortsActive()) return false;
    auto reconcile = [&](const char* verb) {
        const bool active = additionalPortsActive();
        preferences.setAdditionalPortsEnabled(active);
        log(std::string("[MIDI] Additional virtual ports ") + verb + " failed; reconciled to " +
            (active ? "on" : "off"));
    };
    if (value && !createAdditionalPairs(client)) {
        reconcile("enable");
        return true;
    }
    if (!value) {
        std::vector<int> changedNow;
        for (const int number : kAppVirtualMIDIAdditionalPortNumbers) {
            disposeVirtualPair(number);
            if (isComplete(number)) {
                for (auto it = changedNow.rbegin(); it != changedNow.rend(); ++it) {
                    ensureVirtualPair(client, AppVirtualMIDIPortDescriptor::forNumber(*it));
                }
                reconcile("disable");
                return true;
            }
            changedNow.push_back(number);
        }
    }
    preferences.setAdditionalPortsEnabled(value);
    log(std::string("[MIDI] Additional virtual ports ") + (value ? "enabled" : "disabled"));
    return true;
}

}  // namespace velorin
