// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/PriorityInheritanceMutex.hpp"

namespace velorin {

// The latest immutable value one thread publishes for another to read: state
// of the engine's thread as the window shows it.
//
// publish() (the writer's thread) replaces the value and, unless a
// notification is already on its way, posts one to the reader's queue, so a
// burst of publications reaches the reader as one turn of its loop. The
// reader's observers run on the reader's queue and take latest(), which any
// thread may call; what it returns never changes under the caller.
template <typename T>
class SnapshotChannel final : public Observable {
public:
    SnapshotChannel(MainQueue& readerQueue, std::shared_ptr<const T> initial)
        : readerQueue_(readerQueue), shared_(std::make_shared<Shared>()) {
        shared_->value = std::move(initial);
    }
    SnapshotChannel(const SnapshotChannel&) = delete;
    SnapshotChannel& operator=(const SnapshotChannel&) = delete;

    // The writer's thread.
    void publish(std::shared_ptr<const T> value) {
        {
            const std::lock_guard lock(shared_->mutex);
            shared_->value = std::move(value);
            if (shared_->notificationPending) return;
            shared_->notificationPending = true;
        }
        std::weak_ptr<Shared> weak = shared_;
        readerQueue_.post([this, weak] {
            // The channel lives on the reader's thread: if it is gone, so is `this`.
            const auto shared = weak.lock();
            if (!shared) return;
            {
                const std::lock_guard lock(shared->mutex);
                shared->notificationPending = false;
            }
            notifyObservers();
        });
    }

    // Any thread.
    std::shared_ptr<const T> latest() const {
        const std::lock_guard lock(shared_->mutex);
        return shared_->value;
    }

private:
    struct Shared {
        PriorityInheritanceMutex mutex;
        std::shared_ptr<const T> value;
        bool notificationPending = false;
    };
    MainQueue& readerQueue_;
    std::shared_ptr<Shared> shared_;
};

// Publishes make() into `channel` now and each time `source` tells its
// observers, until the subscription ends; a value equal to the last one
// published is left out. The source's thread; `channel` must outlive the
// subscription.
template <typename T, typename Make>
[[nodiscard]] Subscription publishOnChange(const Observable& source, SnapshotChannel<T>& channel, Make make) {
    auto publish = [&channel, make = std::move(make), last = std::shared_ptr<const T>()]() mutable {
        auto value = std::make_shared<const T>(make());
        if (last && *last == *value) return;
        last = value;
        channel.publish(std::move(value));
    };
    publish();
    return source.observe(std::move(publish));
}

}  // namespace velorin
