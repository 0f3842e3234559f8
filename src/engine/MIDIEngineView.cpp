// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDIEngineView.hpp"

#include <algorithm>
#include <vector>

#include "engine/MIDIEngine.hpp"

namespace velorin {

struct MIDIEngineStatePublisher::Core {
    Core(MIDIEngine& e, MainQueue& q, MIDIEngineStateChannel& c) : engine(e), queue(q), channel(c) {}

    // Asks for a publication; `forced` publishes even an unchanged value.
    void schedule(bool forced) {
        forcedPending = forcedPending || forced;
        if (pending.isActive()) return;
        const auto wait =
            lastPublished ? std::max(MainQueue::Duration::zero(), *lastPublished + kMinInterval - queue.now())
                          : MainQueue::Duration::zero();
        pending = queue.postAfter(wait, [this] { publish(); });
    }

    void publish() {
        pending = TaskHandle();
        auto value = std::make_shared<const MIDIEngineSnapshot>(engine.snapshot());
        const bool forced = std::exchange(forcedPending, false);
        lastPublished = queue.now();
        if (!forced && last && *last == *value) return;
        last = value;
        channel.publish(std::move(value));
    }

    MIDIEngine& engine;
    MainQueue& queue;
    MIDIEngineStateChannel& channel;
    std::shared_ptr<const MIDIEngineSnapshot> last;
    std::optional<MainQueue::TimePoint> lastPublished;
    bool forcedPending = false;
    TaskHandle pending;
    std::vector<Subscription> subscriptions;
};

MIDIEngineStatePublisher::MIDIEngineStatePublisher(MIDIEngine& engine, MainQueue& engineQueue,
                                                   MIDIEngineStateChannel& channel)
    : core_(std::make_shared<Core>(engine, engineQueue, channel)) {
    Core* core = core_.get();
    const auto onChange = [core] { core->schedule(false); };
    core->subscriptions.push_back(engine.observe(onChange));
    core->subscriptions.push_back(engine.fc200Settings()->observe(onChange));
    core->subscriptions.push_back(engine.octaveLayerSettings()->observe(onChange));
    core->subscriptions.push_back(engine.linkLooperSettings()->observe(onChange));
    core->subscriptions.push_back(engine.linkLooperStateStore()->observe(onChange));
    core->subscriptions.push_back(engine.usbPresentationSettings().observe(onChange));
    core->publish();
}

MIDIEngineStatePublisher::~MIDIEngineStatePublisher() = default;

MIDIEngineCommands MIDIEngineStatePublisher::commands() const {
    MainQueue* queue = &core_->queue;
    std::weak_ptr<Core> weak = core_;
    // Runs `change` on the engine's thread while the publisher lives, then publishes.
    auto post = [queue, weak](std::function<void(MIDIEngine&)> change) {
        queue->post([weak, change = std::move(change)] {
            const auto core = weak.lock();
            if (!core) return;
            change(core->engine);
            core->schedule(true);
        });
    };
    return MIDIEngineCommands{
        .setInputAssignment =
            [post](bool on, std::string input, std::string morph, std::string group) {
                post([=](MIDIEngine& e) { e.setInputAssignment(on, input, morph, group); });
            },
        .setOutputAssignment =
            [post](bool on, std::string destination, std::string morph, std::string group) {
                post([=](MIDIEngine& e) { e.setOutputAssignment(on, destination, morph, group); });
            },
        .setInputAvailable =
            [post](bool on, std::string key) { post([=](MIDIEngine& e) { e.setInputAvailable(on, key); }); },
        .setOutputAvailable =
            [post](bool on, std::string key) { post([=](MIDIEngine& e) { e.setOutputAvailable(on, key); }); },
        .setShowsIndividualUSBDevices =
            [post](bool on) {
                post([on](MIDIEngine& e) { e.usbPresentationSettings().setShowsIndividualUSBDevices(on); });
            },
        .setShowsFC200Morph = [post](bool on) { post([on](MIDIEngine& e) { e.setShowsFC200Morph(on); }); },
        .setAdditionalVirtualPortsEnabled =
            [post](bool on) { post([on](MIDIEngine& e) { e.setAdditionalVirtualPortsEnabled(on); }); },
        .setFC200UpperPedalsToggleEnabled =
            [post](bool on) { post([on](MIDIEngine& e) { e.setFC200UpperPedalsToggleEnabled(on); }); },
        .setFC200UpperPedalsShareLowerCCsEnabled =
            [post](bool on) { post([on](MIDIEngine& e) { e.setFC200UpperPedalsShareLowerCCsEnabled(on); }); },
        .setOctaveLayerEnabled =
            [post](OctaveLayerKind kind, bool on) {
                post([=](MIDIEngine& e) { e.octaveLayerSettings()->setEnabled(on, kind); });
            },
        .setLinkLooper = [post](int index,
                                bool on) { post([=](MIDIEngine& e) { e.setLinkLooper(index, on); }); },
        .setLinkLooperMute =
            [post](int index, bool muted) {
                post([=](MIDIEngine& e) { e.setLinkLooperMute(index, muted); });
            },
        .openMorphUI = [post](std::string id) { post([id](MIDIEngine& e) { e.openMorphUI(id); }); },
        .dismissMorphUI = [post] { post([](MIDIEngine& e) { e.dismissMorphUI(); }); },
        .panic = [post] { post([](MIDIEngine& e) { e.panic(); }); },
    };
}

}  // namespace velorin
