// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace velorin {

using ByteArray = std::vector<std::uint8_t>;

// One stored value. Records (JSON) are stored as byte data.
using SettingsValue = std::variant<bool, std::int64_t, double, ByteArray, std::vector<bool>, std::string>;

// One change to apply to a store: a value to set, or none to remove the key.
struct SettingsChange {
    std::string key;
    std::optional<SettingsValue> value;
    friend bool operator==(const SettingsChange&, const SettingsChange&) = default;
};

class SettingsStore;

// What each typed getter of a store answers for one key. Lets a store layered
// over another answer exactly as the one below would, without asking it again.
struct SettingsReading {
    std::optional<bool> boolean;
    std::optional<std::int64_t> integer;
    std::optional<double> real;
    std::optional<ByteArray> data;
    std::optional<std::vector<bool>> boolList;
    std::optional<std::string> text;
    friend bool operator==(const SettingsReading&, const SettingsReading&) = default;

    // Only the getter of the value's own type answers.
    static SettingsReading strict(const SettingsValue& value);
    // Asks each getter of `store` about `key`.
    static SettingsReading of(const SettingsStore& store, std::string_view key);
};

// Typed persistent key–value store. Every getter answers "absent" (nullopt) when
// the key is missing or holds a value of another type, so callers can fall back
// to their default exactly when a stored value does not decode. Unless an
// implementation says otherwise, setters write at once and the store is used
// on one thread only.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual std::optional<bool> boolValue(std::string_view key) const = 0;
    virtual std::optional<std::int64_t> integerValue(std::string_view key) const = 0;
    virtual std::optional<double> doubleValue(std::string_view key) const = 0;
    virtual std::optional<ByteArray> dataValue(std::string_view key) const = 0;
    virtual std::optional<std::vector<bool>> boolListValue(std::string_view key) const = 0;
    virtual std::optional<std::string> stringValue(std::string_view key) const = 0;
    virtual bool contains(std::string_view key) const = 0;

    virtual void set(std::string_view key, SettingsValue value) = 0;
    virtual void remove(std::string_view key) = 0;

    // Every key the store holds.
    virtual std::vector<std::string> keys() const = 0;
    // Applies the changes in order. Stores that write a file write it once for
    // all of them; by default each is set or removed in turn.
    virtual void apply(std::span<const SettingsChange> changes) {
        for (const SettingsChange& change : changes) {
            if (change.value) {
                set(change.key, *change.value);
            } else {
                remove(change.key);
            }
        }
    }
    // What the getters would answer for a key just set to `value`. Reads
    // nothing of the store's contents, so it may be called from any thread
    // while the store is in use elsewhere. By default the strict reading.
    virtual SettingsReading readingOf(const SettingsValue& value) const {
        return SettingsReading::strict(value);
    }
};

inline SettingsReading SettingsReading::strict(const SettingsValue& value) {
    SettingsReading reading;
    std::visit(
        [&reading](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                reading.boolean = v;
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                reading.integer = v;
            } else if constexpr (std::is_same_v<T, double>) {
                reading.real = v;
            } else if constexpr (std::is_same_v<T, ByteArray>) {
                reading.data = v;
            } else if constexpr (std::is_same_v<T, std::vector<bool>>) {
                reading.boolList = v;
            } else {
                reading.text = v;
            }
        },
        value);
    return reading;
}

inline SettingsReading SettingsReading::of(const SettingsStore& store, std::string_view key) {
    return SettingsReading{
        .boolean = store.boolValue(key),
        .integer = store.integerValue(key),
        .real = store.doubleValue(key),
        .data = store.dataValue(key),
        .boolList = store.boolListValue(key),
        .text = store.stringValue(key),
    };
}

}  // namespace velorin
