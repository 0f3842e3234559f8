// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace velorin {

// Keeps an observer registered while it lives. Move-only; destruction or
// reset() unsubscribes. Outliving the observed object is safe.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> unsubscribe) : unsubscribe_(std::move(unsubscribe)) {}
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    Subscription(Subscription&& other) noexcept : unsubscribe_(std::move(other.unsubscribe_)) {
        other.unsubscribe_ = nullptr;
    }
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            unsubscribe_ = std::move(other.unsubscribe_);
            other.unsubscribe_ = nullptr;
        }
        return *this;
    }
    ~Subscription() { reset(); }
    void reset() {
        if (auto u = std::move(unsubscribe_)) {
            unsubscribe_ = nullptr;
            u();
        }
    }

private:
    std::function<void()> unsubscribe_;
};

// Change notification for objects whose state the window shows. Observers are
// told that something changed and re-read what they need. Main thread only.
class Observable {
public:
    using Callback = std::function<void()>;

    Observable() : observers_(std::make_shared<Observers>()) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    [[nodiscard]] Subscription observe(Callback callback) const {
        const auto id = observers_->nextID++;
        observers_->callbacks.emplace(id, std::make_shared<Callback>(std::move(callback)));
        std::weak_ptr<Observers> weak = observers_;
        return Subscription([weak, id] {
            if (auto observers = weak.lock()) observers->callbacks.erase(id);
        });
    }

protected:
    ~Observable() = default;

    // Calls every observer registered now; an observer may unsubscribe itself or
    // others while being called.
    void notifyObservers() const {
        std::vector<std::weak_ptr<Callback>> current;
        current.reserve(observers_->callbacks.size());
        for (const auto& [id, cb] : observers_->callbacks) current.push_back(cb);
        for (const auto& weak : current) {
            if (auto cb = weak.lock()) (*cb)();
        }
    }

private:
    struct Observers {
        std::uint64_t nextID = 0;
        std::map<std::uint64_t, std::shared_ptr<Callback>> callbacks;
    };
    std::shared_ptr<Observers> observers_;
};

}  // namespace velorin
