// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the routing key and name of every ALSA sequencer destination the
// server would list ("<key>\t<name>" per line), so that a black-box test can
// store routing to a device before the server starts.
#include <cstdio>
#include <string>

#include "engine/MIDIEndpointRegistration.hpp"
#include "platform/alsa/AlsaMIDIService.hpp"

int main() {
    velorin::AlsaMIDIService service(
        [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    const auto client = service.createClient("velorin-test-alsa-keys", nullptr);
    if (client.status != 0) {
        std::fprintf(stderr, "no sequencer client: %d\n", client.status);
        return 1;
    }
    const std::size_t count = service.destinationCount();
    for (std::size_t i = 0; i < count; ++i) {
        const velorin::MIDIObjectRef ref = service.destination(i);
        std::int32_t id = 0;
        std::string name;
        const bool hasID = service.uniqueID(ref, id) == 0;
        service.displayName(ref, name);
        const auto key = velorin::coreMIDIEndpointKey(hasID ? std::optional(id) : std::nullopt, ref);
        std::printf("%s\t%s\n", key.c_str(), name.c_str());
    }
    service.disposeClient(client.ref);
    return 0;
}
