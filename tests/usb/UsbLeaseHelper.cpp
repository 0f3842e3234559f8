// A minimal server process for the lease test: runs the USB service with the
// lock file and usbmuxd socket given on the command line and prints every log
// line and every inbound MIDI message to standard output until killed.
#include <cstdio>
#include <string>

#include "core/PollMainQueue.hpp"
#include "usb/VLUSBService.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: usb_lease_helper LOCK_FILE USBMUXD_SOCKET\n");
        return 2;
    }
    velorin::PollMainQueue queue;
    velorin::VLUSBService::Dependencies deps;
    deps.transport = std::make_unique<velorin::VLUSBPeerTalkBridgeAdapter>(
        velorin::VLUSBPeerTalkBridge::create(queue, argv[2]));
    deps.processLock = std::make_unique<velorin::VLUSBProcessLock>(argv[1]);
    deps.retryClock = std::make_unique<velorin::VLUSBDispatchRetryClock>(queue);
    auto print = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    deps.lifecycleLog = print;
    deps.diagnosticLog = print;
    velorin::VLUSBService service(std::move(deps));
    service.midiHandler = [](const velorin::VLUSBInboundMIDI& m) {
        std::printf("MIDI from %s:", m.deviceKey.c_str());
        for (auto b : m.bytes) std::printf(" %02X", b);
        std::printf("\n");
        std::fflush(stdout);
    };
    service.start();
    queue.run();
    return 0;
}
