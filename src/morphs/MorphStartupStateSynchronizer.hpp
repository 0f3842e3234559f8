// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "core/MainQueue.hpp"

namespace velorin {

// Runs the morphs' start-up state snapshot once, a delay after the engine
// started. A newer request or a cancellation makes an older pending run do
// nothing; the generation counter, not the cancellation alone, decides that.
// Engine thread only.
class MorphStartupStateSynchronizer {
public:
    static constexpr std::uint64_t kDefaultDelayNanoseconds = 2'000'000'000;

    explicit MorphStartupStateSynchronizer(MainQueue& queue,
                                           std::uint64_t delayNanoseconds = kDefaultDelayNanoseconds);
    MorphStartupStateSynchronizer(const MorphStartupStateSynchronizer&) = delete;
    MorphStartupStateSynchronizer& operator=(const MorphStartupStateSynchronizer&) = delete;

    // After the delay: runs `action` if `condition` then holds and no newer
    // request or cancellation came in between.
    void schedule(std::function<bool()> condition, std::function<void()> action);
    void cancel();

    bool hasPendingTask() const { return pendingTask_.isActive(); }
    std::int64_t generation() const { return generation_; }
    std::uint64_t delayNanoseconds() const { return delayNanoseconds_; }

private:
    void run(std::int64_t requestGeneration, const std::function<bool()>& condition,
             const std::function<void()>& action);

    MainQueue& queue_;
    std::uint64_t delayNanoseconds_;
    TaskHandle pendingTask_;
    std::int64_t generation_ = 0;
};

}  // namespace velorin
