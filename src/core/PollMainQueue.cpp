// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/PollMainQueue.hpp"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

namespace velorin {

namespace detail {
// What the timer signal's handler writes: the blocking reader's wake message
// and its descriptor, -1 while there is no reader. The queue's thread changes
// it; the handler runs on that thread too, between two of its instructions,
// so the message is complete before the descriptor is set.
struct TimerWake {
    std::atomic<int> fd{-1};
    std::size_t size = 0;
    std::array<std::uint8_t, MainQueue::kMaxWakeMessage> message{};
};
}  // namespace detail

namespace {

// A realtime signal nothing else in the process uses; queued once per timer
// however often it fires, so it cannot pile up.
int timerSignal() {
    return SIGRTMIN + 4;
}

// The wake of the queue whose loop runs on this thread, while it runs a turn.
// Initial-exec, so the signal handler reads it without any allocation.
constinit thread_local detail::TimerWake* tlsTimerWake [[gnu::tls_model("initial-exec")]] = nullptr;

void onTimerSignal(int) {
    const int savedErrno = errno;
    if (detail::TimerWake* wake = tlsTimerWake) {
        if (const int fd = wake->fd.load(); fd >= 0) {
            [[maybe_unused]] const auto n = ::write(fd, wake->message.data(), wake->size);
        }
    }
    errno = savedErrno;
}

// Installs the handler once for the process; false when the signal belongs
// to someone else already.
bool installTimerSignal() {
    static const bool installed = [] {
        struct sigaction current {};
        if (::sigaction(timerSignal(), nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return false;
        struct sigaction action {};
        action.sa_handler = onTimerSignal;
        ::sigemptyset(&action.sa_mask);
        // Not restarted: a read the signal interrupts returns at once (even
        // where a sanitizer runs the handler late). The timer is set only
        // while the loop runs and keeps its time in the reader's wait (a poll
        // or the end of run() clears it), and the loop's own calls then do
        // not sleep; the wake message covers a signal that comes just before
        // the read.
        action.sa_flags = 0;
        return ::sigaction(timerSignal(), &action, nullptr) == 0;
    }();
    return installed;
}

timespec toTimespec(MainQueue::TimePoint t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// Sets the calling thread's wake for one turn of its loop, and restores the
// one before (a job may run another queue's loop on the same thread).
class TurnWake {
public:
    explicit TurnWake(detail::TimerWake* wake) : previous_(tlsTimerWake) { tlsTimerWake = wake; }
    ~TurnWake() { tlsTimerWake = previous_; }
    TurnWake(const TurnWake&) = delete;
    TurnWake& operator=(const TurnWake&) = delete;

private:
    detail::TimerWake* previous_;
};

}  // namespace

PollMainQueue::PollMainQueue()
    : wakeFD_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), timerWake_(std::make_unique<detail::TimerWake>()) {}

PollMainQueue::~PollMainQueue() {
    deleteTimer();
    if (wakeFD_ >= 0) ::close(wakeFD_);
}

void PollMainQueue::wakeUp() {
    // The job was marked posted before this load, and the loop sets
    // `waiting_` before it looks for posted jobs (both sequentially
    // consistent): either the loop finds the job or this finds the flag set.
    if (!waiting_.load()) return;
    signalWakeFD();
    wakeReader();
}

bool PollMainQueue::setBlockingReader(std::optional<BlockingReader> reader) {
    if (reader && (reader->wakeFD < 0 || reader->wakeMessage.empty() ||
                   reader->wakeMessage.size() > kMaxWakeMessage || !reader->readBlocking)) {
        return false;
    }
    std::optional<BlockingReader> previous;
    {
        const std::lock_guard lock(readerMutex_);
        // The handler may run between any two of these lines: it finds either
        // no descriptor or a whole message.
        timerWake_->fd = -1;
        if (reader) {
            timerWake_->size = reader->wakeMessage.size();
            std::memcpy(timerWake_->message.data(), reader->wakeMessage.data(), timerWake_->size);
            timerWake_->fd = reader->wakeFD;
        }
        previous = std::exchange(reader_, std::move(reader));
    }
    // A reader that withdraws itself from inside its own wait is still running.
    if (inReader_) retiredReader_ = std::move(previous);
    return true;
}

void PollMainQueue::wakeReader() {
    // The same bytes the timer signal's handler writes.
    const std::lock_guard lock(readerMutex_);
    if (const int fd = timerWake_->fd.load(); fd >= 0) {
        [[maybe_unused]] const auto n = ::write(fd, timerWake_->message.data(), timerWake_->size);
    }
}

bool PollMainQueue::timerSignalReady() {
    if (!installTimerSignal()) return false;
    const std::thread::id thread = detail::currentThreadID();
    if (timer_ && timerThread_ == thread) return true;
    // The loop has moved to another thread (or never had a timer).
    deleteTimer();
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = timerSignal();
    event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
    timer_t timer{};
    if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return false;
    timer_ = timer;
    timerThread_ = thread;
    return true;
}

void PollMainQueue::armTimer(std::optional<TimePoint> due) {
    if (!timer_ || armedDue_ == due) return;
    itimerspec setting{};
    if (due) setting.it_value = toTimespec(*due);
    // A time already past fires at once; zero would disarm instead.
    if (due && setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) setting.it_value.tv_nsec = 1;
    if (::timer_settime(*timer_, TIMER_ABSTIME, &setting, nullptr) == 0) armedDue_ = due;
}

void PollMainQueue::deleteTimer() {
    if (!timer_) return;
    ::timer_delete(*timer_);
    timer_.reset();
    armedDue_.reset();
}

void PollMainQueue::signalWakeFD() {
    if (wakeFD_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFD_, &one, sizeof one);
}

void PollMainQueue::stop() {
    stopRequested_ = true;
    signalWakeFD();
    wakeReader();
}

void PollMainQueue::runOnce(std::optional<TimePoint> deadline) {
    // Set before the clock is read: a timer that fires after that read ends
    // the wait below; one that fired before it is due and seen as such.
    const TurnWake turnWake(timerWake_.get());
    // The clock is read again only after something ran: a turn that finds
    // nothing to do (most turns of a busy loop) reads it once.
    runPosted();
    TimePoint time = now();
    while (runOneTimer(time, [](TimePoint) {})) {
        runPosted();
        time = now();
    }
    waiting_ = true;
    if (hasPosted()) {
        waiting_ = false;
        return;
    }
    std::optional<TimePoint> wakeAt = deadline;
    if (auto due = nextDue()) wakeAt = wakeAt ? std::min(*wakeAt, *due) : *due;
    // The wait is exact to the nanosecond and the kernel never ends it early,
    // so a timer due in the future is due when the wait ends: nothing spins,
    // however close the timer is.
    constexpr Duration kLongestWait = std::chrono::seconds(1);
    const Duration wait =
        wakeAt ? std::clamp<Duration>(*wakeAt - time, Duration::zero(), kLongestWait) : kLongestWait;
    if (reader_ && wait > Duration::zero() && (!wakeAt || timerSignalReady()) && watchesOnly(reader_->fd)) {
        armTimer(wakeAt);
        inReader_ = true;
        reader_->readBlocking();
        inReader_ = false;
        retiredReader_.reset();
        waiting_ = false;
        return;
    }
    // The poll keeps time itself; a timer left set would only end it early.
    if (armedDue_) armTimer(std::nullopt);
    bool woken = false;
    pollWatches(wait, wakeFD_, &woken);
    waiting_ = false;
    if (woken) {
        std::uint64_t drained = 0;
        [[maybe_unused]] auto n = ::read(wakeFD_, &drained, sizeof drained);
    }
}

void PollMainQueue::run() {
    stopRequested_ = false;
    while (!stopRequested_) runOnce(std::nullopt);
    // The thread goes on to other work, whose calls the signal would interrupt.
    armTimer(std::nullopt);
}

bool PollMainQueue::runFor(Duration d, const std::function<bool()>& done) {
    stopRequested_ = false;
    const TimePoint end = now() + d;
    bool finished = false;
    while (!stopRequested_ && now() < end) {
        if (done && done()) {
            finished = true;
            break;
        }
        runOnce(end);
    }
    armTimer(std::nullopt);
    return finished || !done || done();
}

}  // namespace velorin
