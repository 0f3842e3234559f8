// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "usb/channel/VLUSBTransport.hpp"

namespace velorin::testing {

// A scripted transport for unit tests on virtual time: the test decides when
// connections complete, which frames arrive and how channels end. Every
// delivery is posted, as the real bridge does.
class FakeUSBTransport final : public VLUSBTransport {
public:
    explicit FakeUSBTransport(MainQueue& queue) : queue_(queue) {}

    struct Channel {
        std::uint32_t device = 0;
        ConnectionCompletion completion;
        FrameHandler frames;
        EndHandler end;
        bool open = true;
    };
    struct Sent {
        VLUSBChannelIdentifier channel;
        std::uint32_t device = 0;
        std::uint32_t type = 0;
        std::uint32_t tag = 0;
        std::vector<std::uint8_t> payload;
    };

    void startObserving(AttachedHandler a, DetachedHandler d, ReadyHandler r) override {
        ++startCount;
        attached = std::move(a);
        detached = std::move(d);
        if (r) ready_ = queue_.postAfter({}, [r] { r(std::nullopt); });
    }
    void stopObserving() override {
        ++stopCount;
        attached = nullptr;
        detached = nullptr;
        ready_.cancel();
    }
    VLUSBChannelIdentifier openChannel(std::uint32_t device, ConnectionCompletion c, FrameHandler f,
                                       EndHandler e) override {
        const auto id = "ch-" + std::to_string(++nextID_);
        channels[id] = Channel{device, std::move(c), std::move(f), std::move(e), true};
        opened.push_back(id);
        return id;
    }
    void sendPayload(std::span<const std::uint8_t> payload, std::uint32_t type, std::uint32_t tag,
                     const VLUSBChannelIdentifier& id, SendCompletion completion) override {
        auto it = channels.find(id);
        if (it == channels.end() || !it->second.open) {
            queue_.post([completion, id] {
                if (completion) completion(id, PTError::posix(ENOTCONN));
            });
            return;
        }
        sent.push_back(Sent{id, it->second.device, type, tag, {payload.begin(), payload.end()}});
        PTOptionalError error =
            failSendsTo.count(it->second.device) ? PTOptionalError(PTError::posix(EPIPE)) : std::nullopt;
        queue_.post([completion, id, error] {
            if (completion) completion(id, error);
        });
    }
    void closeChannel(const VLUSBChannelIdentifier& id) override {
        auto it = channels.find(id);
        if (it == channels.end() || !it->second.open) return;
        it->second.open = false;
        ++closeCount;
        if (auto end = it->second.end) queue_.post([end, id] { end(id, std::nullopt); });
    }
    void closeAllChannels() override {
        for (auto& [id, ch] : channels) {
            if (ch.open) closeChannel(id);
        }
    }

    // Test controls.
    void attach(std::uint32_t device, const std::string& serialNumber = {}) {
        PTPlist properties = PTPlist::makeDictionary();
        if (!serialNumber.empty()) properties.set("SerialNumber", PTPlist::makeString(serialNumber));
        if (attached) attached(device, properties);
    }
    void detach(std::uint32_t device) {
        if (detached) detached(device);
    }
    VLUSBChannelIdentifier lastChannel(std::uint32_t device) const {
        for (auto it = opened.rbegin(); it != opened.rend(); ++it) {
            if (channels.at(*it).device == device) return *it;
        }
        return {};
    }
    std::size_t openCount(std::uint32_t device) const {
        std::size_t n = 0;
        for (const auto& id : opened)
            if (channels.at(id).device == device) ++n;
        return n;
    }
    void complete(const VLUSBChannelIdentifier& id, PTOptionalError error = std::nullopt) {
        auto c = channels.at(id).completion;
        queue_.post([c, id, error] { c(id, error); });
    }
    void frame(const VLUSBChannelIdentifier& id, std::uint32_t type, std::uint32_t tag,
               std::vector<std::uint8_t> payload) {
        auto f = channels.at(id).frames;
        queue_.post([f, id, type, tag, payload] { f(id, type, tag, payload); });
    }
    void end(const VLUSBChannelIdentifier& id, PTOptionalError error) {
        auto& ch = channels.at(id);
        ch.open = false;
        auto e = ch.end;
        queue_.post([e, id, error] { e(id, error); });
    }
    std::vector<Sent> sentOfType(std::uint32_t type) const {
        std::vector<Sent> out;
        for (const auto& s : sent) {
            if (s.type == type) out.push_back(s);
        }
        return out;
    }

    AttachedHandler attached;
    DetachedHandler detached;
    std::map<VLUSBChannelIdentifier, Channel> channels;
    std::vector<VLUSBChannelIdentifier> opened;
    std::vector<Sent> sent;
    std::map<std::uint32_t, bool> failSendsTo;
    int startCount = 0;
    int stopCount = 0;
    int closeCount = 0;

private:
    MainQueue& queue_;
    TaskHandle ready_;  // like the bridge, never reports readiness once stopped or gone
    int nextID_ = 0;
};

}  // namespace velorin::testing
