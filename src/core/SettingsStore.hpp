#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velorin {

using ByteArray = std::vector<std::uint8_t>;

// One stored value. Records (JSON) are stored as byte data.
using SettingsValue = std::variant<bool, std::int64_t, double, ByteArray, std::vector<bool>, std::string>;

// Typed persistent key–value store. Every getter answers "absent" (nullopt) when
// the key is missing or holds a value of another type, so callers can fall back
// to their default exactly when a stored value does not decode. Setters write at
// once. Main thread only.
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
};

}  // namespace velorin
