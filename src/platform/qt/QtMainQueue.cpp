// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/qt/QtMainQueue.hpp"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace velorin {

namespace {

// QTimer counts whole milliseconds in an int. Round up so a job never runs
// before its delay has passed, and cap at the longest interval QTimer accepts.
std::chrono::milliseconds timerInterval(MainQueue::Duration d, std::chrono::milliseconds minimum) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(d, MainQueue::Duration::zero()));
    return std::clamp(ms, minimum, std::chrono::milliseconds(INT_MAX));
}

// Stops and disposes of a timer or notifier. deleteLater() keeps this safe when
// the cancellation comes from inside the object's own signal.
template <typename T>
void dispose(const QPointer<T>& object) {
    if (!object) return;
    if constexpr (std::is_same_v<T, QTimer>) {
        object->stop();
    } else {
        object->setEnabled(false);
    }
    object->deleteLater();
}

// A one-shot timerfd and the notifier that watches it, shared by the
// notifier's slot and the handle's cancellation. close() may run any number of
// times: when the job fires, when the handle cancels, and when the last owner
// lets go (by then the notifier is gone or disabled, so only the descriptor is left).
struct TimerDescriptor {
    int fd = -1;
    QPointer<QSocketNotifier> notifier;

    TimerDescriptor() = default;
    TimerDescriptor(const TimerDescriptor&) = delete;
    TimerDescriptor& operator=(const TimerDescriptor&) = delete;
    ~TimerDescriptor() { closeDescriptor(); }

    void close() {
        // The notifier stops watching before the descriptor it watches is closed.
        dispose(notifier);
        notifier.clear();
        closeDescriptor();
    }
    void closeDescriptor() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Arms `fd` to expire once at `due` on CLOCK_MONOTONIC, the clock behind
// std::chrono::steady_clock on Linux. A time already passed expires at once.
bool armAt(int fd, MainQueue::TimePoint due) {
    // An all-zero expiry would disarm the timer: the earliest is 1 ns.
    const auto sinceBoot =
        std::max<std::chrono::nanoseconds>(due.time_since_epoch(), std::chrono::nanoseconds(1));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceBoot);
    itimerspec expiry{};  // a zero interval: one-shot
    expiry.it_value.tv_sec = static_cast<time_t>(seconds.count());
    expiry.it_value.tv_nsec = static_cast<long>((sinceBoot - seconds).count());
    return ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0;
}

}  // namespace

QtMainQueue::QtMainQueue() : context_(std::make_unique<QObject>()), mainThread_(std::this_thread::get_id()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> job) {
    // A queued invocation runs on the context object's thread on a later turn
    // of its event loop, whichever thread posts it.
    QMetaObject::invokeMethod(
        context_.get(), [job = std::move(job)] { job(); }, Qt::QueuedConnection);
}

TaskHandle QtMainQueue::postAfter(Duration delay, std::function<void()> job) {
    return startTimer(delay, false, std::move(job));
}

TaskHandle QtMainQueue::postAtPrecisely(TimePoint due, std::function<void()> job) {
    auto timer = std::make_shared<TimerDescriptor>();
    timer->fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer->fd < 0 || !armAt(timer->fd, due)) {
        // No timer descriptor to be had (the process is at its descriptor
        // limit): a QTimer, rounded up to whole milliseconds, is late but never early.
        return postAfter(due - now(), std::move(job));
    }
    auto state = makeTaskState();
    auto* notifier =
        new QSocketNotifier(static_cast<qintptr>(timer->fd), QSocketNotifier::Read, context_.get());
    timer->notifier = notifier;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [state, timer, job = std::move(job)] {
        // Readable means expired; reading takes the expiry count and would
        // fail (EAGAIN) before that.
        std::uint64_t expirations = 0;
        const auto n = ::read(timer->fd, &expirations, sizeof expirations);
        if (n != static_cast<ssize_t>(sizeof expirations)) return;
        timer->close();
        if (!state->cancelled.load()) job();
    });
    state->onCancel = [timer] { timer->close(); };
    return TaskHandle(std::move(state));
}

TaskHandle QtMainQueue::every(Duration interval, std::function<void()> job) {
    return startTimer(interval, true, std::move(job));
}

TaskHandle QtMainQueue::startTimer(Duration interval, bool repeating, std::function<void()> job) {
    auto state = makeTaskState();
    auto* timer = new QTimer(context_.get());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeating);
    // A repeating timer with a zero interval would starve the event loop.
    timer->setInterval(timerInterval(interval, std::chrono::milliseconds(repeating ? 1 : 0)));
    QPointer<QTimer> guard(timer);
    // The timer's slot holds the state (so a released handle still runs the job);
    // the state holds only a guarded pointer back, so there is no cycle.
    QObject::connect(timer, &QTimer::timeout, timer, [state, guard, repeating, job = std::move(job)] {
        if (state->cancelled.load()) return;
        job();
        if (!repeating && guard) guard->deleteLater();
    });
    state->onCancel = [guard] { dispose(guard); };
    timer->start();
    return TaskHandle(std::move(state));
}

TaskHandle QtMainQueue::watch(int fd, IoEvents events, std::function<void(IoEvents)> onReady) {
    auto state = makeTaskState();
    auto callback = std::make_shared<std::function<void(IoEvents)>>(std::move(onReady));
    auto makeNotifier = [&](QSocketNotifier::Type type, IoEvents reported) {
        auto* notifier = new QSocketNotifier(static_cast<qintptr>(fd), type, context_.get());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [state, callback, reported] {
            if (!state->cancelled.load()) (*callback)(reported);
        });
        return QPointer<QSocketNotifier>(notifier);
    };
    QPointer<QSocketNotifier> reader;
    QPointer<QSocketNotifier> writer;
    if (any(events & IoEvents::readable)) reader = makeNotifier(QSocketNotifier::Read, IoEvents::readable);
    if (any(events & IoEvents::writable)) writer = makeNotifier(QSocketNotifier::Write, IoEvents::writable);
    state->onCancel = [reader, writer] {
        dispose(reader);
        dispose(writer);
    };
    return TaskHandle(std::move(state));
}

}  // namespace velorin
