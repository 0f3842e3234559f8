// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDIEndpointInventory.hpp"

namespace velorin {

std::string MIDIEndpointInventoryError::description() const {
    return std::string(kind == Kind::duplicateInputKey ? "duplicateInputKey" : "duplicateOutputKey") + "(\"" +
           key + "\")";
}

std::variant<MIDIEndpointInventory, MIDIEndpointInventoryError> MIDIEndpointInventory::make(
    std::vector<MIDIInputEndpointRegistration> inputs, std::vector<MIDIOutputEndpointRegistration> outputs) {
    MIDIEndpointInventory inventory;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!inventory.inputIndex_.emplace(inputs[i].presentation.id, i).second) {
            return MIDIEndpointInventoryError{MIDIEndpointInventoryError::Kind::duplicateInputKey,
                                              inputs[i].presentation.id};
        }
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (!inventory.outputIndex_.emplace(outputs[i].presentation.id, i).second) {
            return MIDIEndpointInventoryError{MIDIEndpointInventoryError::Kind::duplicateOutputKey,
                                              outputs[i].presentation.id};
        }
    }
    inventory.inputs_ = std::move(inputs);
    inventory.outputs_ = std::move(outputs);
    return inventory;
}

std::optional<std::size_t> MIDIEndpointInventory::inputIndex(std::string_view key) const {
    const auto it = inputIndex_.find(key);
    if (it == inputIndex_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::size_t> MIDIEndpointInventory::outputIndex(std::string_view key) const {
    const auto it = outputIndex_.find(key);
    if (it == outputIndex_.end()) return std::nullopt;
    return it->second;
}

}  // namespace velorin
