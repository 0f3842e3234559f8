// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/SettingsStore.hpp"

namespace velorin {

// How a value of type T is kept in a settings store: `load` answers absent when
// the stored value is missing or does not decode as a T; `encode` gives what is
// stored for it.
template <typename T>
struct SettingsCoding;

template <>
struct SettingsCoding<bool> {
    static std::optional<bool> load(const SettingsStore& store, std::string_view key) {
        return store.boolValue(key);
    }
    static SettingsValue encode(bool value) { return value; }
};

// Stored as an integer; a stored number outside the range of int is absent.
template <>
struct SettingsCoding<int> {
    static std::optional<int> load(const SettingsStore& store, std::string_view key) {
        const auto stored = store.integerValue(key);
        if (!stored || *stored < std::numeric_limits<int>::min() || *stored > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(*stored);
    }
    static SettingsValue encode(int value) { return std::int64_t{value}; }
};

// Stored as a list of Booleans; a list of any other length is absent.
template <std::size_t N>
struct SettingsCoding<std::array<bool, N>> {
    static std::optional<std::array<bool, N>> load(const SettingsStore& store, std::string_view key) {
        const auto stored = store.boolListValue(key);
        if (!stored || stored->size() != N) return std::nullopt;
        std::array<bool, N> value{};
        for (std::size_t i = 0; i < N; ++i) value[i] = (*stored)[i];
        return value;
    }
    static SettingsValue encode(const std::array<bool, N>& value) {
        return std::vector<bool>(value.begin(), value.end());
    }
};

// One value kept in a settings store under one key: read once when it is made
// (falling back to the default when the store holds nothing acceptable), and
// written only when set to something other than what it holds. With no store
// the value lives in memory only. Used on the thread of its owner.
template <typename T>
class PersistedValue {
public:
    // Decides whether a loaded value is kept; null: every decodable value is.
    using Acceptance = bool (*)(const T&);

    PersistedValue(SettingsStore* store, std::string key, T defaultValue, Acceptance accept = nullptr)
        : store_(store), key_(std::move(key)), value_(std::move(defaultValue)) {
        if (!store_) return;
        if (auto stored = SettingsCoding<T>::load(*store_, key_); stored && (!accept || accept(*stored)))
            value_ = std::move(*stored);
    }

    const T& value() const { return value_; }
    const std::string& key() const { return key_; }

    // Takes and writes `value` when it differs from the one held. True when it
    // did, so the caller notifies its observers only then.
    bool set(T value) {
        if (value == value_) return false;
        value_ = std::move(value);
        if (store_) store_->set(key_, SettingsCoding<T>::encode(value_));
        return true;
    }

private:
    SettingsStore* store_;
    std::string key_;
    T value_;
};

}  // namespace velorin
