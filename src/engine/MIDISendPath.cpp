// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDISendPath.hpp"

#include "log/LogStore.hpp"

namespace velorin {

void MIDISendPath::setTransportOutputHandler(std::string_view kind, TransportOutputHandler handler) {
    if (handler) {
        transportOutputHandlers_.insert_or_assign(std::string(kind), std::move(handler));
    } else if (const auto it = transportOutputHandlers_.find(kind); it != transportOutputHandlers_.end()) {
        transportOutputHandlers_.erase(it);
    }
}

bool MIDISendPath::send(const MIDIOutputEndpointRegistration& output, const MIDIEvent& event) {
    using Kind = MIDIOutputEndpointRoute::Kind;
    const MIDIOutputEndpointRoute& route = output.route;
    if (route.kind == Kind::transportOwned) {
        const auto it = transportOutputHandlers_.find(route.transport.rawValue);
        if (it == transportOutputHandlers_.end()) {
            log_.log("[MIDI Out] No dispatch handler for transport " + route.transport.rawValue);
            return false;
        }
        return it->second(event, output.presentation.id);
    }
    if (service_ == nullptr) return false;
    bytes_.clear();
    appendEncodedBytes(event, bytes_);
    if (bytes_.empty()) return false;
    if (route.kind == Kind::coreMIDIDestination) {
        const MIDIStatus status = service_->send(outputPort_, route.endpoint, bytes_);
        if (status != 0) {
            log_.log("[MIDI Out] Send to " + output.presentation.title +
                     " failed: " + std::to_string(status));
        }
        return status == 0;
    }
    const MIDIStatus status = service_->publish(route.endpoint, bytes_);
    if (status != 0) log_.log("[MIDI Out] Virtual output failed: " + std::to_string(status));
    return status == 0;
}

}  // namespace velorin
