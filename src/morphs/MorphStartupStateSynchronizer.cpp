// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/MorphStartupStateSynchronizer.hpp"

namespace velorin {

MorphStartupStateSynchronizer::MorphStartupStateSynchronizer(MainQueue& queue, std::uint64_t delayNanoseconds)
    : queue_(queue), delayNanoseconds_(delayNanoseconds) {}

void MorphStartupStateSynchronizer::cancel() {
    pendingTask_.cancel();
    pendingTask_ = TaskHandle{};
    ++generation_;
}

void MorphStartupStateSynchronizer::schedule(std::function<bool()> condition, std::function<void()> action) {
    cancel();
    const std::int64_t requestGeneration = ++generation_;
    const auto delay =
        std::chrono::duration_cast<MainQueue::Duration>(std::chrono::nanoseconds(delayNanoseconds_));
    // The handle is owned by this object and cancels the job when it goes, so
    // the job may refer to `this`.
    pendingTask_ =
        queue_.postAfter(delay, [this, requestGeneration, condition = std::move(condition),
                                 action = std::move(action)] { run(requestGeneration, condition, action); });
}

void MorphStartupStateSynchronizer::run(std::int64_t requestGeneration,
                                        const std::function<bool()>& condition,
                                        const std::function<void()>& action) {
    if (generation_ != requestGeneration) return;  // a newer request owns the pending task
    if (condition && condition() && action) action();
    if (generation_ != requestGeneration) return;  // the action itself started or cancelled a run
    // Forgetting the handle of the running job is safe; the job's captures
    // stay alive until it returns.
    pendingTask_ = TaskHandle{};
}

}  // namespace velorin
