// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "core/MIDIService.hpp"
#include "core/SettingsStore.hpp"

namespace velorin {

class LogStore;

// One of the app's own MIDI ports (1, 2 or 3) as other programs see it: a
// virtual destination (an input of the router) and a virtual source (an
// output), with fixed unique IDs so that other programs find them again.
struct AppVirtualMIDIPortDescriptor {
    static constexpr std::int32_t kUniqueIDBase = 0x564C0000;

    int number = 1;
    std::string displayName;
    std::string inputKey;
    std::string outputKey;
    std::int32_t destinationUniqueID = 0;
    std::int32_t sourceUniqueID = 0;
    friend bool operator==(const AppVirtualMIDIPortDescriptor&,
                           const AppVirtualMIDIPortDescriptor&) = default;

    // The descriptor of port 1, 2 or 3 (any other number is a programming error).
    static AppVirtualMIDIPortDescriptor forNumber(int number);
};

inline constexpr int kAppVirtualMIDIPortNumbers[] = {1, 2, 3};
inline constexpr int kAppVirtualMIDIAdditionalPortNumbers[] = {2, 3};

// The endpoints of one port as they exist: complete when both are non-zero,
// residual when a disposal left one or both behind.
struct OwnedVirtualMIDIPair {
    AppVirtualMIDIPortDescriptor descriptor;
    MIDIObjectRef destination = 0;
    MIDIObjectRef source = 0;
    bool isComplete() const { return destination != 0 && source != 0; }
    friend bool operator==(const OwnedVirtualMIDIPair&, const OwnedVirtualMIDIPair&) = default;
};

// The app's own endpoint references, which the system scans leave out.
struct OwnedVirtualMIDIEndpointFilter {
    std::set<MIDIObjectRef> ownedEndpoints;
    bool contains(MIDIObjectRef ref) const { return ownedEndpoints.contains(ref); }
    friend bool operator==(const OwnedVirtualMIDIEndpointFilter&,
                           const OwnedVirtualMIDIEndpointFilter&) = default;
};

// Whether ports 2 and 3 are wanted, kept in the settings store.
class AppVirtualMIDIPortPreferences {
public:
    static constexpr const char* kAdditionalPortsEnabledKey = "appVirtualMIDIAdditionalPortsEnabled.v1";
    static constexpr const char* kPortEnabledKeyPrefix = "appVirtualMIDIPortEnabled.v1.";

    explicit AppVirtualMIDIPortPreferences(SettingsStore& defaults) : defaults_(defaults) {}

    // The aggregate key when it holds a Boolean, else whether either per-port
    // key holds true.
    bool additionalPortsEnabled() const;
    // Writes the aggregate key, then the keys of ports 2 and 3, each unless it
    // already holds that value.
    void setAdditionalPortsEnabled(bool value);

private:
    SettingsStore& defaults_;
};

// The app's port pairs by number, with their creation, disposal and rollback.
// Every failure of the MIDI service is logged with its status and leaves the
// map matching what really exists. Engine thread only.
class AppVirtualMIDIPorts {
public:
    // Makes the receive handler of a port's virtual destination.
    using ReceiverFactory = std::function<MIDIService::ReceiveCallback(const AppVirtualMIDIPortDescriptor&)>;

    AppVirtualMIDIPorts(MIDIService& service, LogStore& log, ReceiverFactory makeReceiver,
                        std::function<void(std::string_view inputKey)> forgetInputState);

    // True when a complete pair exists afterwards. Nothing without a client.
    bool ensureVirtualPair(MIDIObjectRef client, const AppVirtualMIDIPortDescriptor& descriptor);
    // True when no endpoint of that pair remains afterwards.
    bool disposeVirtualPair(int number);
    // Disposes every pair and forgets residual references.
    void disposeAllVirtualPairs();

    // Ports 2 and 3 both complete.
    bool additionalPortsActive() const;
    bool isComplete(int number) const;
    const std::map<int, OwnedVirtualMIDIPair>& pairs() const { return pairs_; }
    const OwnedVirtualMIDIEndpointFilter& filter() const { return filter_; }

    // The start sequence: port 1, then ports 2 and 3 when wanted (reconciling
    // the stored preference when they cannot be created).
    void restore(MIDIObjectRef client, AppVirtualMIDIPortPreferences& preferences);
    // The settings toggle. Returns false when there was nothing to do (the
    // value already holds); otherwise the caller rebuilds the inventory.
    bool setAdditionalEnabled(MIDIObjectRef client, AppVirtualMIDIPortPreferences& preferences, bool value);

private:
    // Ports 2 and 3, each made unless complete; on a failure the ones made
    // here are disposed again. True when both were made (or were there).
    bool createAdditionalPairs(MIDIObjectRef client);
    void rebuildFilter();
    void log(std::string line) const;

    MIDIService& service_;
    LogStore& log_;
    ReceiverFactory makeReceiver_;
    std::function<void(std::string_view)> forgetInputState_;
    std::map<int, OwnedVirtualMIDIPair> pairs_;
    OwnedVirtualMIDIEndpointFilter filter_;
};

}  // namespace velorin
