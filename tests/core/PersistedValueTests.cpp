#include <gtest/gtest.h>

#include "core/MemorySettingsStore.hpp"
#include "core/PersistedValue.hpp"

namespace velorin {
namespace {

TEST(PersistedValue, LoadsAnAcceptableStoredValueElseTheDefault) {
    MemorySettingsStore store;
    store.set("length", std::int64_t{12});
    store.set("huge", std::int64_t{1} << 40);
    store.set("layers", std::vector<bool>{true, false, true});
    const auto small = [](const int& v) { return v <= 10; };
    EXPECT_EQ(PersistedValue<int>(&store, "length", 8).value(), 12);
    EXPECT_EQ(PersistedValue<int>(&store, "length", 8, small).value(), 8);
    EXPECT_EQ(PersistedValue<int>(&store, "huge", 8).value(), 8);
    EXPECT_EQ(PersistedValue<bool>(&store, "length", true).value(), true);
    EXPECT_EQ((PersistedValue<std::array<bool, 4>>(&store, "layers", {}).value()), (std::array<bool, 4>{}));
    EXPECT_EQ((PersistedValue<std::array<bool, 3>>(&store, "layers", {}).value()),
              (std::array<bool, 3>{true, false, true}));
    EXPECT_EQ(store.writeCount(), 3);
}

TEST(PersistedValue, WritesAndReportsOnlyChanges) {
    MemorySettingsStore store;
    PersistedValue<std::array<bool, 2>> value(&store, "pair", {false, true});
    EXPECT_FALSE(value.set({false, true}));
    EXPECT_FALSE(store.contains("pair"));
    EXPECT_TRUE(value.set({true, true}));
    EXPECT_EQ(store.boolListValue("pair"), (std::vector<bool>{true, true}));
    EXPECT_EQ(store.writeCount(), 1);

    PersistedValue<int> inMemory(nullptr, "length", 8);
    EXPECT_TRUE(inMemory.set(9));
    EXPECT_EQ(inMemory.value(), 9);
}

}  // namespace
}  // namespace velorin
