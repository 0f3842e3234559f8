// SPDX-License-Identifier: GPL-3.0-or-later
// The ALSA sequencer service against a real kernel sequencer. Without
// /dev/snd/seq every test skips; on a machine without sound support they run in
// the ALSA test VM. Other programs are played by SequencerPeer clients.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "SequencerPeer.hpp"
#include "core/QueueThread.hpp"
#include "platform/alsa/AlsaEventCodec.hpp"
#include "platform/alsa/AlsaEventWriter.hpp"
#include "platform/alsa/AlsaMIDIService.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;
using test::SequencerPeer;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kOwnIDBase = 0x564C0000;

// State that a callback changes on the service's thread while the test waits
// for it. While held, a change does not happen (nor return), as if the
// receiver had stalled.
template <typename State>
class Shared {
public:
    template <typename Change>
    void change(Change&& apply) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !held_; });
        apply(state_);
        changed_.notify_all();
    }
    template <typename Read>
    auto read(Read&& get) {
        std::lock_guard lock(mutex_);
        return get(static_cast<const State&>(state_));
    }
    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    bool waitUntil(const std::function<bool(const State&)>& done, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(state_); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_;
    bool held_ = false;
};

struct Received {
    struct Packet {
        MIDIObjectRef context = 0;
        Bytes bytes;
    };
    std::vector<Packet> packets;
    std::size_t largestCall = 0;
    std::size_t bytes = 0;
};

class Inbox : public Shared<Received> {
public:
    MIDIService::ReceiveCallback callback() {
        return [this](MIDIPacketList&& packets, MIDIObjectRef context) {
            change([&](Received& received) {
                received.largestCall = std::max(received.largestCall, packets.size());
                for (auto& packet : packets) {
                    received.bytes += packet.size();
                    received.packets.push_back({context, std::move(packet)});
                }
            });
        };
    }
    Received state() {
        return read([](const Received& received) { return received; });
    }
    std::size_t bytes() {
        return read([](const Received& received) { return received.bytes; });
    }
    bool waitForPackets(std::size_t count) {
        return waitUntil([&](const Received& received) { return received.packets.size() >= count; });
    }
};

class Notifications : public Shared<std::vector<std::int32_t>> {
public:
    MIDIService::NotifyCallback callback() {
        return [this](std::int32_t id) { change([&](auto& ids) { ids.push_back(id); }); };
    }
    std::size_t size() {
        return read([](const auto& ids) { return ids.size(); });
    }
    std::vector<std::int32_t> since(std::size_t mark) {
        return read([&](const auto& ids) {
            return std::vector<std::int32_t>(ids.begin() + static_cast<std::ptrdiff_t>(mark), ids.end());
        });
    }
    // Waits for `id` among the notifications from `mark` on.
    bool waitFor(std::size_t mark, MIDINotificationMessageID id) {
        return waitUntil([&](const auto& ids) {
            return std::find(ids.begin() + static_cast<std::ptrdiff_t>(mark), ids.end(),
                             static_cast<std::int32_t>(id)) != ids.end();
        });
    }
};

snd_seq_event_t noteOn(int channel, int note, int velocity) {
    snd_seq_event_t event{};
    event.type = SND_SEQ_EVENT_NOTEON;
    event.data.note.channel = static_cast<unsigned char>(channel);
    event.data.note.note = static_cast<unsigned char>(note);
    event.data.note.velocity = static_cast<unsigned char>(velocity);
    return event;
}

snd_seq_event_t controller(int channel, unsigned int param, int value) {
    snd_seq_event_t event{};
    event.type = SND_SEQ_EVENT_CONTROLLER;
    event.data.control.channel = static_cast<unsigned char>(channel);
    event.data.control.param = param;
    event.data.control.value = value;
    return event;
}

Bytes makeSysEx(std::size_t size) {
    Bytes message{0xF0};
    message.reserve(size);
    for (std::size_t i = 1; i + 1 < size; ++i)
        message.push_back(static_cast<std::uint8_t>((i * 31 + i / 128) & 0x7F));
    message.push_back(0xF7);
    return message;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// The ports of one client as `aconnect -l` lists them: number to name.
std::map<int, std::string> aconnectPorts(int client) {
    std::map<int, std::string> ports;
    FILE* pipe = ::popen("aconnect -l 2>/dev/null", "r");
    if (pipe == nullptr) return ports;
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ::pclose(pipe);
    // "client 128: 'Velorin Server' [type=user,...]", then one line per port:
    // "    2 'Velorin Server  '" (names padded to 16).
    int current = -1;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("client ", 0) == 0) {
            current = std::atoi(line.c_str() + 7);
            continue;
        }
        const auto open = line.find('\'');
        const auto close = line.rfind('\'');
        if (current != client || open == std::string::npos || close <= open ||
            line.find(':') != std::string::npos) {
            continue;
        }
        std::string name = line.substr(open + 1, close - open - 1);
        name.erase(name.find_last_not_of(' ') + 1);
        ports[std::atoi(line.c_str())] = name;
    }
    return ports;
}

class AlsaSequencerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/snd/seq", R_OK | W_OK) != 0) {
            GTEST_SKIP() << "No ALSA sequencer on this machine (/dev/snd/seq: " << std::strerror(errno)
                         << "); these tests need a kernel with snd-seq, e.g. the ALSA test VM";
        }
        service_ = std::make_unique<AlsaMIDIService>([this](std::string line) {
            std::lock_guard lock(logMutex_);
            logs_.push_back(std::move(line));
        });
        ASSERT_NO_FATAL_FAILURE(startClient());
    }

    void TearDown() override {
        // A test that failed while holding a callback must not leave the
        // reader thread waiting when the service joins it.
        inbox_.hold(false);
        virtualInbox_.hold(false);
        service_.reset();
    }

    void startClient() {
        const MIDIRefResult client = service_->createClient("Velorin Server", notifications_.callback());
        ASSERT_EQ(client.status, 0);
        client_ = client.ref;
        clientNumber_ = alsaClientFromRef(client_).value_or(-1);
        const MIDIRefResult input =
            service_->createInputPort(client_, "Velorin Server Input", inbox_.callback());
        ASSERT_EQ(input.status, 0);
        input_ = input.ref;
        const MIDIRefResult output = service_->createOutputPort(client_, "Velorin Server Output");
        ASSERT_EQ(output.status, 0);
        output_ = output.ref;
    }

    // The app's three port pairs, as the engine makes them.
    void createPublicPorts() {
        for (int n = 1; n <= 3; ++n) {
            const std::string name = n == 1 ? "Velorin Server" : "Velorin Server " + std::to_string(n);
            const std::int32_t destinationID = kOwnIDBase + 2 * n;
            const MIDIRefResult source = service_->createVirtualSource(client_, name, destinationID + 1);
            const MIDIRefResult destination =
                service_->createVirtualDestination(client_, name, destinationID, virtualInbox_.callback());
            ASSERT_EQ(source.status, 0);
            ASSERT_EQ(destination.status, 0);
            EXPECT_EQ(service_->setUniqueID(source.ref, destinationID + 1), 0);
            EXPECT_EQ(service_->setUniqueID(destination.ref, destinationID), 0);
            std::int32_t id = 0;
            EXPECT_EQ(service_->uniqueID(source.ref, id), 0);
            EXPECT_EQ(id, destinationID + 1);
        }
    }

    std::vector<MIDIObjectRef> named(std::string_view name, bool sources) {
        std::vector<MIDIObjectRef> found;
        const std::size_t count = sources ? service_->sourceCount() : service_->destinationCount();
        for (std::size_t i = 0; i < count; ++i) {
            const MIDIObjectRef ref = sources ? service_->source(i) : service_->destination(i);
            std::string displayName;
            if (service_->displayName(ref, displayName) == 0 && displayName == name) found.push_back(ref);
        }
        return found;
    }
    MIDIObjectRef findSource(std::string_view name) {
        const auto found = named(name, true);
        return found.empty() ? 0 : found.front();
    }
    MIDIObjectRef findDestination(std::string_view name) {
        const auto found = named(name, false);
        return found.empty() ? 0 : found.front();
    }
    bool logged(const std::string& line) {
        std::lock_guard lock(logMutex_);
        return std::find(logs_.begin(), logs_.end(), line) != logs_.end();
    }

    Notifications notifications_;
    Inbox inbox_;
    Inbox virtualInbox_;
    std::unique_ptr<AlsaMIDIService> service_;
    MIDIObjectRef client_ = 0;
    int clientNumber_ = -1;
    MIDIObjectRef input_ = 0;
    MIDIObjectRef output_ = 0;
    std::mutex logMutex_;
    std::vector<std::string> logs_;
};

TEST_F(AlsaSequencerTest, PublicPortsSitAtTheirFixedNumbersAcrossRestarts) {
    if (std::system("command -v aconnect >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "aconnect (alsa-utils) is missing";
    const std::map<int, std::string> expected = {{2, "Velorin Server"},   {3, "Velorin Server"},
                                                 {4, "Velorin Server 2"}, {5, "Velorin Server 2"},
                                                 {6, "Velorin Server 3"}, {7, "Velorin Server 3"}};
    ASSERT_NO_FATAL_FAILURE(createPublicPorts());
    // Only the public ports are listed; the connection ports stay hidden.
    EXPECT_EQ(aconnectPorts(clientNumber_), expected);
    for (std::size_t i = 0; i < service_->sourceCount(); ++i) {
        EXPECT_NE(alsaAddressFromRef(service_->source(i))->client, clientNumber_);
    }
    for (std::size_t i = 0; i < service_->destinationCount(); ++i) {
        EXPECT_NE(alsaAddressFromRef(service_->destination(i))->client, clientNumber_);
    }

    // An endpoint whose number is taken goes elsewhere and keeps its own ID.
    const MIDIRefResult extra = service_->createVirtualSource(client_, "Velorin Server", kOwnIDBase + 3);
    ASSERT_EQ(extra.status, 0);
    EXPECT_GE(alsaAddressFromRef(extra.ref)->port, 9);
    EXPECT_NE(service_->setUniqueID(extra.ref, kOwnIDBase + 3), 0);
    std::int32_t id = 0;
    EXPECT_EQ(service_->uniqueID(extra.ref, id), 0);
    EXPECT_NE(id, 0);
    EXPECT_NE(id, kOwnIDBase + 3);
    EXPECT_EQ(service_->disposeEndpoint(extra.ref), 0);
    EXPECT_LT(service_->disposeEndpoint(extra.ref), 0);
    EXPECT_LT(service_->disposeEndpoint(input_), 0);  // a port, not an endpoint
    EXPECT_EQ(service_->createClient("Velorin Server", nullptr).status, -EBUSY);

    ASSERT_EQ(service_->disposeClient(client_), 0);
    EXPECT_LT(service_->disposeClient(client_), 0);
    ASSERT_NO_FATAL_FAILURE(startClient());
    ASSERT_NO_FATAL_FAILURE(createPublicPorts());
    EXPECT_EQ(aconnectPorts(clientNumber_), expected);
}

TEST_F(AlsaSequencerTest, PortsComingAndGoingAreNotifiedButOwnConnectionsAreNot) {
    auto peer = std::make_unique<SequencerPeer>("Velorin Test Notifier");
    ASSERT_EQ(peer->status(), 0);
    std::size_t mark = notifications_.size();
    const int port = peer->createPort("Notifier Out", SequencerPeer::kReadable);
    ASSERT_GE(port, 0);
    EXPECT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectAdded));
    mark = notifications_.size();
    ASSERT_EQ(peer->deletePort(port), 0);
    EXPECT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectRemoved));

    mark = notifications_.size();
    ASSERT_GE(peer->createPort("Notifier Out", SequencerPeer::kReadable), 0);
    ASSERT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectAdded));
    const MIDIObjectRef source = findSource("Notifier Out");
    ASSERT_NE(source, 0u);
    mark = notifications_.size();
    ASSERT_EQ(service_->connectSource(input_, source, source), 0);
    ASSERT_EQ(service_->disconnectSource(input_, source), 0);
    ASSERT_EQ(service_->connectSource(input_, source, source), 0);
    // Announcements arrive in order: once the marker port's is seen, any
    // notification for the subscriptions above would have come before it.
    ASSERT_GE(peer->createPort("Notifier Marker", SequencerPeer::kReadable), 0);
    ASSERT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectAdded));
    EXPECT_EQ(notifications_.since(mark), std::vector<std::int32_t>{2});

    mark = notifications_.size();
    peer.reset();
    EXPECT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectRemoved));
}

TEST_F(AlsaSequencerTest, ASourceKeepsItsUniqueIDUnderANewClientNumber) {
    auto keyboard = std::make_unique<SequencerPeer>("Velorin Test Keyboard");
    ASSERT_GE(keyboard->createPort("Keys Out", SequencerPeer::kReadable), 0);
    const int firstClient = keyboard->client();
    const MIDIObjectRef firstRef = findSource("Keys Out");
    ASSERT_NE(firstRef, 0u);
    std::int32_t firstID = 0;
    ASSERT_EQ(service_->uniqueID(firstRef, firstID), 0);
    EXPECT_NE(firstID, 0);

    keyboard.reset();
    const SequencerPeer filler("Velorin Test Filler");  // takes the number the keyboard had
    keyboard = std::make_unique<SequencerPeer>("Velorin Test Keyboard");
    ASSERT_GE(keyboard->createPort("Keys Out", SequencerPeer::kReadable), 0);
    ASSERT_NE(keyboard->client(), firstClient);
    const MIDIObjectRef secondRef = findSource("Keys Out");
    ASSERT_NE(secondRef, firstRef);
    std::int32_t secondID = 0;
    ASSERT_EQ(service_->uniqueID(secondRef, secondID), 0);
    EXPECT_EQ(secondID, firstID);
    std::int32_t gone = 0;
    EXPECT_LT(service_->uniqueID(firstRef, gone), 0);

    // An identical second keyboard gets an ID of its own; the first keeps its.
    SequencerPeer twin("Velorin Test Keyboard");
    ASSERT_GE(twin.createPort("Keys Out", SequencerPeer::kReadable), 0);
    const auto both = named("Keys Out", true);
    ASSERT_EQ(both.size(), 2u);
    std::int32_t ids[2] = {};
    ASSERT_EQ(service_->uniqueID(both[0], ids[0]), 0);
    ASSERT_EQ(service_->uniqueID(both[1], ids[1]), 0);
    EXPECT_EQ(ids[0], firstID);
    EXPECT_NE(ids[1], firstID);
    EXPECT_NE(ids[1], 0);
}

TEST_F(AlsaSequencerTest, ASourceRenamedIsCalledByItsNewNameAfterTheNextAnnouncement) {
    SequencerPeer peer("Velorin Test Rename");
    const int out = peer.createPort("Before", SequencerPeer::kReadable);
    ASSERT_GE(out, 0);
    const MIDIObjectRef source = findSource("Before");
    ASSERT_NE(source, 0u);
    ASSERT_EQ(peer.renamePort(out, "After"), 0);
    // Announcements arrive in order: once the marker's is seen, the rename is known.
    const std::size_t mark = notifications_.size();
    ASSERT_GE(peer.createPort("Rename Marker", SequencerPeer::kReadable), 0);
    ASSERT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectAdded));
    std::string name;
    ASSERT_EQ(service_->displayName(source, name), 0);
    EXPECT_EQ(name, "After");
}

TEST_F(AlsaSequencerTest, AProgramThatSubscribesAfterWePublishedGetsEveryNote) {
    const MIDIRefResult source = service_->createVirtualSource(client_, "Velorin Server", kOwnIDBase + 3);
    ASSERT_EQ(source.status, 0);
    const Bytes note{0x90, 0x3C, 0x40};
    // Published while nobody listens: the service learns of no subscriber.
    ASSERT_EQ(service_->publish(source.ref, note), 0);
    SequencerPeer late("Velorin Test Late");
    const int in = late.createPort("Late In", SequencerPeer::kWritable);
    ASSERT_GE(in, 0);
    late.startReceiving();
    ASSERT_EQ(late.subscribeFrom(in, {clientNumber_, 3}), 0);
    const std::size_t mark = notifications_.size();
    ASSERT_GE(late.createPort("Late Marker", SequencerPeer::kReadable), 0);
    ASSERT_TRUE(notifications_.waitFor(mark, MIDINotificationMessageID::objectAdded));
    // Its default pool (200 events) holds them all only because the service
    // waits for it to read.
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(service_->publish(source.ref, note), 0);
    EXPECT_TRUE(late.waitUntil([](const auto& inbox) { return inbox.events.size() >= 10000; }, 30s));
    EXPECT_EQ(late.inbox().overruns, 0);
}

TEST_F(AlsaSequencerTest, SendAndPublishReachAnotherProgram) {
    auto synth = std::make_unique<SequencerPeer>("Velorin Test Synth");
    const int in = synth->createPort("Synth In", SequencerPeer::kWritable);
    ASSERT_GE(in, 0);
    synth->startReceiving();
    const MIDIObjectRef destination = findDestination("Synth In");
    ASSERT_NE(destination, 0u);

    ASSERT_EQ(service_->send(output_, destination, Bytes{0x90, 0x3C, 0x64}), 0);
    ASSERT_EQ(service_->send(output_, destination, Bytes{0xC1, 0x05}), 0);
    ASSERT_TRUE(synth->waitUntil([](const auto& inbox) { return inbox.events.size() >= 2; }, 10s));
    auto events = synth->inbox().events;
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(events[0].data.note.channel, 0);
    EXPECT_EQ(events[0].data.note.note, 0x3C);
    EXPECT_EQ(events[0].data.note.velocity, 0x64);
    EXPECT_EQ(events[0].source.client, clientNumber_);
    EXPECT_EQ(events[1].type, SND_SEQ_EVENT_PGMCHANGE);
    EXPECT_EQ(events[1].data.control.channel, 1);
    EXPECT_EQ(events[1].data.control.value, 5);

    const MIDIRefResult source = service_->createVirtualSource(client_, "Velorin Server", kOwnIDBase + 3);
    ASSERT_EQ(source.status, 0);
    ASSERT_EQ(synth->subscribeFrom(in, {clientNumber_, 3}), 0);
    ASSERT_EQ(service_->publish(source.ref, Bytes{0xB0, 0x07, 0x64}), 0);
    ASSERT_TRUE(synth->waitUntil([](const auto& inbox) { return inbox.events.size() >= 3; }, 10s));
    events = synth->inbox().events;
    EXPECT_EQ(events[2].type, SND_SEQ_EVENT_CONTROLLER);
    EXPECT_EQ(events[2].data.control.param, 7u);
    EXPECT_EQ(events[2].data.control.value, 0x64);
    EXPECT_EQ(events[2].source.port, 3);

    // A destination that went away answers with its error; publishing to no
    // one is not an error.
    synth.reset();
    EXPECT_LT(service_->send(output_, destination, Bytes{0x90, 0x3C, 0x64}), 0);
    EXPECT_LT(service_->send(output_, destination, makeSysEx(4096)), 0);
    EXPECT_EQ(service_->publish(source.ref, Bytes{0x90, 0x3C, 0x64}), 0);
    EXPECT_LT(service_->send(input_, destination, Bytes{0x90, 0x3C, 0x64}), 0);
}

TEST_F(AlsaSequencerTest, ConnectedSourcesAndVirtualDestinationsDeliverWithTheirContext) {
    SequencerPeer keys("Velorin Test Keys");
    const int out = keys.createPort("Keys Out", SequencerPeer::kReadable);
    const int aux = keys.createPort("Keys Aux", SequencerPeer::kReadable);
    ASSERT_GE(out, 0);
    ASSERT_GE(aux, 0);
    const MIDIObjectRef source = findSource("Keys Out");
    ASSERT_NE(source, 0u);
    ASSERT_EQ(service_->connectSource(input_, source, source), 0);
    const MIDIRefResult destination = service_->createVirtualDestination(
        client_, "Velorin Server", kOwnIDBase + 2, virtualInbox_.callback());
    ASSERT_EQ(destination.status, 0);
    const SequencerPeer::Address ourInput{clientNumber_, 1};
    const SequencerPeer::Address ourDestination{clientNumber_, alsaAddressFromRef(destination.ref)->port};

    ASSERT_EQ(keys.send(out, std::nullopt, noteOn(0, 0x3C, 0x64)), 0);
    ASSERT_TRUE(inbox_.waitForPackets(1));
    EXPECT_EQ(inbox_.state().packets[0].context, source);
    EXPECT_EQ(inbox_.state().packets[0].bytes, (Bytes{0x90, 0x3C, 0x64}));

    // Sent straight to our input port by a source we did not connect: not heard.
    ASSERT_EQ(keys.send(aux, ourInput, noteOn(0, 0x3D, 0x64)), 0);
    ASSERT_EQ(keys.send(aux, ourDestination, controller(2, 7, 100)), 0);
    ASSERT_TRUE(virtualInbox_.waitForPackets(1));
    EXPECT_EQ(virtualInbox_.state().packets[0].context, 0u);
    EXPECT_EQ(virtualInbox_.state().packets[0].bytes, (Bytes{0xB2, 0x07, 0x64}));

    ASSERT_EQ(service_->disconnectSource(input_, source), 0);
    ASSERT_EQ(keys.send(out, ourInput, noteOn(0, 0x3E, 0x64)), 0);
    ASSERT_EQ(keys.send(aux, ourDestination, controller(2, 7, 101)), 0);
    ASSERT_TRUE(virtualInbox_.waitForPackets(2));
    EXPECT_EQ(inbox_.state().packets.size(), 1u);

    // After its disposal the endpoint hears nothing and cannot be reached.
    ASSERT_EQ(service_->disposeEndpoint(destination.ref), 0);
    EXPECT_LT(keys.send(aux, ourDestination, controller(2, 7, 102)), 0);
}

// Read on a queue's own thread (the engine's), callbacks run between that
// thread's jobs and may change the ports under the reader's feet: a
// destination that disposes itself hears nothing more of the burst it was in,
// and an input that closes the whole client ends the read cleanly.
TEST(AlsaSequencerOnAQueue, CallbacksRunOnTheQueuesThreadAndMayDisposeTheirOwnPorts) {
    if (::access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "No ALSA sequencer on this machine";
    QueueThread thread;
    MainQueue& queue = thread.queue();
    std::unique_ptr<AlsaMIDIService> service;
    // Per callback: on the queue's thread, and its first packet.
    Shared<std::vector<std::pair<bool, Bytes>>> heard;
    MIDIObjectRef client = 0;
    MIDIObjectRef input = 0;
    MIDIObjectRef destination = 0;
    const auto record = [&](MIDIPacketList& packets) {
        heard.change(
            [&](auto& list) { list.emplace_back(queue.isMainThread(), std::move(packets.front())); });
    };
    const auto open = [&] {
        client = service->createClient("Velorin Server", [](std::int32_t) {}).ref;
        input = service
                    ->createInputPort(client, "Velorin Server Input",
                                      [&](MIDIPacketList&& packets, MIDIObjectRef) {
                                          record(packets);
                                          service->disposeClient(client);
                                      })
                    .ref;
        destination = service
                          ->createVirtualDestination(client, "Velorin Server", kOwnIDBase + 2,
                                                     [&](MIDIPacketList&& packets, MIDIObjectRef) {
                                                         record(packets);
                                                         service->disposeEndpoint(destination);
                                                     })
                          .ref;
    };
    ASSERT_TRUE(thread.runAndWait([&] {
        service = std::make_unique<AlsaMIDIService>([](std::string) {}, &queue);
        open();
    }));
    ASSERT_NE(destination, 0u);
    const int clientNumber = alsaClientFromRef(client).value_or(-1);
    SequencerPeer keys("Velorin Test Keys");
    const int out = keys.createPort("Keys Out", SequencerPeer::kReadable);
    const int aux = keys.createPort("Keys Aux", SequencerPeer::kReadable);
    ASSERT_GE(out, 0);
    ASSERT_GE(aux, 0);
    const SequencerPeer::Address ourDestination{clientNumber, alsaAddressFromRef(destination)->port};
    const auto heardCount = [&] { return heard.read([](const auto& list) { return list.size(); }); };

    // Both notes are in the kernel before the reader wakes; the second, from
    // another source, is handed over on its own and finds no port.
    ASSERT_TRUE(thread.runAndWait([&] {
        EXPECT_EQ(keys.send(out, ourDestination, noteOn(0, 0x3C, 0x64)), 0);
        EXPECT_EQ(keys.send(aux, ourDestination, noteOn(0, 0x3D, 0x64)), 0);
    }));
    ASSERT_TRUE(heard.waitUntil([](const auto& list) { return !list.empty(); }));

    // The input closes the client on its first note; the rest of the burst is not read.
    MIDIObjectRef source = 0;
    ASSERT_TRUE(thread.runAndWait([&] {
        for (std::size_t i = 0; i < service->sourceCount(); ++i) {
            std::string name;
            if (service->displayName(service->source(i), name) == 0 && name == "Keys Out") {
                source = service->source(i);
            }
        }
        EXPECT_EQ(service->connectSource(input, source, source), 0);
        for (int note = 0x40; note < 0x48; ++note)
            EXPECT_EQ(keys.send(out, std::nullopt, noteOn(0, note, 1)), 0);
    }));
    ASSERT_NE(source, 0u);
    ASSERT_TRUE(heard.waitUntil([](const auto& list) { return list.size() >= 2; }));
    // A new client on the same service reads again.
    ASSERT_TRUE(thread.runAndWait([&] { open(); }));
    ASSERT_NE(destination, 0u);
    const SequencerPeer::Address newDestination{alsaClientFromRef(client).value_or(-1),
                                                alsaAddressFromRef(destination)->port};
    ASSERT_EQ(keys.send(out, newDestination, noteOn(0, 0x50, 0x64)), 0);
    ASSERT_TRUE(heard.waitUntil([](const auto& list) { return list.size() >= 3; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(heardCount(), 3u);
    heard.read([](const auto& list) {
        for (const auto& [onQueue, bytes] : list) EXPECT_TRUE(onQueue);
        EXPECT_EQ(list[0].second, (Bytes{0x90, 0x3C, 0x64}));
        EXPECT_EQ(list[1].second, (Bytes{0x90, 0x40, 0x01}));
        EXPECT_EQ(list[2].second, (Bytes{0x90, 0x50, 0x64}));
        return 0;
    });
    thread.runAndWait([&] { service.reset(); });
}

class AlsaSysExTest : public AlsaSequencerTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(AlsaSysExTest, PassesByteExactBothWays) {
    const Bytes message = makeSysEx(GetParam());
    SequencerPeer peer("Velorin Test SysEx");
    const int in = peer.createPort("SysEx In", SequencerPeer::kWritable);
    const int out = peer.createPort("SysEx Out", SequencerPeer::kReadable);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    peer.startReceiving();
    const auto seconds = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };

    // Out: the peer keeps the kernel's default input pool (200 cells, about
    // 5 KiB), so the service has to pace the chunks to what it has read.
    auto start = Clock::now();
    ASSERT_EQ(service_->send(output_, findDestination("SysEx In"), message), 0);
    const auto arrivedOrLost = [&](std::size_t size) {
        return [&, size](const SequencerPeer::Inbox& inbox) {
            return inbox.sysex.size() >= size || inbox.overruns > 0;
        };
    };
    ASSERT_TRUE(peer.waitUntil(arrivedOrLost(message.size()), 60s));
    const double sendSeconds = seconds(start);
    EXPECT_EQ(peer.inbox().overruns, 0);
    EXPECT_TRUE(peer.inbox().sysex == message);

    const MIDIRefResult source = service_->createVirtualSource(client_, "Velorin Server", kOwnIDBase + 3);
    ASSERT_EQ(source.status, 0);
    ASSERT_EQ(peer.subscribeFrom(in, {clientNumber_, 3}), 0);
    ASSERT_EQ(service_->publish(source.ref, message), 0);
    ASSERT_TRUE(peer.waitUntil(arrivedOrLost(2 * message.size()), 60s));
    const auto received = peer.inbox();
    EXPECT_EQ(received.overruns, 0);
    EXPECT_TRUE(Bytes(received.sysex.begin() + static_cast<std::ptrdiff_t>(message.size()),
                      received.sysex.end()) == message);

    // In: the peer sends in chunks of its own size and keeps at most 32 KiB
    // that our callback has not seen in flight.
    const MIDIObjectRef peerSource = findSource("SysEx Out");
    ASSERT_EQ(service_->connectSource(input_, peerSource, peerSource), 0);
    start = Clock::now();
    ASSERT_EQ(peer.sendSysEx(out, std::nullopt, message, 1000,
                             [&](std::size_t sent) { return sent <= inbox_.bytes() + 32 * 1024; }),
              0);
    ASSERT_TRUE(inbox_.waitUntil([&](const Received& state) { return state.bytes >= message.size(); }, 60s));
    const double receiveSeconds = seconds(start);
    Bytes joined;
    for (const auto& packet : inbox_.state().packets) {
        EXPECT_EQ(packet.context, peerSource);
        joined.insert(joined.end(), packet.bytes.begin(), packet.bytes.end());
    }
    EXPECT_TRUE(joined == message);
    EXPECT_FALSE(logged("[MIDI] Input overrun: events were lost (status -28)"));
    std::cout << "[ timing ] " << message.size() << " bytes of SysEx: send " << sendSeconds << " s, receive "
              << receiveSeconds << " s\n";
}

INSTANTIATE_TEST_SUITE_P(Sizes, AlsaSysExTest, ::testing::Values(std::size_t{4096}, std::size_t{1} << 20),
                         [](const auto& sizeInfo) { return sizeInfo.param == 4096 ? "FourKiB" : "OneMiB"; });

TEST_F(AlsaSequencerTest, AFloodIsSurvivedInBoundedMemory) {
    const long residentBefore = residentKiB();
    SequencerPeer drummer("Velorin Test Flood");
    const int out = drummer.createPort("Flood Out", SequencerPeer::kReadable);
    ASSERT_GE(out, 0);
    ASSERT_GE(drummer.createPort("Flood In", SequencerPeer::kWritable), 0);
    drummer.startReceiving();
    const MIDIObjectRef source = findSource("Flood Out");
    ASSERT_EQ(service_->connectSource(input_, source, source), 0);

    // Our callback stalls while a backlog that fits our queue builds up; it is
    // then handed on in bounded pieces.
    const auto flood = [&](int count) {
        drummer.setRetryBudget(0ms);
        for (int i = 0; i < count; ++i) {
            const int status = drummer.send(out, std::nullopt, noteOn(i % 16, i % 128, 1 + i % 127));
            ASSERT_TRUE(status == 0 || status == -EAGAIN) << status;
        }
        drummer.setRetryBudget(5s);
    };
    inbox_.hold(true);
    ASSERT_NO_FATAL_FAILURE(flood(1500));
    EXPECT_EQ(drummer.sendFailures(), 0);
    inbox_.hold(false);
    ASSERT_TRUE(inbox_.waitForPackets(1500));
    EXPECT_GT(inbox_.state().largestCall, 1u);
    EXPECT_LE(inbox_.state().largestCall, AlsaReceiveBatch::kMaxEvents);

    // Now a flood far beyond our queue: the sender is refused and the kernel
    // empties our queue.
    inbox_.hold(true);
    auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(flood(10000));
    const int refused = drummer.sendFailures();
    EXPECT_GT(refused, 0);
    inbox_.hold(false);
    // Whatever was lost, what comes after the flood is heard.
    bool heard = false;
    for (int attempt = 0; attempt < 20 && !heard; ++attempt) {
        ASSERT_EQ(drummer.send(out, std::nullopt, controller(0, 119, attempt)), 0);
        heard =
            inbox_.waitUntil([](const Received& state) { return state.packets.back().bytes[0] == 0xB0; }, 2s);
    }
    const double inSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(heard);
    EXPECT_TRUE(logged("[MIDI] Input overrun: events were lost (status -28)"));
    const Received state = inbox_.state();
    EXPECT_LE(state.largestCall, AlsaReceiveBatch::kMaxEvents);
    for (const auto& packet : state.packets) {
        ASSERT_EQ(packet.bytes.size(), 3u);
        ASSERT_TRUE((packet.bytes[0] & 0xF0) == 0x90 || packet.bytes[0] == 0xB0);
    }

    // The other way: a program with the kernel's default pool (200 events)
    // gets every note, because the service waits for it to read.
    const MIDIObjectRef destination = findDestination("Flood In");
    start = Clock::now();
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(service_->send(output_, destination, Bytes{0x90, static_cast<std::uint8_t>(i % 128), 0x40}),
                  0);
    }
    const double outSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(drummer.waitUntil([](const auto& inbox) { return inbox.events.size() >= 10000; }, 30s));
    EXPECT_EQ(drummer.inbox().overruns, 0);
    EXPECT_LT(residentKiB() - residentBefore, 64 * 1024);
    std::cout << "[ timing ] flood in: " << state.packets.size() - 1500 << " of 10000 heard, " << refused
              << " refused, largest call " << state.largestCall << " packets, " << inSeconds
              << " s; flood out: " << drummer.inbox().events.size() << " of 10000 received, " << outSeconds
              << " s\n";
}

TEST_F(AlsaSequencerTest, AProgramThatStopsReadingKeepsItsQueueAndDoesNotHoldUsUp) {
    SequencerPeer idle("Velorin Test Idle");  // reads nothing until told
    ASSERT_GE(idle.createPort("Idle In", SequencerPeer::kWritable), 0);
    const MIDIObjectRef destination = findDestination("Idle In");
    const Bytes note{0x90, 0x3C, 0x40};
    int delivered = 0;
    MIDIStatus status = 0;
    while (delivered < 1000 && (status = service_->send(output_, destination, note)) == 0) ++delivered;
    EXPECT_EQ(status, -EAGAIN);
    EXPECT_GE(delivered, 100);
    // While it stays full, sends fail without waiting a whole budget each.
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(service_->send(output_, destination, note), -EAGAIN);
    EXPECT_LT(Clock::now() - start, 10 * AlsaEventWriter::kBudget / 2);
    // Nothing was forced on it, so the kernel kept its queue.
    idle.startReceiving();
    EXPECT_TRUE(idle.waitUntil(
        [&](const auto& inbox) { return inbox.events.size() >= std::size_t(delivered); }, 10s));
    EXPECT_EQ(idle.inbox().overruns, 0);
    EXPECT_EQ(idle.inbox().events.size(), std::size_t(delivered));
}

}  // namespace
}  // namespace velorin
