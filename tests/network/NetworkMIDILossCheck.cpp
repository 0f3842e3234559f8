// SPDX-License-Identifier: GPL-3.0-or-later
// Two hubs' sessions over real UDP sockets on a lossy loopback (the network
// namespace and its loss are set up by network_loss.sh): one sends notes,
// overlapping four at a time, the other keeps what sounds. At quiescence no
// note may be left sounding: every lost note-off was repaired by the
// recovery journal, and the repairs were counted and logged.
//   network_loss_check NOTES
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "NetworkTestHub.hpp"
#include "core/PollMainQueue.hpp"
#include "platform/linux/UDPDatagramSocket.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;

int notesToSend() {
    const char* text = std::getenv("VELORIN_LOSS_NOTES");
    return text != nullptr ? std::max(1, std::atoi(text)) : 1000;
}

TEST(NetworkMIDILossTest, NoNoteIsLeftSoundingAfterLoss) {
    if (std::getenv("VELORIN_LOSSY_NETNS") == nullptr) GTEST_SKIP() << "runs inside network_loss.sh only";
    PollMainQueue queue;
    UDPDatagramSocketFactory sockets(queue);
    NetworkMIDISessionConfig config;
    config.invitationInterval = 200ms;
    config.invitationAttempts = 50;
    test::Hub sender(queue, sockets, "Sender", 5004, config);
    test::Hub receiver(queue, sockets, "Receiver", 6004, config);
    sender.service->start();
    receiver.service->start();
    sender.service->connect("127.0.0.1:6004");
    ASSERT_TRUE(queue.runFor(20s, [&] {
        return !sender.endpoints.outputs.empty() && !receiver.endpoints.inputs.empty();
    })) << "no session through the lossy link";

    // What sounds at the receiver, by (channel, note).
    std::set<std::pair<int, int>> sounding;
    std::size_t noteOns = 0;
    std::size_t handled = 0;
    auto follow = [&] {
        for (; handled < receiver.received.size(); ++handled) {
            const ByteArray& bytes = receiver.received[handled].second;
            if (bytes.size() != 3) continue;
            const int kind = bytes[0] & 0xF0;
            const std::pair<int, int> key{bytes[0] & 0x0F, bytes[1]};
            if (kind == 0x90 && bytes[2] > 0) {
                sounding.insert(key);
                ++noteOns;
            } else if (kind == 0x80 || kind == 0x90) {
                sounding.erase(key);
            }
        }
    };

    const int notes = notesToSend();
    constexpr int kOverlap = 4;
    auto noteOf = [](int i) { return MIDIEvent::noteOnEvent(36 + (i * 7) % 60, 100, i % 16); };
    int next = 0;
    TaskHandle player = queue.every(1ms, [&] {
        if (next < notes) sender.service->send(noteOf(next), "network-midi:Receiver");
        if (next >= kOverlap && next - kOverlap < notes) {
            MIDIEvent off = noteOf(next - kOverlap);
            off.type = MIDIEventType::noteOff;
            off.velocity = 0;
            sender.service->send(off, "network-midi:Receiver");
        }
        ++next;
        follow();
    });
    queue.runFor(std::chrono::milliseconds(notes * 3 + 20000), [&] { return next >= notes + kOverlap; });
    player.cancel();
    // Quiescence: the journal-only packets after the last note, and a repair log line.
    queue.runFor(NetworkMIDIService::kRepairLogInterval + 2s);
    follow();

    const auto peers = receiver.service->session()->peers();
    ASSERT_EQ(peers.size(), 1u);
    const auto& statistics = peers.front().statistics;
    std::printf(
        "notes sent %d, note-ons received %zu, packets lost %llu, events repaired %llu, losses unrepaired "
        "%llu, sounding at the end %zu\n",
        notes, noteOns, static_cast<unsigned long long>(statistics.packetsLost),
        static_cast<unsigned long long>(statistics.journalRepairs),
        static_cast<unsigned long long>(statistics.lossesUnrepaired), sounding.size());
    EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes left sounding";
    EXPECT_GT(statistics.packetsLost, 0u) << "the link lost nothing: is the loss rule in place?";
    EXPECT_GT(statistics.journalRepairs, 0u);
    EXPECT_TRUE(receiver.logged("[Network MIDI] Journal repaired"));
}

}  // namespace
}  // namespace velorin
