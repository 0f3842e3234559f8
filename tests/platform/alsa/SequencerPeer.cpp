// SPDX-License-Identifier: GPL-3.0-or-later
#include "SequencerPeer.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace velorin::test {

using namespace std::chrono_literals;

SequencerPeer::SequencerPeer(const std::string& name) {
    status_ = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (status_ < 0) {
        seq_ = nullptr;
        return;
    }
    snd_seq_set_client_name(seq_, name.c_str());
    client_ = snd_seq_client_id(seq_);
}

SequencerPeer::~SequencerPeer() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (seq_ != nullptr) snd_seq_close(seq_);
}

int SequencerPeer::createPort(const std::string& name, unsigned int caps) {
    return snd_seq_create_simple_port(seq_, name.c_str(), caps,
                                      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
}

int SequencerPeer::deletePort(int port) {
    return snd_seq_delete_simple_port(seq_, port);
}

int SequencerPeer::renamePort(int port, const std::string& name) {
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    if (const int status = snd_seq_get_port_info(seq_, port, info); status < 0) return status;
    snd_seq_port_info_set_name(info, name.c_str());
    return snd_seq_set_port_info(seq_, port, info);
}

int SequencerPeer::subscribeFrom(int port, Address source) {
    return snd_seq_connect_from(seq_, port, source.client, source.port);
}

int SequencerPeer::sendSysEx(int port, std::optional<Address> destination,
                             std::span<const std::uint8_t> message, std::size_t chunkSize,
                             const std::function<bool(std::size_t)>& mayContinue) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (std::size_t sent = 0; sent < message.size();) {
        while (!mayContinue(sent)) {
            if (std::chrono::steady_clock::now() > deadline) return -ETIMEDOUT;
            std::this_thread::sleep_for(200us);
        }
        const std::size_t length = std::min(chunkSize, message.size() - sent);
        snd_seq_event_t event{};
        event.type = SND_SEQ_EVENT_SYSEX;
        event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
        event.data.ext.len = static_cast<unsigned int>(length);
        event.data.ext.ptr = const_cast<std::uint8_t*>(message.data() + sent);
        if (const int status = send(port, destination, event); status < 0) return status;
        sent += length;
    }
    return 0;
}

int SequencerPeer::send(int port, std::optional<Address> destination, snd_seq_event_t event) {
    event.source.port = static_cast<unsigned char>(port);
    if (destination) {
        event.dest.client = static_cast<unsigned char>(destination->client);
        event.dest.port = static_cast<unsigned char>(destination->port);
    } else {
        event.dest.client = SND_SEQ_ADDRESS_SUBSCRIBERS;
        event.dest.port = SND_SEQ_ADDRESS_UNKNOWN;
    }
    event.queue = SND_SEQ_QUEUE_DIRECT;
    const auto deadline = std::chrono::steady_clock::now() + retryBudget_;
    for (;;) {
        const int status = snd_seq_event_output_direct(seq_, &event);
        if (status >= 0) return 0;
        if (status == -EAGAIN) ++sendFailures_;
        if (status != -EAGAIN || std::chrono::steady_clock::now() >= deadline) return status;
        std::this_thread::sleep_for(1ms);
    }
}

void SequencerPeer::startReceiving() {
    reader_ = std::thread([this] { readLoop(); });
}

void SequencerPeer::readLoop() {
    pollfd descriptor{};
    if (snd_seq_poll_descriptors(seq_, &descriptor, 1, POLLIN) != 1) return;
    while (!stop_) {
        if (::poll(&descriptor, 1, 20) <= 0) continue;
        std::lock_guard lock(mutex_);
        for (int taken = 0; taken < 512; ++taken) {
            snd_seq_event_t* event = nullptr;
            const int status = snd_seq_event_input(seq_, &event);
            if (status == -ENOSPC) {
                ++inbox_.overruns;
                continue;
            }
            if (status < 0) break;
            if (event == nullptr) continue;
            // The system's notices (a sender subscribing to us) are not MIDI.
            if (event->source.client == SND_SEQ_CLIENT_SYSTEM) continue;
            if (event->type == SND_SEQ_EVENT_SYSEX) {
                const auto* data = static_cast<const std::uint8_t*>(event->data.ext.ptr);
                inbox_.sysex.insert(inbox_.sysex.end(), data, data + event->data.ext.len);
                continue;
            }
            inbox_.events.push_back(*event);
        }
        changed_.notify_all();
    }
}

SequencerPeer::Inbox SequencerPeer::inbox() {
    std::lock_guard lock(mutex_);
    return inbox_;
}

bool SequencerPeer::waitUntil(const std::function<bool(const Inbox&)>& done,
                              std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(inbox_); });
}

}  // namespace velorin::test
