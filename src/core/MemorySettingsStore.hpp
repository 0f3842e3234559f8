// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <map>

#include "core/SettingsStore.hpp"

namespace velorin {

// In-memory settings, strictly typed: a value reads back only as the type it was
// stored with. Used by tests and by tools that must not touch the user's file;
// test stores that watch or hold writes derive from it.
class MemorySettingsStore : public SettingsStore {
public:
    std::optional<bool> boolValue(std::string_view key) const override { return get<bool>(key); }
    std::optional<std::int64_t> integerValue(std::string_view key) const override {
        return get<std::int64_t>(key);
    }
    std::optional<double> doubleValue(std::string_view key) const override { return get<double>(key); }
    std::optional<ByteArray> dataValue(std::string_view key) const override { return get<ByteArray>(key); }
    std::optional<std::vector<bool>> boolListValue(std::string_view key) const override {
        return get<std::vector<bool>>(key);
    }
    std::optional<std::string> stringValue(std::string_view key) const override {
        return get<std::string>(key);
    }
    bool contains(std::string_view key) const override { return values_.find(key) != values_.end(); }

    void set(std::string_view key, SettingsValue value) override {
        ++writeCount_;
        values_.insert_or_assign(std::string(key), std::move(value));
    }
    void remove(std::string_view key) override {
        if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
    }

    std::vector<std::string> keys() const override {
        std::vector<std::string> all;
        all.reserve(values_.size());
        for (const auto& [key, value] : values_) all.push_back(key);
        return all;
    }

    // Number of set() calls so far; lets tests check that unchanged values are not rewritten.
    int writeCount() const { return writeCount_; }

private:
    template <typename T>
    std::optional<T> get(std::string_view key) const {
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        if (const auto* v = std::get_if<T>(&it->second)) return *v;
        return std::nullopt;
    }

    std::map<std::string, SettingsValue, std::less<>> values_;
    int writeCount_ = 0;
};

}  // namespace velorin
