// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/alsa/AlsaEventWriter.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <thread>

#include "platform/alsa/AlsaClientPool.hpp"

namespace velorin {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRetryWait = 1ms;
// Waiting for a receiver to read enough for the next event.
constexpr auto kRoomWait = 100us;
// Subscribers of one port whose pools are watched.
constexpr std::size_t kMaxWatchedReceivers = 64;
constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max() / 2;

// libasound's subscriber query container, freed on scope exit.
class SubscriberQuery {
public:
    SubscriberQuery() {
        if (snd_seq_query_subscribe_malloc(&query_) < 0) query_ = nullptr;
    }
    ~SubscriberQuery() {
        if (query_ != nullptr) snd_seq_query_subscribe_free(query_);
    }
    SubscriberQuery(const SubscriberQuery&) = delete;
    SubscriberQuery& operator=(const SubscriberQuery&) = delete;
    snd_seq_query_subscribe_t* get() const { return query_; }

private:
    snd_seq_query_subscribe_t* query_ = nullptr;
};

}  // namespace

void AlsaSubscriberCache::store(int port, std::uint64_t generation, std::vector<int> clients) {
    entries_.insert_or_assign(port, Entry{generation, std::move(clients)});
}

AlsaEventWriter::AlsaEventWriter(snd_seq_t* seq, int sequencerFd, AlsaAddress source,
                                 std::optional<AlsaAddress> destination, AlsaStalledReceivers& stalled,
                                 AlsaSubscriberCache* subscribers)
    : seq_(seq),
      sequencerFd_(sequencerFd),
      source_(source),
      destination_(destination),
      stalled_(stalled),
      subscribers_(subscribers),
      receivers_(subscribers != nullptr ? subscribers->receiverStorage() : ownReceivers_) {
    receivers_.clear();
}

bool AlsaEventWriter::budgetSpent() {
    const auto now = Clock::now();
    if (!deadline_) deadline_ = now + kBudget;
    return now >= *deadline_;
}

AlsaEventWriter::~AlsaEventWriter() {
    carryCredits();
}

std::optional<MIDIStatus> AlsaEventWriter::putToKnownSubscribers(snd_seq_t* seq, AlsaAddress source,
                                                                 snd_seq_event_t& event,
                                                                 AlsaSubscriberCache& subscribers) {
    // Read before the list, as a writer reads it.
    const std::uint64_t generation = subscribers.generation();
    const std::vector<int>* clients = subscribers.find(source.port);
    if (clients == nullptr) return std::nullopt;
    const std::size_t cells = alsaEventCells(event);
    for (const int client : *clients) {
        if (subscribers.credit(client) < cells) return std::nullopt;
    }
    // Nobody listens: the kernel would deliver the event to no one.
    if (clients->empty()) return 0;
    address(event, source.port, std::nullopt);
    const int result = snd_seq_event_output_direct(seq, &event);
    // Someone lacked room after all: ask before the next write.
    const bool refused = result == -EAGAIN || result == -ENOSPC;
    for (const int client : *clients) {
        const std::size_t credit = subscribers.credit(client);
        subscribers.storeCredit(client, generation, !refused && credit >= cells ? credit - cells : 0);
    }
    return result >= 0 ? 0 : result;
}

void AlsaEventWriter::address(snd_seq_event_t& event, int sourcePort,
                              const std::optional<AlsaAddress>& destination) {
    event.source.port = static_cast<unsigned char>(sourcePort);
    if (destination) {
        event.dest.client = static_cast<unsigned char>(destination->client);
        event.dest.port = static_cast<unsigned char>(destination->port);
    } else {
        event.dest.client = SND_SEQ_ADDRESS_SUBSCRIBERS;
        event.dest.port = SND_SEQ_ADDRESS_UNKNOWN;
    }
    event.queue = SND_SEQ_QUEUE_DIRECT;
}

MIDIStatus AlsaEventWriter::put(snd_seq_event_t& event) {
    address(event, source_.port, destination_);
    if (!destination_ && sequencerFd_ >= 0) {
        if (!receiversKnown_) collectReceivers(true);
        // Nobody listens: the kernel would deliver the event to no one, and a
        // write costs a system call.
        if (receiversComplete_ && receivers_.empty()) return 0;
    }
    // Subscribers without room still get the event: the others should not
    // miss it for them.
    if (const MIDIStatus room = waitForRoom(alsaEventCells(event)); room != 0 && destination_) return room;
    for (;;) {
        const int result = snd_seq_event_output_direct(seq_, &event);
        if (result >= 0) {
            deadline_.reset();
            return 0;
        }
        if (result != -EAGAIN && result != -ENOSPC) return result;
        // Someone lacked room after all: ask before the next write.
        for (Receiver& receiver : receivers_) receiver.credit = 0;
        if (!destination_) {
            if (refusal_ == 0) refusal_ = result;
            return 0;
        }
        if (budgetSpent()) {
            markStalled(destination_->client);
            return result;
        }
        // Direct delivery does not use our output pool, so POLLOUT would
        // report ready at once; the receiver needs a moment to read.
        std::this_thread::sleep_for(kRetryWait);
    }
}

MIDIStatus AlsaEventWriter::waitForRoom(std::size_t cells) {
    if (sequencerFd_ < 0) return 0;
    if (!receiversKnown_) collectReceivers(true);
    // A remembered subscriber without room may have left since: ask again
    // before waiting for anyone.
    if (receiversFromCache_ && !allHaveRoom(cells)) collectReceivers(false);
    MIDIStatus result = 0;
    for (Receiver& receiver : receivers_) {
        // Asked only of a receiver without room: one with room never waits.
        std::optional<bool> mayWait;
        MIDIStatus status = 0;
        while (receiver.credit < cells) {
            status = refresh(receiver, cells);
            if (status != 0 || receiver.credit >= cells) break;
            status = -EAGAIN;
            if (!mayWait) mayWait = !isStalled(receiver.client);
            if (!*mayWait) break;
            if (budgetSpent()) {
                markStalled(receiver.client);
                break;
            }
            status = 0;
            std::this_thread::sleep_for(kRoomWait);
        }
        if (status == 0) {
            receiver.credit -= cells;
        } else if (result == 0) {
            result = status;
        }
    }
    return result;
}

MIDIStatus AlsaEventWriter::refresh(Receiver& receiver, std::size_t cells) const {
    AlsaInputPool pool;
    if (const MIDIStatus status = readAlsaInputPool(sequencerFd_, receiver.client, pool); status != 0)
        return status;
    // A kernel client has no pool to watch; a pool too small for the event
    // makes the write report the failure.
    const bool watched = pool.size > 0 && static_cast<std::size_t>(pool.size) >= cells;
    receiver.credit = watched ? static_cast<std::size_t>(std::max(pool.free, 0)) : kUnlimited;
    receiver.reserve = watched ? static_cast<std::size_t>(pool.size) / 2 : 0;
    return 0;
}

bool AlsaEventWriter::allHaveRoom(std::size_t cells) {
    return std::all_of(receivers_.begin(), receivers_.end(), [&](Receiver& receiver) {
        return receiver.credit >= cells || (refresh(receiver, cells) == 0 && receiver.credit >= cells);
    });
}

bool AlsaEventWriter::isStalled(int client) const {
    const auto entry = stalled_.find(client);
    return entry != stalled_.end() && Clock::now() < entry->second;
}

void AlsaEventWriter::markStalled(int client) {
    const auto now = Clock::now();
    std::erase_if(stalled_, [&](const auto& entry) { return entry.second <= now; });
    stalled_[client] = now + kStallTime;
}

void AlsaEventWriter::carryCredits() {
    if (subscribers_ == nullptr || creditGeneration_ != subscribers_->generation()) return;
    for (const Receiver& receiver : receivers_) {
        subscribers_->storeCredit(
            receiver.client, creditGeneration_,
            receiver.credit > receiver.reserve ? receiver.credit - receiver.reserve : 0);
    }
}

void AlsaEventWriter::collectReceivers(bool mayUseCache) {
    receiversKnown_ = true;
    receiversFromCache_ = false;
    receiversComplete_ = false;
    receivers_.clear();
    // Read before anything is asked, as the subscriber lists are.
    creditGeneration_ = subscribers_ != nullptr ? subscribers_->generation() : 0;
    if (destination_) {
        receivers_.push_back({destination_->client, 0, 0});
    } else if (const std::vector<int>* clients =
                   subscribers_ != nullptr && mayUseCache ? subscribers_->find(source_.port) : nullptr) {
        for (const int client : *clients) receivers_.push_back({client, 0, 0});
        receiversFromCache_ = true;
        receiversComplete_ = true;
    } else {
        querySubscribers();
    }
    if (subscribers_ == nullptr) return;
    for (Receiver& receiver : receivers_) receiver.credit = subscribers_->credit(receiver.client);
}

void AlsaEventWriter::querySubscribers() {
    SubscriberQuery query;
    if (query.get() == nullptr) return;
    snd_seq_addr_t root{static_cast<unsigned char>(source_.client), static_cast<unsigned char>(source_.port)};
    snd_seq_query_subscribe_set_root(query.get(), &root);
    snd_seq_query_subscribe_set_type(query.get(), SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query.get(), 0);
    while (receivers_.size() < kMaxWatchedReceivers &&
           snd_seq_query_port_subscribers(seq_, query.get()) >= 0) {
        const int client = snd_seq_query_subscribe_get_addr(query.get())->client;
        const bool known = std::any_of(receivers_.begin(), receivers_.end(),
                                       [&](const Receiver& receiver) { return receiver.client == client; });
        if (!known) receivers_.push_back({client, 0, 0});
        snd_seq_query_subscribe_set_index(query.get(), snd_seq_query_subscribe_get_index(query.get()) + 1);
    }
    receiversComplete_ = true;
    if (subscribers_ != nullptr) {
        std::vector<int> clients;
        clients.reserve(receivers_.size());
        for (const Receiver& receiver : receivers_) clients.push_back(receiver.client);
        subscribers_->store(source_.port, creditGeneration_, std::move(clients));
    }
}

}  // namespace velorin
