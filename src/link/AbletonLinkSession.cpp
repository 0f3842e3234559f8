// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/AbletonLinkSession.hpp"

#include <ableton/Link.hpp>

#include <exception>
#include <string>
#include <utility>

namespace velorin {

struct AbletonLinkSession::Impl {
    explicit Impl(double bpm) : link(bpm) {}
    ableton::Link link;  // neither copyable nor movable: held in place
    FailureHandler onFailure;

    // Runs `call`; on any exception reports it and answers `fallback`.
    template <typename T, typename Call>
    T guarded(const char* what, T fallback, Call&& call) const noexcept {
        try {
            return std::forward<Call>(call)();
        } catch (const std::exception& e) {
            report(what, e.what());
        } catch (...) {
            report(what, "unknown error");
        }
        return fallback;
    }
    template <typename Call>
    void guardedVoid(const char* what, Call&& call) const noexcept {
        try {
            std::forward<Call>(call)();
        } catch (const std::exception& e) {
            report(what, e.what());
        } catch (...) {
            report(what, "unknown error");
        }
    }
    void report(const char* what, const char* reason) const noexcept {
        if (!onFailure) return;
        try {
            onFailure(std::string(what) + ": " + reason);
        } catch (...) {
        }
    }
};

std::unique_ptr<AbletonLinkSession> AbletonLinkSession::create(double bpm, const FailureHandler& onFailure) {
    std::string reason;
    try {
        return std::unique_ptr<AbletonLinkSession>(new AbletonLinkSession(std::make_unique<Impl>(bpm)));
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown error";
    }
    if (onFailure) {
        try {
            onFailure("create session: " + reason);
        } catch (...) {
        }
    }
    return nullptr;
}

AbletonLinkSession::AbletonLinkSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AbletonLinkSession::~AbletonLinkSession() {
    // Destroying the library object leaves the session; it must not throw out of here.
    try {
        impl_.reset();
    } catch (...) {
    }
}

bool AbletonLinkSession::isEnabled() const {
    return impl_->guarded("isEnabled", false, [&] { return impl_->link.isEnabled(); });
}

void AbletonLinkSession::enable(bool enabled) {
    impl_->guardedVoid("enable", [&] { impl_->link.enable(enabled); });
}

bool AbletonLinkSession::isStartStopSyncEnabled() const {
    return impl_->guarded("isStartStopSyncEnabled", false,
                          [&] { return impl_->link.isStartStopSyncEnabled(); });
}

void AbletonLinkSession::enableStartStopSync(bool enabled) {
    impl_->guardedVoid("enableStartStopSync", [&] { impl_->link.enableStartStopSync(enabled); });
}

std::size_t AbletonLinkSession::numPeers() const {
    return impl_->guarded("numPeers", std::size_t{0}, [&] { return impl_->link.numPeers(); });
}

std::chrono::microseconds AbletonLinkSession::clockMicros() const {
    return impl_->guarded("clock", std::chrono::microseconds{0},
                          [&] { return impl_->link.clock().micros(); });
}

double AbletonLinkSession::tempo() const {
    return impl_->guarded("tempo", 0.0, [&] { return impl_->link.captureAppSessionState().tempo(); });
}

bool AbletonLinkSession::isPlaying() const {
    return impl_->guarded("isPlaying", false,
                          [&] { return impl_->link.captureAppSessionState().isPlaying(); });
}

double AbletonLinkSession::beatAtTime(std::chrono::microseconds time, double quantum) const {
    return impl_->guarded("beatAtTime", 0.0,
                          [&] { return impl_->link.captureAppSessionState().beatAtTime(time, quantum); });
}

std::chrono::microseconds AbletonLinkSession::timeAtBeat(double beat, double quantum) const {
    return impl_->guarded("timeAtBeat", std::chrono::microseconds{0},
                          [&] { return impl_->link.captureAppSessionState().timeAtBeat(beat, quantum); });
}

void AbletonLinkSession::commit(const LinkSessionChange& change) {
    impl_->guardedVoid("commit", [&] {
        auto state = impl_->link.captureAppSessionState();
        if (change.tempo) state.setTempo(*change.tempo, change.atTime);
        if (change.isPlaying) state.setIsPlaying(*change.isPlaying, change.atTime);
        if (change.forcedBeat) state.forceBeatAtTime(*change.forcedBeat, change.atTime, change.quantum);
        impl_->link.commitAppSessionState(state);
    });
}

void AbletonLinkSession::setFailureHandler(FailureHandler handler) {
    impl_->onFailure = std::move(handler);
}

}  // namespace velorin
