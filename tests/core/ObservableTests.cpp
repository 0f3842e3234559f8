// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "core/MemorySettingsStore.hpp"
#include "core/Observable.hpp"

namespace {
struct Counter : velorin::Observable {
    void change() { notifyObservers(); }
};
}  // namespace

TEST(Observable, SubscriptionEndsWhenDestroyedAndMayOutliveTheObject) {
    auto counter = std::make_unique<Counter>();
    int calls = 0;
    auto sub = counter->observe([&] { ++calls; });
    counter->change();
    {
        auto other = counter->observe([&] { calls += 10; });
        counter->change();
    }
    counter->change();
    EXPECT_EQ(calls, 13);
    counter.reset();
    sub.reset();  // the observed object is gone: nothing happens
}

TEST(Observable, ObserverMayUnsubscribeItselfWhileNotified) {
    Counter counter;
    int calls = 0;
    velorin::Subscription sub;
    sub = counter.observe([&] {
        ++calls;
        sub.reset();
    });
    counter.change();
    counter.change();
    EXPECT_EQ(calls, 1);
}

TEST(MemorySettingsStore, TypedGettersAnswerAbsentForOtherTypes) {
    velorin::MemorySettingsStore s;
    s.set("flag", true);
    s.set("n", std::int64_t{8});
    EXPECT_EQ(s.boolValue("flag"), true);
    EXPECT_EQ(s.integerValue("flag"), std::nullopt);
    EXPECT_EQ(s.integerValue("n"), 8);
    EXPECT_EQ(s.doubleValue("n"), std::nullopt);
    EXPECT_EQ(s.dataValue("missing"), std::nullopt);
    s.remove("n");
    EXPECT_FALSE(s.contains("n"));
}
