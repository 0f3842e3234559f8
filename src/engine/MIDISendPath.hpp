// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "core/MIDIService.hpp"
#include "engine/MIDIOutputTransport.hpp"

namespace velorin {

class LogStore;

// The engine's send path: carries an event to one output by its route — through
// the engine's output port to an operating-system destination, published from
// one of the app's virtual sources, or handed to the output handler of the
// transport that owns the endpoint (USB). Failures are logged with their status
// and only cost that route. A System Exclusive message goes whole, whatever its
// length. Engine thread only.
class MIDISendPath final : public MIDIOutputTransport {
public:
    // (event, endpoint key) → accepted.
    using TransportOutputHandler = std::function<bool(const MIDIEvent&, const std::string& endpointKey)>;

    MIDISendPath(MIDIService* service, LogStore& log) : service_(service), log_(log) {}

    void setOutputPort(MIDIObjectRef port) { outputPort_ = port; }
    // Sets (or with an empty handler removes) the handler of a transport kind.
    void setTransportOutputHandler(std::string_view kind, TransportOutputHandler handler);

    bool send(const MIDIOutputEndpointRegistration& output, const MIDIEvent& event) override;

private:
    MIDIService* service_;
    LogStore& log_;
    MIDIObjectRef outputPort_ = 0;
    std::map<std::string, TransportOutputHandler, std::less<>> transportOutputHandlers_;
    ByteArray bytes_;  // reused: sending allocates nothing once it has grown
};

}  // namespace velorin
