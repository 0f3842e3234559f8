// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include "link/LinkSession.hpp"

namespace velorin {

// The real Link session, backed by the Ableton Link library. This header keeps
// the library (and its networking headers) out of everyone else's includes.
// Every library call is guarded: an exception is reported to the failure
// handler and the call answers a neutral value. A session that is never
// enabled opens no sockets.
class AbletonLinkSession final : public LinkSession {
public:
    // A new, disabled session at `bpm`, or null when the library could not
    // create one (the reason goes to `onFailure` when given).
    static std::unique_ptr<AbletonLinkSession> create(double bpm, const FailureHandler& onFailure = {});
    ~AbletonLinkSession() override;
    AbletonLinkSession(const AbletonLinkSession&) = delete;
    AbletonLinkSession& operator=(const AbletonLinkSession&) = delete;

    bool isEnabled() const override;
    void enable(bool enabled) override;
    bool isStartStopSyncEnabled() const override;
    void enableStartStopSync(bool enabled) override;
    std::size_t numPeers() const override;
    std::chrono::microseconds clockMicros() const override;
    double tempo() const override;
    bool isPlaying() const override;
    double beatAtTime(std::chrono::microseconds time, double quantum) const override;
    std::chrono::microseconds timeAtBeat(double beat, double quantum) const override;
    void commit(const LinkSessionChange& change) override;
    void setFailureHandler(FailureHandler handler) override;

private:
    struct Impl;
    explicit AbletonLinkSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace velorin
