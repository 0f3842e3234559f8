// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace velorin {

// What a watched file descriptor is ready for.
enum class IoEvents : unsigned { none = 0, readable = 1u << 0, writable = 1u << 1 };

constexpr IoEvents operator|(IoEvents a, IoEvents b) {
    return static_cast<IoEvents>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr IoEvents operator&(IoEvents a, IoEvents b) {
    return static_cast<IoEvents>(static_cast<unsigned>(a) & static_cast<unsigned>(b));
}
constexpr bool any(IoEvents e) {
    return e != IoEvents::none;
}

namespace detail {
// Shared between a queued task and its handle. `cancelled` may be read from the
// queue's thread; `onCancel` runs on the owner's thread when the handle cancels.
struct TaskState {
    std::atomic<bool> cancelled{false};
    std::function<void()> onCancel;
};
}  // namespace detail

// Owns one delayed job, repeating timer or descriptor watch. Move-only; cancel()
// and destruction both cancel. Cancelling from inside the job itself is safe, and
// cancelling after the queue is gone does nothing. The queue's thread only.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::TaskState> state) : state_(std::move(state)) {}
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;
    TaskHandle(TaskHandle&& other) noexcept : state_(std::move(other.state_)) {}
    TaskHandle& operator=(TaskHandle&& other) noexcept {
        if (this != &other) {
            cancel();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~TaskHandle() { cancel(); }

    void cancel() {
        if (!state_) return;
        auto state = std::move(state_);
        if (!state->cancelled.exchange(true)) {
            if (auto onCancel = std::move(state->onCancel)) onCancel();
        }
    }
    // Lets a job run to completion without keeping a handle: the handle forgets
    // the task without cancelling it.
    void release() { state_.reset(); }

    // True while the handle holds a task that has not been cancelled. A one-shot
    // job that already ran still counts as held until the handle is reset.
    bool isActive() const { return state_ && !state_->cancelled.load(); }

private:
    std::shared_ptr<detail::TaskState> state_;
};

// The queue of the thread that owns a set of objects ("its thread" below; the
// name is older than the server's two such threads: the engine thread's queue
// runs the MIDI path, the GUI thread's the window). Every timer, delay and
// timeout of the core goes through it, so tests can run the whole system on
// virtual time.
class MainQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = Clock::duration;
    using TimePoint = Clock::time_point;

    virtual ~MainQueue() = default;

    // Any thread. The job runs later on its thread, never inline.
    virtual void post(std::function<void()> job) = 0;
    // Its thread. Runs the job once after `delay`, unless cancelled first.
    virtual TaskHandle postAfter(Duration delay, std::function<void()> job) = 0;
    // Its thread. Runs the job once at `due` on this queue's clock, within a
    // fraction of a millisecond and never before it, unless cancelled first. A
    // time already passed runs on the next turn, never inline. By default a
    // delayed job, which is precise wherever the queue's delays are (virtual
    // time, the poll loop); a queue whose delays are coarser overrides it.
    virtual TaskHandle postAtPrecisely(TimePoint due, std::function<void()> job) {
        return postAfter(due - now(), std::move(job));
    }
    // Its thread. Runs the job every `interval` until cancelled.
    virtual TaskHandle every(Duration interval, std::function<void()> job) = 0;
    // Its thread. Calls `onReady` on its thread whenever `fd` is ready for
    // one of `events`, until cancelled. The descriptor stays owned by the caller,
    // who must cancel the watch before closing it.
    virtual TaskHandle watch(int fd, IoEvents events, std::function<void(IoEvents)> onReady) = 0;
    // The monotonic clock (virtual in tests).
    virtual TimePoint now() const = 0;
    virtual bool isMainThread() const = 0;

    // A watched descriptor whose owner can also wait for it in a blocking
    // read. A thread asleep in read(2) is woken by the kernel more cheaply
    // than one asleep in a poll, so a loop whose only descriptor is this one
    // waits in `readBlocking` instead of polling.
    struct BlockingReader {
        // The watched descriptor it stands for.
        int fd = -1;
        // The queue's thread: sleeps until the descriptor has input or the
        // wake message comes, then handles what came, as the watch's callback
        // would.
        std::function<void()> readBlocking;
        // Written whole to `wakeFD`, it makes the current or the next
        // `readBlocking` return; the reader skips it. The queue writes it from
        // any thread, and from a signal handler when a timer falls due, so it
        // is plain bytes (at most kMaxWakeMessage).
        int wakeFD = -1;
        std::vector<std::uint8_t> wakeMessage;
    };
    static constexpr std::size_t kMaxWakeMessage = 64;
    // Its thread. Lets the loop wait in `reader` (or, empty, withdraws it).
    // Once it returns, the previous reader's wake message is not being written
    // and is not written again. False when this queue only polls, or the
    // reader has no usable wake message; the watch works as before.
    virtual bool setBlockingReader(std::optional<BlockingReader> reader) {
        (void)reader;
        return false;
    }

    // Seconds of the monotonic clock, for stamps kept as doubles.
    double uptimeSeconds() const { return std::chrono::duration<double>(now().time_since_epoch()).count(); }
};

// Builds the shared state of a task; implementations use it to make handles.
inline std::shared_ptr<detail::TaskState> makeTaskState() {
    return std::make_shared<detail::TaskState>();
}

}  // namespace velorin
