// SPDX-License-Identifier: GPL-3.0-or-later
// A minimal server process for the lease test: runs the USB service with the
// lock file and usbmuxd socket given on the command line and prints every log
// line and every inbound MIDI message to standard output until killed.
#include <cstdio>
#include <string>
#include <variant>

#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "log/LogStore.hpp"
#include "usb/VLUSBService.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: usb_lease_helper LOCK_FILE USBMUXD_SOCKET\n");
        return 2;
    }
    velorin::PollMainQueue queue;
    velorin::MemorySettingsStore settings;
    auto log = velorin::LogStore::create(queue, settings);
    log->setPublishedEntryHandler([](const velorin::LogEntry& entry) {
        if (const auto* m = std::get_if<velorin::LogEntry::Message>(&entry.kind)) {
            std::printf("%s\n", m->text.c_str());
            std::fflush(stdout);
        }
    });
    velorin::VLUSBService service(queue, *log,
                                  std::make_unique<velorin::VLUSBPeerTalkBridgeAdapter>(
                                      velorin::VLUSBPeerTalkBridge::create(queue, argv[2])),
                                  std::make_unique<velorin::VLUSBProcessLock>(argv[1]));
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
