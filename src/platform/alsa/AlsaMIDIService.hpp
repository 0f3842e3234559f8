// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/MIDIService.hpp"
#include "core/MainQueue.hpp"
#include "platform/alsa/AlsaEndpointIdentity.hpp"

// libasound's handle and event types, declared as libasound declares them, so
// that users of this header need not see the library.
struct pollfd;
extern "C" {
typedef struct _snd_seq snd_seq_t;
typedef struct snd_seq_event snd_seq_event_t;
}

namespace velorin {

class AlsaEventDecoder;
class AlsaEventEncoder;
class AlsaReceiveBatch;
class AlsaSubscriberCache;

// The operating system's MIDI service on the ALSA sequencer.
//
// One sequencer client per object. Its hidden ports: 0 listens to the System
// Announce port for setup notifications, 1 is the input port that connected
// sources are subscribed to, 8 is the output port that sends to destinations.
// Virtual endpoints are subscribable ports of the client; those created with
// one of the app's fixed unique IDs 0x564C0002..7 sit at port numbers 2..7,
// so other programs find them again after a restart, the others at 9 and up.
// Endpoint references encode the sequencer address (0x10000 | client << 8 |
// port). ALSA has no unique IDs: they are synthesized from client and port
// names (see AlsaEndpointIdentity).
//
// The sequencer is read, its events turned into packets and the receive and
// notification callbacks called, either on a queue's own thread (given at
// construction: the engine's, so a note needs no hand-over between threads and
// the callbacks may handle it at once) or on a reader thread of the service's
// own. Either stops when the client is disposed. Statuses are negative errnos.
// Nothing here throws.
class AlsaMIDIService final : public MIDIService {
public:
    // Thread-safe; takes one plain log line beginning with "[MIDI]".
    using LogHandler = std::function<void(std::string)>;

    // `readOn`: the queue whose thread reads the sequencer and runs the
    // callbacks, and makes every other call; null for a reader thread.
    explicit AlsaMIDIService(LogHandler log, MainQueue* readOn = nullptr);
    ~AlsaMIDIService() override;
    AlsaMIDIService(const AlsaMIDIService&) = delete;
    AlsaMIDIService& operator=(const AlsaMIDIService&) = delete;

    // 0 when the sequencer device can be opened, else the negative errno.
    static MIDIStatus probe();
    // This service when the sequencer can be opened, else a NullMIDIService
    // that answers every operation with the reason.
    static std::unique_ptr<MIDIService> createSystemService(LogHandler log);

    MIDIRefResult createClient(std::string_view name, NotifyCallback notify) override;
    MIDIRefResult createInputPort(MIDIObjectRef client, std::string_view name,
                                  ReceiveCallback receive) override;
    MIDIRefResult createOutputPort(MIDIObjectRef client, std::string_view name) override;

    MIDIStatus connectSource(MIDIObjectRef inputPort, MIDIObjectRef source, MIDIObjectRef context) override;
    MIDIStatus disconnectSource(MIDIObjectRef inputPort, MIDIObjectRef source) override;

    std::size_t sourceCount() override;
    MIDIObjectRef source(std::size_t index) override;
    std::size_t destinationCount() override;
    MIDIObjectRef destination(std::size_t index) override;

    MIDIStatus uniqueID(MIDIObjectRef endpoint, std::int32_t& id) const override;
    MIDIStatus displayName(MIDIObjectRef endpoint, std::string& name) const override;
    MIDIStatus setUniqueID(MIDIObjectRef endpoint, std::int32_t id) override;

    MIDIRefResult createVirtualSource(MIDIObjectRef client, std::string_view name,
                                      std::int32_t intendedUniqueID) override;
    MIDIRefResult createVirtualDestination(MIDIObjectRef client, std::string_view name,
                                           std::int32_t intendedUniqueID, ReceiveCallback receive) override;

    MIDIStatus send(MIDIObjectRef outputPort, MIDIObjectRef destination,
                    std::span<const std::uint8_t> bytes) override;
    MIDIStatus publish(MIDIObjectRef virtualSource, std::span<const std::uint8_t> bytes) override;

    MIDIStatus disposeEndpoint(MIDIObjectRef endpoint) override;
    MIDIStatus disposePort(MIDIObjectRef port) override;
    MIDIStatus disposeClient(MIDIObjectRef client) override;

private:
    enum class PortKind { input, output, virtualSource, virtualDestination };
    struct OwnPort {
        PortKind kind;
        // Shared so that a callback that disposes its own port runs to its end.
        std::shared_ptr<const ReceiveCallback> receive;
    };
    struct ScannedEndpoint {
        MIDIObjectRef ref = 0;
        std::int32_t uniqueID = 0;
        std::string displayName;
        bool source = false;
        bool destination = false;
        bool own = false;
    };

    bool ownsClient(MIDIObjectRef client) const;
    // The number of our port `ref` names, when `accepts` its kind. (Defined
    // here: every message sent asks.)
    template <class Accepts>
    std::optional<int> ownPortNumber(MIDIObjectRef ref, Accepts accepts) const {
        const auto address = alsaAddressFromRef(ref);
        if (seq_ == nullptr || !address || address->client != clientId_) return std::nullopt;
        const auto port = ownPorts_.find(address->port);
        if (port == ownPorts_.end() || !accepts(port->second.kind)) return std::nullopt;
        return address->port;
    }
    MIDIStatus createOwnPort(int number, std::string_view name, unsigned int capability, unsigned int type);
    MIDIRefResult createFixedPort(MIDIObjectRef client, int number, std::string_view name, PortKind kind,
                                  ReceiveCallback receive);
    MIDIRefResult createVirtualPort(MIDIObjectRef client, std::string_view name,
                                    std::int32_t intendedUniqueID, PortKind kind, ReceiveCallback receive);
    MIDIStatus deleteOwnPort(MIDIObjectRef ref, bool (*accepts)(PortKind));
    MIDIStatus deliver(int sourcePort, std::optional<AlsaAddress> destination,
                       std::span<const std::uint8_t> bytes);
    MIDIStatus closeClient();

    // Under scanMutex_.
    void rescanLocked() const;
    const ScannedEndpoint* findLocked(MIDIObjectRef ref) const;

    // The reader thread.
    MIDIStatus startReader();
    void stopReader();
    void readerLoop();
    // The queue's watch of the sequencer (with `readOn`).
    void readReady();
    // The queue's wait when the sequencer is all it watches: sleeps in the
    // read itself, then handles what came as readReady() does.
    void readBlocking();
    // What ends a blocking read of ours when written to the sequencer.
    std::vector<std::uint8_t> blockingReadWakeMessage() const;
    void withdrawBlockingReader();
    // The descriptor stays blocking from one wait in its read to the next
    // poll: only reads wait on it (a direct event's write never does), and
    // only the wait reads from the kernel, the rest from libasound's buffer.
    void setReadsBlock(bool block);
    // Takes what the sequencer holds for us. With `blockingStatus`, the first
    // read waits for an event and its status is stored there.
    std::size_t drainInput(AlsaReceiveBatch& batch, AlsaEventDecoder& decoder, int* blockingStatus = nullptr);
    void handleAnnouncement(const snd_seq_event_t& event);
    void flush(AlsaReceiveBatch& batch);
    void logOverrun(MIDIStatus status);

    void logLine(std::string line) const;

    LogHandler log_;
    // Set and cleared on the engine thread under scanMutex_; the reader thread
    // uses it between its start and its join.
    snd_seq_t* seq_ = nullptr;
    int clientId_ = -1;
    // The kernel sequencer's descriptor, for reading receivers' pools; -1 when
    // the handle is not the kernel's.
    int sequencerFd_ = -1;
    int stopFd_ = -1;
    std::unique_ptr<AlsaEventEncoder> encoder_;
    NotifyCallback notify_;
    MainQueue* readQueue_ = nullptr;
    // With a read queue: its watches of the sequencer, and the reader's state.
    std::vector<TaskHandle> readWatches_;
    std::vector<pollfd> readDescriptors_;
    std::unique_ptr<AlsaEventDecoder> queueDecoder_;
    std::unique_ptr<AlsaReceiveBatch> queueBatch_;
    int idleWakeups_ = 0;
    // The descriptor's flags (non-blocking) while the read queue waits in
    // readBlocking(); none when it polls.
    std::optional<int> blockingReadFlags_;
    bool readsBlock_ = false;
    std::thread reader_;
    std::atomic<bool> stopRequested_{false};
    std::optional<std::chrono::steady_clock::time_point> lastOverrunLog_;

    // Our ports and the contexts of connected sources (by source address).
    // Changed on the engine thread under dispatchMutex_; the reader thread reads
    // them and runs the receive callbacks under it, so after a disposal
    // returns no callback of that port runs.
    mutable std::mutex dispatchMutex_;
    std::map<int, OwnPort> ownPorts_;
    std::unordered_map<std::uint32_t, MIDIObjectRef> contexts_;

    // The last scan of the system's endpoints, in address order, with their
    // unique IDs. Any thread; announcements mark it stale.
    mutable std::mutex scanMutex_;
    mutable std::vector<ScannedEndpoint> scanned_;
    mutable bool scanValid_ = false;
    mutable std::atomic<bool> scanStale_{false};

    // What the last sourceCount() / destinationCount() saw (engine thread).
    std::vector<MIDIObjectRef> sources_;
    std::vector<MIDIObjectRef> destinations_;
    // Receivers that stopped reading (engine thread; see AlsaEventWriter).
    std::map<int, std::chrono::steady_clock::time_point> stalledReceivers_;
    // Our ports' subscribers (engine thread; the reader invalidates it).
    std::unique_ptr<AlsaSubscriberCache> subscribers_;
    // Destinations the output port is subscribed to (engine thread): a kernel
    // client such as a hardware port or a virtual raw MIDI device opens its
    // device only for a write subscription and ignores events without one.
    std::set<std::uint32_t> subscribedDestinations_;
};

}  // namespace velorin
