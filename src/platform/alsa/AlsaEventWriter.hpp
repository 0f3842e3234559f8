// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "core/MIDIService.hpp"
#include "platform/alsa/AlsaEndpointIdentity.hpp"
#include "platform/alsa/AlsaEventCodec.hpp"

namespace velorin {

// Receivers that made no room for a whole budget, with the time until which
// they are not waited for again (by client number).
using AlsaStalledReceivers = std::map<int, std::chrono::steady_clock::time_point>;

// The clients subscribed to each of our ports, as last asked of the kernel, so
// that a message to subscribers need not ask again (two system calls or more
// per message). Any change the System Announce port reports makes every entry
// stale; until that announcement is read, a list may miss a client that just
// subscribed (as a list asked at a message's start misses one that subscribes
// during it) or name one that left, which a writer notices before it waits.
// invalidate() is thread-safe; the rest belongs to the sending thread.
// One receiver of the message being written: its client and what is known of its pool.
struct AlsaReceiverRoom {
    int client = 0;
    std::size_t credit = 0;   // cells known to be free
    std::size_t reserve = 0;  // of those, cells not to be carried to the next message
};

class AlsaSubscriberCache {
public:
    void invalidate() noexcept { generation_.fetch_add(1, std::memory_order_acq_rel); }
    // Read before asking the kernel; given back to store() with the answer.
    std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }
    // The clients subscribed to `port` when nothing changed since, else null.
    // (This and the credits are defined here: every message asks them.)
    const std::vector<int>* find(int port) const {
        const auto entry = entries_.find(port);
        return entry != entries_.end() && entry->second.generation == generation() ? &entry->second.clients
                                                                                   : nullptr;
    }
    void store(int port, std::uint64_t generation, std::vector<int> clients);
    void forget(int port) { entries_.erase(port); }
    void clear() {
        entries_.clear();
        credits_.clear();
    }

    // Cells of `client`'s input pool that may still be written without asking
    // the kernel, as a writer left them; 0 when unknown or stale.
    std::size_t credit(int client) const {
        const std::uint64_t current = generation();
        for (const Credit& entry : credits_) {
            if (entry.client == client) return entry.generation == current ? entry.cells : 0;
        }
        return 0;
    }
    void storeCredit(int client, std::uint64_t generation, std::size_t cells) {
        for (Credit& entry : credits_) {
            if (entry.client == client) {
                entry = {client, generation, cells};
                return;
            }
        }
        // At most one entry per client number the sequencer has.
        if (credits_.size() < 256) credits_.push_back({client, generation, cells});
    }

    // Storage the writer of each message borrows for its receivers, so that
    // a message allocates nothing.
    std::vector<AlsaReceiverRoom>& receiverStorage() { return receiverStorage_; }

private:
    struct Credit {
        int client = 0;
        std::uint64_t generation = 0;
        std::size_t cells = 0;
    };
    std::vector<Credit> credits_;
    std::vector<AlsaReceiverRoom> receiverStorage_;
    struct Entry {
        std::uint64_t generation = 0;
        std::vector<int> clients;
    };
    std::atomic<std::uint64_t> generation_{0};
    std::map<int, Entry> entries_;
};

// Writes the events of one message from one of our ports, directly (no
// queue), to a destination or to the port's subscribers.
//
// A delivery that does not fit a receiver's input pool is refused, and the
// kernel then empties that receiver's whole queue. So before each event the
// writer waits until every user-space receiver has room for it, for at most
// kBudget without progress, and never writes to a lone destination without
// room: it answers -EAGAIN and the destination keeps what it has. A receiver
// that timed out is not waited for again for kStallTime, so a program that
// stopped reading costs the caller one budget, not one per message.
//
// A refused write to a destination is retried within the budget. A refusal
// by one of several subscribers is not: the others have the event already.
//
// The subscribers come from `subscribers` when it knows them; when one of
// them lacks room, the kernel is asked again before anyone is waited for.
//
// Asking a receiver's pool costs a system call, so what is known is carried
// from message to message in `subscribers`: the free cells read, less those
// written since. Only our own writes are counted, so half of the pool is kept
// in reserve for other senders and not spent without asking again. A reader
// that keeps up is asked about once per half pool of events.
class AlsaEventWriter final : public AlsaEventSink {
public:
    static constexpr std::chrono::milliseconds kBudget{200};
    static constexpr std::chrono::milliseconds kStallTime{1000};

    // `sequencerFd` (the kernel sequencer's descriptor, -1 for none) is used
    // to read the receivers' pools.
    AlsaEventWriter(snd_seq_t* seq, int sequencerFd, AlsaAddress source,
                    std::optional<AlsaAddress> destination, AlsaStalledReceivers& stalled,
                    AlsaSubscriberCache* subscribers = nullptr);
    ~AlsaEventWriter();
    AlsaEventWriter(const AlsaEventWriter&) = delete;
    AlsaEventWriter& operator=(const AlsaEventWriter&) = delete;

    MIDIStatus put(snd_seq_event_t& event) override;
    // For subscribers: the first refusal by one of them, else 0.
    MIDIStatus refusal() const { return refusal_; }

    // The common case without a writer's setup: one event to the subscribers
    // of `source`, when `subscribers` knows them all and each has credit for
    // it, so nothing is asked of the kernel and nobody is waited for. It is
    // written as a writer would write it: the credits are spent, and a refusal
    // zeroes them and is returned. Nothing, with nothing written, when a
    // writer has to do it.
    static std::optional<MIDIStatus> putToKnownSubscribers(snd_seq_t* seq, AlsaAddress source,
                                                           snd_seq_event_t& event,
                                                           AlsaSubscriberCache& subscribers);

private:
    using Receiver = AlsaReceiverRoom;

    // Addresses an event from our `sourcePort`, for direct delivery to
    // `destination` or, without one, to the port's subscribers.
    static void address(snd_seq_event_t& event, int sourcePort,
                        const std::optional<AlsaAddress>& destination);

    MIDIStatus waitForRoom(std::size_t cells);
    MIDIStatus refresh(Receiver& receiver, std::size_t cells) const;
    bool allHaveRoom(std::size_t cells);
    void collectReceivers(bool mayUseCache);
    void querySubscribers();
    bool isStalled(int client) const;
    void markStalled(int client);
    // Whether the budget since the last progress is spent; starts it at the first call.
    bool budgetSpent();
    // Hands the receivers' credits beyond their reserves to the next writer.
    void carryCredits();

    snd_seq_t* seq_;
    int sequencerFd_;
    AlsaAddress source_;
    std::optional<AlsaAddress> destination_;
    AlsaStalledReceivers& stalled_;
    AlsaSubscriberCache* subscribers_;
    // The end of the budget, set at the first wait since the last progress
    // (reading the clock for every event would cost more than the event).
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool receiversKnown_ = false;
    bool receiversFromCache_ = false;
    // The receivers are all the port's subscribers (as far as is known).
    bool receiversComplete_ = false;
    // The subscriber cache's storage, or the writer's own without a cache.
    std::vector<Receiver> ownReceivers_;
    std::vector<Receiver>& receivers_;
    // The subscriber cache's generation when the receivers were collected.
    std::uint64_t creditGeneration_ = 0;
    MIDIStatus refusal_ = 0;
};

}  // namespace velorin
