// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/alsa/AlsaMIDIService.hpp"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "core/NullMIDIService.hpp"
#include "platform/alsa/AlsaEventCodec.hpp"
#include "platform/alsa/AlsaEventWriter.hpp"
#include "platform/linux/RealtimePriority.hpp"

namespace velorin {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Our hidden ports.
constexpr int kAnnouncePort = 0;
constexpr int kInputPort = 1;
constexpr int kOutputPort = 8;
// Virtual endpoints without a fixed number start here.
constexpr int kFirstFreePort = 9;
constexpr int kLastPort = 253;

// The largest input pool the kernel gives a client (cells of 28 bytes), and a
// read buffer that holds the largest event such a pool can hold: an event
// larger than the read buffer could never be read and would stall the input.
constexpr int kInputPoolCells = 2000;
constexpr std::size_t kInputBufferBytes = 128 * 1024;

// The reader runs one above the engine thread, so input is taken off the
// sequencer before the engine turns to it.
constexpr int kReaderPriority = RealtimePriority::kDefaultPriority + 1;

// Wake-ups in a row that found input pending but could read none: the input
// is stuck, so it is dropped.
constexpr int kMaxIdleWakeups = 64;

constexpr unsigned int kEndpointType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
constexpr unsigned int kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned int kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

// libasound's info containers, freed on scope exit.
template <typename T, int (*Allocate)(T**), void (*Release)(T*)>
class AlsaInfo {
public:
    AlsaInfo() {
        if (Allocate(&info_) < 0) info_ = nullptr;
    }
    ~AlsaInfo() {
        if (info_ != nullptr) Release(info_);
    }
    AlsaInfo(const AlsaInfo&) = delete;
    AlsaInfo& operator=(const AlsaInfo&) = delete;

    T* get() const { return info_; }
    explicit operator bool() const { return info_ != nullptr; }

private:
    T* info_ = nullptr;
};
using ClientInfo = AlsaInfo<snd_seq_client_info_t, snd_seq_client_info_malloc, snd_seq_client_info_free>;
using PortInfo = AlsaInfo<snd_seq_port_info_t, snd_seq_port_info_malloc, snd_seq_port_info_free>;

bool hasCaps(unsigned int caps, unsigned int wanted) {
    return (caps & wanted) == wanted;
}

std::uint32_t addressKey(AlsaAddress address) {
    return (static_cast<std::uint32_t>(address.client) << 8) | static_cast<std::uint32_t>(address.port);
}

}  // namespace

AlsaMIDIService::AlsaMIDIService(LogHandler log, MainQueue* readOn)
    : log_(std::move(log)), readQueue_(readOn), subscribers_(std::make_unique<AlsaSubscriberCache>()) {}

AlsaMIDIService::~AlsaMIDIService() {
    if (seq_ != nullptr) closeClient();
}

MIDIStatus AlsaMIDIService::probe() {
    // Opening the device is what snd_seq_open does for the kernel sequencer;
    // done directly, a machine without one is not reported on stderr.
    const int fd = ::open("/dev/snd/seq", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    ::close(fd);
    return 0;
}

std::unique_ptr<MIDIService> AlsaMIDIService::createSystemService(LogHandler log) {
    if (const MIDIStatus status = probe(); status != 0) return std::make_unique<NullMIDIService>(status);
    return std::make_unique<AlsaMIDIService>(std::move(log));
}

// ---- Client and ports ----

MIDIRefResult AlsaMIDIService::createClient(std::string_view name, NotifyCallback notify) {
    if (seq_ != nullptr) return {-EBUSY, 0};
    snd_seq_t* seq = nullptr;
    int status = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (status < 0) return {status, 0};
    const std::string clientName(name);
    status = snd_seq_set_client_name(seq, clientName.c_str());
    if (status >= 0) status = snd_seq_client_id(seq);
    if (status < 0) {
        snd_seq_close(seq);
        return {status, 0};
    }
    {
        std::lock_guard lock(scanMutex_);
        seq_ = seq;
        clientId_ = status;
        scanValid_ = false;
    }
    // Room for bursts and long SysEx. A smaller pool only costs overruns,
    // which are handled, so failures here are not fatal.
    snd_seq_set_client_pool_input(seq_, kInputPoolCells);
    snd_seq_set_input_buffer_size(seq_, kInputBufferBytes);
    if (snd_seq_type(seq_) == SND_SEQ_TYPE_HW) {
        pollfd descriptor{};
        if (snd_seq_poll_descriptors(seq_, &descriptor, 1, POLLIN) == 1) sequencerFd_ = descriptor.fd;
    }

    encoder_ = std::make_unique<AlsaEventEncoder>();
    status = encoder_->status();
    if (status >= 0) {
        status =
            createOwnPort(kAnnouncePort, clientName + " Announcements",
                          SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, SND_SEQ_PORT_TYPE_APPLICATION);
    }
    if (status >= 0) {
        status =
            snd_seq_connect_from(seq_, kAnnouncePort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    }
    if (status >= 0) {
        notify_ = std::move(notify);
        status = startReader();
    }
    if (status < 0) {
        closeClient();
        return {status, 0};
    }
    return {0, alsaClientRef(clientId_)};
}

MIDIRefResult AlsaMIDIService::createInputPort(MIDIObjectRef client, std::string_view name,
                                               ReceiveCallback receive) {
    return createFixedPort(client, kInputPort, name, PortKind::input, std::move(receive));
}

MIDIRefResult AlsaMIDIService::createOutputPort(MIDIObjectRef client, std::string_view name) {
    return createFixedPort(client, kOutputPort, name, PortKind::output, nullptr);
}

MIDIRefResult AlsaMIDIService::createVirtualSource(MIDIObjectRef client, std::string_view name,
                                                   std::int32_t intendedUniqueID) {
    return createVirtualPort(client, name, intendedUniqueID, PortKind::virtualSource, nullptr);
}

MIDIRefResult AlsaMIDIService::createVirtualDestination(MIDIObjectRef client, std::string_view name,
                                                        std::int32_t intendedUniqueID,
                                                        ReceiveCallback receive) {
    return createVirtualPort(client, name, intendedUniqueID, PortKind::virtualDestination,
                             std::move(receive));
}

MIDIRefResult AlsaMIDIService::createFixedPort(MIDIObjectRef client, int number, std::string_view name,
                                               PortKind kind, ReceiveCallback receive) {
    if (!ownsClient(client)) return {-ENOENT, 0};
    if (ownPorts_.contains(number)) return {-EBUSY, 0};
    // Our own connection ports: not offered to other programs.
    const unsigned int caps = (kind == PortKind::input ? SND_SEQ_PORT_CAP_WRITE : SND_SEQ_PORT_CAP_READ) |
                              SND_SEQ_PORT_CAP_NO_EXPORT;
    if (const MIDIStatus status = createOwnPort(number, name, caps, kEndpointType); status != 0) {
        return {status, 0};
    }
    std::lock_guard lock(dispatchMutex_);
    ownPorts_[number] = {kind,
                         receive ? std::make_shared<const ReceiveCallback>(std::move(receive)) : nullptr};
    return {0, alsaEndpointRef({clientId_, number})};
}

MIDIRefResult AlsaMIDIService::createVirtualPort(MIDIObjectRef client, std::string_view name,
                                                 std::int32_t intendedUniqueID, PortKind kind,
                                                 ReceiveCallback receive) {
    if (!ownsClient(client)) return {-ENOENT, 0};
    const unsigned int caps = kind == PortKind::virtualSource ? kSourceCaps : kDestinationCaps;
    int number = -1;
    MIDIStatus status = -EBUSY;
    if (const auto fixed = alsaFixedPortForUniqueID(intendedUniqueID); fixed && !ownPorts_.contains(*fixed)) {
        status = createOwnPort(*fixed, name, caps, kEndpointType);
        if (status == 0) number = *fixed;
    }
    for (int candidate = kFirstFreePort; number < 0 && candidate <= kLastPort; ++candidate) {
        if (ownPorts_.contains(candidate)) continue;
        status = createOwnPort(candidate, name, caps, kEndpointType);
        if (status == 0) {
            number = candidate;
        } else if (status != -EBUSY) {
            break;
        }
    }
    if (number < 0) return {status, 0};
    std::lock_guard lock(dispatchMutex_);
    ownPorts_[number] = {kind,
                         receive ? std::make_shared<const ReceiveCallback>(std::move(receive)) : nullptr};
    return {0, alsaEndpointRef({clientId_, number})};
}

MIDIStatus AlsaMIDIService::createOwnPort(int number, std::string_view name, unsigned int capability,
                                          unsigned int type) {
    PortInfo info;
    if (!info) return -ENOMEM;
    const std::string portName(name);
    snd_seq_port_info_set_port(info.get(), number);
    snd_seq_port_info_set_port_specified(info.get(), 1);
    snd_seq_port_info_set_name(info.get(), portName.c_str());
    snd_seq_port_info_set_capability(info.get(), capability);
    snd_seq_port_info_set_type(info.get(), type);
    snd_seq_port_info_set_midi_channels(info.get(), 16);
    const int status = snd_seq_create_port(seq_, info.get());
    return status < 0 ? status : 0;
}

bool AlsaMIDIService::ownsClient(MIDIObjectRef client) const {
    const auto id = alsaClientFromRef(client);
    return seq_ != nullptr && id && *id == clientId_;
}

MIDIStatus AlsaMIDIService::deleteOwnPort(MIDIObjectRef ref, bool (*accepts)(PortKind)) {
    const auto number = ownPortNumber(ref, accepts);
    if (!number) return -ENOENT;
    if (const int status = snd_seq_delete_simple_port(seq_, *number); status < 0) return status;
    subscribers_->forget(*number);
    std::lock_guard lock(dispatchMutex_);
    if (ownPorts_[*number].kind == PortKind::input) contexts_.clear();
    ownPorts_.erase(*number);
    return 0;
}

MIDIStatus AlsaMIDIService::disposeEndpoint(MIDIObjectRef endpoint) {
    return deleteOwnPort(endpoint, [](PortKind kind) {
        return kind == PortKind::virtualSource || kind == PortKind::virtualDestination;
    });
}

MIDIStatus AlsaMIDIService::disposePort(MIDIObjectRef port) {
    // The port's subscriptions end with it.
    subscribedDestinations_.clear();
    return deleteOwnPort(port,
                         [](PortKind kind) { return kind == PortKind::input || kind == PortKind::output; });
}

MIDIStatus AlsaMIDIService::disposeClient(MIDIObjectRef client) {
    if (!ownsClient(client)) return -ENOENT;
    return closeClient();
}

MIDIStatus AlsaMIDIService::closeClient() {
    if (seq_ == nullptr) return -ENOENT;
    stopReader();
    {
        std::lock_guard lock(dispatchMutex_);
        ownPorts_.clear();
        contexts_.clear();
    }
    snd_seq_t* seq = nullptr;
    {
        std::lock_guard lock(scanMutex_);
        seq = std::exchange(seq_, nullptr);
        clientId_ = -1;
        scanned_.clear();
        scanValid_ = false;
    }
    sequencerFd_ = -1;
    notify_ = nullptr;
    encoder_.reset();
    subscribedDestinations_.clear();
    subscribers_->clear();
    sources_.clear();
    destinations_.clear();
    stalledReceivers_.clear();
    const int status = snd_seq_close(seq);
    return status < 0 ? status : 0;
}

// ---- Connections ----

MIDIStatus AlsaMIDIService::connectSource(MIDIObjectRef inputPort, MIDIObjectRef source,
                                          MIDIObjectRef context) {
    const auto port = ownPortNumber(inputPort, [](PortKind kind) { return kind == PortKind::input; });
    const auto address = alsaAddressFromRef(source);
    if (!port || !address) return -ENOENT;
    // -EBUSY: the subscription exists already; only the context changes.
    const int status = snd_seq_connect_from(seq_, *port, address->client, address->port);
    if (status < 0 && status != -EBUSY) return status;
    std::lock_guard lock(dispatchMutex_);
    contexts_[addressKey(*address)] = context;
    return 0;
}

MIDIStatus AlsaMIDIService::disconnectSource(MIDIObjectRef inputPort, MIDIObjectRef source) {
    const auto port = ownPortNumber(inputPort, [](PortKind kind) { return kind == PortKind::input; });
    const auto address = alsaAddressFromRef(source);
    if (!port || !address) return -ENOENT;
    // A source that went away took its subscription with it; either way no
    // more of its packets are delivered.
    const int status = snd_seq_disconnect_from(seq_, *port, address->client, address->port);
    std::lock_guard lock(dispatchMutex_);
    contexts_.erase(addressKey(*address));
    return status < 0 ? status : 0;
}

// ---- Sources, destinations and their identities ----

std::size_t AlsaMIDIService::sourceCount() {
    std::lock_guard lock(scanMutex_);
    rescanLocked();
    sources_.clear();
    for (const ScannedEndpoint& endpoint : scanned_) {
        if (endpoint.source && !endpoint.own) sources_.push_back(endpoint.ref);
    }
    return sources_.size();
}

MIDIObjectRef AlsaMIDIService::source(std::size_t index) {
    return index < sources_.size() ? sources_[index] : 0;
}

std::size_t AlsaMIDIService::destinationCount() {
    std::lock_guard lock(scanMutex_);
    rescanLocked();
    destinations_.clear();
    for (const ScannedEndpoint& endpoint : scanned_) {
        if (endpoint.destination && !endpoint.own) destinations_.push_back(endpoint.ref);
    }
    // A destination that went away took our subscription with it; one that
    // comes back (perhaps at the same address) is subscribed again.
    std::erase_if(subscribedDestinations_, [&](std::uint32_t key) {
        return std::none_of(scanned_.begin(), scanned_.end(), [&](const ScannedEndpoint& endpoint) {
            return endpoint.destination && addressKey(alsaAddressFromRef(endpoint.ref).value()) == key;
        });
    });
    return destinations_.size();
}

MIDIObjectRef AlsaMIDIService::destination(std::size_t index) {
    return index < destinations_.size() ? destinations_[index] : 0;
}

void AlsaMIDIService::rescanLocked() const {
    scanned_.clear();
    scanStale_ = false;
    scanValid_ = false;
    ClientInfo client;
    PortInfo port;
    if (seq_ == nullptr || !client || !port) return;
    std::vector<AlsaEndpointName> names;
    std::vector<std::size_t> named;  // scanned_ index of each name
    snd_seq_client_info_set_client(client.get(), -1);
    while (snd_seq_query_next_client(seq_, client.get()) >= 0) {
        const int clientNumber = snd_seq_client_info_get_client(client.get());
        if (clientNumber == SND_SEQ_CLIENT_SYSTEM) continue;
        const std::string clientName = snd_seq_client_info_get_name(client.get());
        snd_seq_port_info_set_client(port.get(), clientNumber);
        snd_seq_port_info_set_port(port.get(), -1);
        while (snd_seq_query_next_port(seq_, port.get()) >= 0) {
            const unsigned int caps = snd_seq_port_info_get_capability(port.get());
            if ((caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) continue;
            ScannedEndpoint endpoint;
            endpoint.source = hasCaps(caps, kSourceCaps);
            endpoint.destination = hasCaps(caps, kDestinationCaps);
            if (!endpoint.source && !endpoint.destination) continue;
            const int portNumber = snd_seq_port_info_get_port(port.get());
            endpoint.ref = alsaEndpointRef({clientNumber, portNumber});
            endpoint.own = clientNumber == clientId_;
            endpoint.displayName = snd_seq_port_info_get_name(port.get());
            if (endpoint.displayName.empty()) endpoint.displayName = clientName;
            if (endpoint.own && portNumber >= kAlsaFirstFixedPort && portNumber <= kAlsaLastFixedPort) {
                endpoint.uniqueID = kAlsaOwnUniqueIDBase + portNumber;
            } else {
                names.push_back(
                    {{clientNumber, portNumber}, clientName, snd_seq_port_info_get_name(port.get())});
                named.push_back(scanned_.size());
            }
            scanned_.push_back(endpoint);
        }
    }
    const std::vector<std::int32_t> ids = synthesizeAlsaUniqueIDs(names);
    for (std::size_t i = 0; i < ids.size(); ++i) scanned_[named[i]].uniqueID = ids[i];
    scanValid_ = true;
}

const AlsaMIDIService::ScannedEndpoint* AlsaMIDIService::findLocked(MIDIObjectRef ref) const {
    // Clients and ports are scanned in ascending order, so refs are sorted.
    const auto found =
        std::lower_bound(scanned_.begin(), scanned_.end(), ref,
                         [](const ScannedEndpoint& endpoint, MIDIObjectRef r) { return endpoint.ref < r; });
    return found != scanned_.end() && found->ref == ref ? &*found : nullptr;
}

MIDIStatus AlsaMIDIService::uniqueID(MIDIObjectRef endpoint, std::int32_t& id) const {
    std::lock_guard lock(scanMutex_);
    if (seq_ == nullptr || !alsaAddressFromRef(endpoint)) return -ENOENT;
    const ScannedEndpoint* found = scanValid_ && !scanStale_ ? findLocked(endpoint) : nullptr;
    if (found == nullptr) {
        rescanLocked();
        found = findLocked(endpoint);
    }
    if (found == nullptr) return -ENOENT;
    id = found->uniqueID;
    return 0;
}

MIDIStatus AlsaMIDIService::displayName(MIDIObjectRef endpoint, std::string& name) const {
    std::lock_guard lock(scanMutex_);
    const auto address = alsaAddressFromRef(endpoint);
    if (seq_ == nullptr || !address) return -ENOENT;
    // The receive path asks for every packet: answered from the scan, which
    // any announcement marks stale (announcements are read in order with the
    // events, so a packet sent after an announced change is named anew).
    if (!scanValid_ || scanStale_) rescanLocked();
    if (const ScannedEndpoint* found = findLocked(endpoint)) {
        name = found->displayName;
        return 0;
    }
    // Not listed (the System client's ports, hidden ports): asked directly.
    PortInfo port;
    if (!port) return -ENOMEM;
    if (const int status = snd_seq_get_any_port_info(seq_, address->client, address->port, port.get());
        status < 0) {
        return status;
    }
    std::string result = snd_seq_port_info_get_name(port.get());
    if (result.empty()) {
        ClientInfo client;
        if (!client) return -ENOMEM;
        if (const int status = snd_seq_get_any_client_info(seq_, address->client, client.get()); status < 0) {
            return status;
        }
        result = snd_seq_client_info_get_name(client.get());
    }
    name = std::move(result);
    return 0;
}

MIDIStatus AlsaMIDIService::setUniqueID(MIDIObjectRef endpoint, std::int32_t id) {
    const auto address = alsaAddressFromRef(endpoint);
    if (address && seq_ != nullptr && address->client != clientId_) return -EPERM;
    const auto port = ownPortNumber(endpoint, [](PortKind kind) {
        return kind == PortKind::virtualSource || kind == PortKind::virtualDestination;
    });
    if (!port) return -ENOENT;
    // An endpoint's ID follows from where it sits; it cannot be assigned.
    std::int32_t current = 0;
    if (const MIDIStatus status = uniqueID(endpoint, current); status != 0) return status;
    return current == id ? 0 : -EBUSY;
}

// ---- Sending ----

MIDIStatus AlsaMIDIService::send(MIDIObjectRef outputPort, MIDIObjectRef destination,
                                 std::span<const std::uint8_t> bytes) {
    const auto port = ownPortNumber(outputPort, [](PortKind kind) { return kind == PortKind::output; });
    const auto address = alsaAddressFromRef(destination);
    if (!port || !address) return -ENOENT;
    // Subscribe once: the events still name their destination, so they reach
    // only it, but a receiver that needs a subscription to open its device
    // now hears them. A refusal is left to the delivery to report.
    if (subscribedDestinations_.insert(addressKey(*address)).second) {
        const int status = snd_seq_connect_to(seq_, *port, address->client, address->port);
        if (status < 0 && status != -EBUSY) subscribedDestinations_.erase(addressKey(*address));
    }
    return deliver(*port, *address, bytes);
}

MIDIStatus AlsaMIDIService::publish(MIDIObjectRef virtualSource, std::span<const std::uint8_t> bytes) {
    const auto port =
        ownPortNumber(virtualSource, [](PortKind kind) { return kind == PortKind::virtualSource; });
    if (!port) return -ENOENT;
    return deliver(*port, std::nullopt, bytes);
}

MIDIStatus AlsaMIDIService::deliver(int sourcePort, std::optional<AlsaAddress> destination,
                                    std::span<const std::uint8_t> bytes) {
    // A note or controller to subscribers whose room is known, the common
    // case, needs no writer.
    if (!destination && sequencerFd_ >= 0) {
        if (auto event = alsaChannelVoiceEvent(bytes)) {
            if (const auto status = AlsaEventWriter::putToKnownSubscribers(seq_, {clientId_, sourcePort},
                                                                           *event, *subscribers_))
                return *status;
        }
    }
    AlsaEventWriter writer(seq_, sequencerFd_, {clientId_, sourcePort}, destination, stalledReceivers_,
                           subscribers_.get());
    const MIDIStatus status = encoder_->encode(bytes, writer);
    return status != 0 ? status : writer.refusal();
}

// ---- The reader thread ----

MIDIStatus AlsaMIDIService::startReader() {
    if (readQueue_ != nullptr) {
        const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
        readDescriptors_.assign(static_cast<std::size_t>(std::max(count, 0)), pollfd{});
        const int filled = count > 0 ? snd_seq_poll_descriptors(seq_, readDescriptors_.data(),
                                                                static_cast<unsigned int>(count), POLLIN)
                                     : count;
        queueDecoder_ = std::make_unique<AlsaEventDecoder>();
        if (filled <= 0 || queueDecoder_->status() < 0) {
            const MIDIStatus status =
                queueDecoder_->status() < 0 ? queueDecoder_->status() : (filled < 0 ? filled : -ENODEV);
            logLine("[MIDI] Reader setup failed: nothing to poll (status " + std::to_string(status) + ")");
            return status;
        }
        readDescriptors_.resize(static_cast<std::size_t>(filled));
        queueBatch_ = std::make_unique<AlsaReceiveBatch>();
        idleWakeups_ = 0;
        stopRequested_ = false;
        for (const pollfd& descriptor : readDescriptors_) {
            readWatches_.push_back(
                readQueue_->watch(descriptor.fd, IoEvents::readable, [this](IoEvents) { readReady(); }));
        }
        // One descriptor, the kernel's: the queue may sleep in its read.
        if (const int flags = readDescriptors_.size() == 1 && readDescriptors_[0].fd == sequencerFd_
                                  ? ::fcntl(sequencerFd_, F_GETFL)
                                  : -1;
            flags >= 0 && (flags & O_NONBLOCK) != 0 &&
            readQueue_->setBlockingReader(MainQueue::BlockingReader{
                sequencerFd_, [this] { readBlocking(); }, sequencerFd_, blockingReadWakeMessage()})) {
            blockingReadFlags_ = flags;
        }
        return 0;
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        const MIDIStatus status = -errno;
        logLine("[MIDI] Reader thread setup failed: no stop event (status " + std::to_string(status) + ")");
        return status;
    }
    stopRequested_ = false;
    try {
        reader_ = std::thread([this] { readerLoop(); });
    } catch (const std::system_error& error) {
        const MIDIStatus status = error.code().value() > 0 ? -error.code().value() : -EAGAIN;
        logLine("[MIDI] Reader thread setup failed: thread not started (status " + std::to_string(status) +
                ")");
        ::close(std::exchange(stopFd_, -1));
        return status;
    }
    return 0;
}

void AlsaMIDIService::stopReader() {
    // Also ends a drain on the read queue's thread whose callback closed the client.
    stopRequested_ = true;
    withdrawBlockingReader();
    readWatches_.clear();
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        // The flag ends the thread even if this write could not wake it; its
        // poll then ends by its own timeout.
        [[maybe_unused]] const ssize_t written = ::write(stopFd_, &one, sizeof one);
        reader_.join();
    }
    if (stopFd_ >= 0) ::close(std::exchange(stopFd_, -1));
}

void AlsaMIDIService::readerLoop() {
    logLine(RealtimePriority::request(RealtimeThread::current(), kReaderPriority)
                .logLine("the ALSA reader thread"));
    const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> descriptors(static_cast<std::size_t>(std::max(count, 0)) + 1);
    const int filled = count > 0 ? snd_seq_poll_descriptors(seq_, descriptors.data(),
                                                            static_cast<unsigned int>(count), POLLIN)
                                 : count;
    AlsaEventDecoder decoder;
    if (filled <= 0 || decoder.status() < 0) {
        const MIDIStatus status = decoder.status() < 0 ? decoder.status() : (filled < 0 ? filled : -ENODEV);
        logLine("[MIDI] Reader thread setup failed: nothing to poll (status " + std::to_string(status) + ")");
        return;
    }
    const std::size_t stopIndex = descriptors.size() - 1;
    descriptors[stopIndex] = {stopFd_, POLLIN, 0};
    AlsaReceiveBatch batch;
    int idleWakeups = 0;
    while (!stopRequested_) {
        const int ready = ::poll(descriptors.data(), descriptors.size(), 1000);
        if (ready < 0 && errno != EINTR) {
            logLine("[MIDI] Sequencer reader stopped (status " + std::to_string(-errno) + ")");
            return;
        }
        if (ready <= 0) continue;
        if (descriptors[stopIndex].revents != 0) return;
        for (std::size_t i = 0; i < stopIndex; ++i) {
            if ((descriptors[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                logLine("[MIDI] Sequencer reader stopped: the sequencer reported an error");
                return;
            }
        }
        if (drainInput(batch, decoder) > 0) {
            idleWakeups = 0;
        } else if (++idleWakeups >= kMaxIdleWakeups) {
            idleWakeups = 0;
            snd_seq_drop_input(seq_);
            logLine("[MIDI] Input stalled; pending events were dropped");
        }
    }
}

void AlsaMIDIService::setReadsBlock(bool block) {
    if (block == readsBlock_ || !blockingReadFlags_) return;
    if (::fcntl(sequencerFd_, F_SETFL, block ? *blockingReadFlags_ & ~O_NONBLOCK : *blockingReadFlags_) == 0)
        readsBlock_ = block;
}

void AlsaMIDIService::readReady() {
    if (seq_ == nullptr || stopRequested_) return;
    // Polled again (another descriptor came to the queue): a read must not wait.
    setReadsBlock(false);
    if (drainInput(*queueBatch_, *queueDecoder_) > 0) {
        idleWakeups_ = 0;
        return;
    }
    // Woken with nothing to read: the watch reports errors as readiness, and a
    // sequencer in error would wake the queue without end.
    std::vector<pollfd> check = readDescriptors_;
    if (::poll(check.data(), check.size(), 0) > 0 &&
        std::any_of(check.begin(), check.end(),
                    [](const pollfd& d) { return (d.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0; })) {
        logLine("[MIDI] Sequencer reader stopped: the sequencer reported an error");
        withdrawBlockingReader();
        readWatches_.clear();
        return;
    }
    if (++idleWakeups_ >= kMaxIdleWakeups) {
        idleWakeups_ = 0;
        snd_seq_drop_input(seq_);
        logLine("[MIDI] Input stalled; pending events were dropped");
    }
}

void AlsaMIDIService::readBlocking() {
    if (seq_ == nullptr || stopRequested_ || !blockingReadFlags_) return;
    int status = 0;
    const std::size_t handled = drainInput(*queueBatch_, *queueDecoder_, &status);
    if (status >= 0 || status == -ENOSPC) {
        if (handled > 0) idleWakeups_ = 0;
        return;
    }
    // A signal ends the wait with nothing read. Any other failure would end
    // every wait at once: the loop polls from now on, and the poll and
    // readReady() find the sequencer's error and report it.
    if (status != -EINTR) withdrawBlockingReader();
}

void AlsaMIDIService::withdrawBlockingReader() {
    if (!blockingReadFlags_) return;
    readQueue_->setBlockingReader(std::nullopt);
    setReadsBlock(false);
    blockingReadFlags_.reset();
}

std::vector<std::uint8_t> AlsaMIDIService::blockingReadWakeMessage() const {
    // An event to our own announcement port, which the reader skips unless
    // the system sent it. A fixed-size event written as it stands is what
    // libasound's direct output writes too, so any thread (or a signal
    // handler) may write it beside the queue's own writes.
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = SND_SEQ_EVENT_USR0;
    event.source.client = static_cast<unsigned char>(clientId_);
    event.source.port = kAnnouncePort;
    event.dest.client = static_cast<unsigned char>(clientId_);
    event.dest.port = kAnnouncePort;
    event.queue = SND_SEQ_QUEUE_DIRECT;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&event);
    return {bytes, bytes + sizeof event};
}

std::size_t AlsaMIDIService::drainInput(AlsaReceiveBatch& batch, AlsaEventDecoder& decoder,
                                        int* blockingStatus) {
    std::size_t handled = 0;
    // One read takes every event the kernel holds for us into libasound's
    // buffer; the loop ends when that buffer is empty. Asking the kernel again
    // would only answer "nothing" at the cost of a system call on every note;
    // whatever came meanwhile makes the next poll return at once.
    do {
        snd_seq_event_t* event = nullptr;
        if (blockingStatus != nullptr) setReadsBlock(true);
        const int status = snd_seq_event_input(seq_, &event);
        if (blockingStatus != nullptr) *std::exchange(blockingStatus, nullptr) = status;
        if (status == -EAGAIN || status == -EINTR) break;
        ++handled;
        if (status == -ENOSPC) {
            // The kernel emptied our queue; what follows is new.
            logOverrun(status);
            continue;
        }
        if (status < 0) break;
        if (event == nullptr) continue;
        if (event->dest.port == kAnnouncePort) {
            if (event->source.client == SND_SEQ_CLIENT_SYSTEM) {
                flush(batch);
                if (stopRequested_) break;
                handleAnnouncement(*event);
            }
            continue;
        }
        const std::span<const std::uint8_t> bytes = decoder.decode(*event);
        if (bytes.empty()) continue;
        if (batch.add(event->dest.port, {event->source.client, event->source.port}, bytes)) {
            flush(batch);
        }
    } while (!stopRequested_ && snd_seq_event_input_pending(seq_, 0) > 0);
    flush(batch);
    return handled;
}

void AlsaMIDIService::handleAnnouncement(const snd_seq_event_t& event) {
    // Subscriptions change with these (a port that ends takes its own along).
    subscribers_->invalidate();
    MIDINotificationMessageID message{};
    switch (event.type) {
        case SND_SEQ_EVENT_CLIENT_START:
        case SND_SEQ_EVENT_PORT_START:
            message = MIDINotificationMessageID::objectAdded;
            break;
        case SND_SEQ_EVENT_CLIENT_EXIT:
        case SND_SEQ_EVENT_PORT_EXIT:
            message = MIDINotificationMessageID::objectRemoved;
            break;
        case SND_SEQ_EVENT_CLIENT_CHANGE:
        case SND_SEQ_EVENT_PORT_CHANGE:
            message = MIDINotificationMessageID::propertyChanged;
            break;
        default:
            // Subscriptions, ours included, do not change the setup.
            return;
    }
    // Our own ports change only when the engine changes them, and it rebuilds
    // what it lists itself; a notification would only repeat that work.
    if (event.data.addr.client == clientId_) return;
    scanStale_ = true;
    if (!notify_) return;
    try {
        notify_(static_cast<std::int32_t>(message));
    } catch (...) {
        logLine("[MIDI] Notification handler failed");
    }
}

void AlsaMIDIService::flush(AlsaReceiveBatch& batch) {
    if (batch.empty()) return;
    bool failed = false;
    for (AlsaReceiveBatch::Group& group : batch.groups()) {
        // A reader thread calls under the lock, so that after a disposal
        // returns no callback of that port runs. On the read queue's thread
        // nothing runs beside the callback, which may itself change ports:
        // the port is looked up again for every group and called unlocked.
        std::unique_lock lock(dispatchMutex_);
        const auto port = ownPorts_.find(group.port);
        if (port == ownPorts_.end() || !port->second.receive) continue;
        MIDIObjectRef context = 0;
        if (port->second.kind == PortKind::input) {
            // Only connected sources are heard.
            const auto connection = contexts_.find(addressKey(group.source));
            if (connection == contexts_.end()) continue;
            context = connection->second;
        } else if (port->second.kind != PortKind::virtualDestination) {
            continue;
        }
        const std::shared_ptr<const ReceiveCallback> receive = port->second.receive;
        if (readQueue_ != nullptr) lock.unlock();
        try {
            (*receive)(std::move(group.packets), context);
        } catch (...) {
            failed = true;
        }
    }
    batch.clear();
    if (failed) logLine("[MIDI] Receive handler failed; packets were dropped");
}

void AlsaMIDIService::logOverrun(MIDIStatus status) {
    const auto now = Clock::now();
    if (lastOverrunLog_ && now - *lastOverrunLog_ < 1s) return;
    lastOverrunLog_ = now;
    logLine("[MIDI] Input overrun: events were lost (status " + std::to_string(status) + ")");
}

void AlsaMIDIService::logLine(std::string line) const {
    if (log_) log_(std::move(line));
}

}  // namespace velorin
