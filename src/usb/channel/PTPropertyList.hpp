// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorin {

struct PTPlistEntry;

// A property-list value as a plain tree, so that only one file deals with
// libplist. Integers are read as signed 64-bit values (libplist stores them
// unsigned). Dates and UIDs are kept as `other`.
struct PTPlist {
    enum class Kind { other, boolean, integer, real, string, data, array, dictionary };

    Kind kind = Kind::other;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string string;
    std::vector<std::uint8_t> data;
    std::vector<PTPlist> array;
    std::vector<PTPlistEntry> dictionary;  // in insertion order, keys unique

    static PTPlist makeDictionary();
    static PTPlist makeString(std::string value);
    static PTPlist makeInteger(std::int64_t value);
    static PTPlist makeBoolean(bool value);
    static PTPlist makeData(std::vector<std::uint8_t> value);

    bool isDictionary() const { return kind == Kind::dictionary; }
    // Dictionary lookup; null when absent or when this is not a dictionary.
    const PTPlist* find(std::string_view key) const;
    // Inserts or replaces a key of a dictionary.
    void set(std::string key, PTPlist value);
    std::optional<std::int64_t> integerValue() const {
        return kind == Kind::integer ? std::optional<std::int64_t>(integer) : std::nullopt;
    }
    const std::string* stringValue() const { return kind == Kind::string ? &string : nullptr; }
};

struct PTPlistEntry {
    std::string key;
    PTPlist value;
};

// Parses XML or binary property lists. Trailing NUL bytes are ignored. Returns
// nothing for input that does not parse, is nested deeper than 64 levels or is
// larger than 16 MiB.
std::optional<PTPlist> PTPlistParse(std::span<const std::uint8_t> bytes);
std::string PTPlistToXML(const PTPlist& value);
std::vector<std::uint8_t> PTPlistToBinary(const PTPlist& value);
// A short one-line text of a value, for diagnostics.
std::string PTPlistDescription(const PTPlist& value);

}  // namespace velorin
