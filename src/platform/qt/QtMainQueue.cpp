#include "platform/qt/QtMainQueue.hpp"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <climits>

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
