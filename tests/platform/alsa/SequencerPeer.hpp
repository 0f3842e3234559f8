// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace velorin::test {

// Another program on the sequencer, written directly against libasound (it
// builds its events by hand, not with the service's encoder). Default pools,
// like most programs. Optionally reads its input on a thread of its own.
class SequencerPeer {
public:
    struct Address {
        int client = 0;
        int port = 0;
    };
    struct Inbox {
        std::vector<snd_seq_event_t> events;  // all but SYSEX
        std::vector<std::uint8_t> sysex;      // every SYSEX chunk, joined
        int overruns = 0;
    };

    static constexpr unsigned int kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    static constexpr unsigned int kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

    explicit SequencerPeer(const std::string& name);
    ~SequencerPeer();
    SequencerPeer(const SequencerPeer&) = delete;
    SequencerPeer& operator=(const SequencerPeer&) = delete;

    int status() const { return status_; }
    int client() const { return client_; }

    // The port number, or a negative errno.
    int createPort(const std::string& name, unsigned int caps);
    int deletePort(int port);
    int renamePort(int port, const std::string& name);
    // Subscribes `port` to what `source` sends.
    int subscribeFrom(int port, Address source);

    // To `destination`, or to the port's subscribers without one. Retries a
    // full receiver for up to the retry budget (five seconds unless set);
    // sendFailures() counts the attempts that found it full.
    int send(int port, std::optional<Address> destination, snd_seq_event_t event);
    // In chunks of `chunkSize` bytes; before each chunk, waits until
    // `mayContinue(bytesSentSoFar)` allows it (at most 60 s in all).
    int sendSysEx(int port, std::optional<Address> destination, std::span<const std::uint8_t> message,
                  std::size_t chunkSize, const std::function<bool(std::size_t)>& mayContinue);
    int sendFailures() const { return sendFailures_; }
    void setRetryBudget(std::chrono::milliseconds budget) { retryBudget_ = budget; }

    void startReceiving();
    Inbox inbox();
    bool waitUntil(const std::function<bool(const Inbox&)>& done, std::chrono::milliseconds timeout);

private:
    void readLoop();

    snd_seq_t* seq_ = nullptr;
    int status_ = 0;
    int client_ = -1;
    int sendFailures_ = 0;
    std::chrono::milliseconds retryBudget_{5000};
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Inbox inbox_;
};

}  // namespace velorin::test
