#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "core/MainQueue.hpp"

namespace velorin {

class VLUSBRetryCancellation {
public:
    virtual ~VLUSBRetryCancellation() = default;
    virtual void cancel() = 0;
};

// Schedules the USB timers (retries, watchdogs, heartbeat, lease retry).
class VLUSBRetryScheduling {
public:
    virtual ~VLUSBRetryScheduling() = default;
    virtual std::unique_ptr<VLUSBRetryCancellation> schedule(double delaySeconds,
                                                             std::function<void()> action) = 0;
    // The clock the delays run on (the ping round trip is measured with it).
    virtual MainQueue::TimePoint now() const { return MainQueue::Clock::now(); }
};

// Runs the action on the main queue after the delay, unless cancelled first
// (destroying the cancellation cancels too).
class VLUSBDispatchRetryClock final : public VLUSBRetryScheduling {
public:
    explicit VLUSBDispatchRetryClock(MainQueue& queue) : queue_(queue) {}

    class Cancellation final : public VLUSBRetryCancellation {
    public:
        explicit Cancellation(TaskHandle item) : workItem(std::move(item)) {}
        void cancel() override { workItem.cancel(); }
        TaskHandle workItem;
    };

    std::unique_ptr<VLUSBRetryCancellation> schedule(double delaySeconds,
                                                     std::function<void()> action) override {
        const auto delay = std::chrono::duration_cast<MainQueue::Duration>(
            std::chrono::duration<double>(delaySeconds < 0 ? 0.0 : delaySeconds));
        return std::make_unique<Cancellation>(queue_.postAfter(delay, std::move(action)));
    }
    MainQueue::TimePoint now() const override { return queue_.now(); }

private:
    MainQueue& queue_;
};

}  // namespace velorin
