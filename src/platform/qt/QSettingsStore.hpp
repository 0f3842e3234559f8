// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>

#include "core/SettingsStore.hpp"

class QSettings;
class QVariant;

namespace velorin {

// The settings store on QSettings. The app uses the native format under
// organization "Velorin", application "Velorin Server"
// ($XDG_CONFIG_HOME/Velorin/Velorin Server.conf); tests pass an explicit file.
//
// The INI file keeps no types: a Boolean reads back from it as the text
// "true"/"false", a number as its text and a list as a list of texts. A getter
// therefore accepts either a value of its own type or a text that parses as
// that type exactly, and answers absent otherwise. Byte data is stored as a
// QByteArray, which the file keeps typed, so no text ever reads as byte data.
// Every change (every batch given to apply()) is written to disk at once,
// merged into what other processes wrote meanwhile (see
// SettingsFileWriteLock). One thread only, except readingOf(), which reads
// nothing of the file and may be called from any thread.
class QSettingsStore final : public SettingsStore {
public:
    QSettingsStore();
    explicit QSettingsStore(const std::string& iniFilePath);
    ~QSettingsStore() override;
    QSettingsStore(const QSettingsStore&) = delete;
    QSettingsStore& operator=(const QSettingsStore&) = delete;

    std::optional<bool> boolValue(std::string_view key) const override;
    std::optional<std::int64_t> integerValue(std::string_view key) const override;
    std::optional<double> doubleValue(std::string_view key) const override;
    std::optional<ByteArray> dataValue(std::string_view key) const override;
    std::optional<std::vector<bool>> boolListValue(std::string_view key) const override;
    std::optional<std::string> stringValue(std::string_view key) const override;
    bool contains(std::string_view key) const override;

    void set(std::string_view key, SettingsValue value) override;
    void remove(std::string_view key) override;
    std::vector<std::string> keys() const override;
    void apply(std::span<const SettingsChange> changes) override;
    // As the getters answer right after the value was set: the value's own
    // type, and a text also as the Boolean, number or one-item list it spells.
    SettingsReading readingOf(const SettingsValue& value) const override;

    // The file the values live in.
    std::string fileName() const;
    // False when the file cannot be written (changes then last only until quit).
    bool isWritable() const;
    // True once a write to the file has failed.
    bool hasWriteFailed() const { return writeFailed_; }

private:
    QVariant value(std::string_view key) const;

    void syncToFile();

    std::unique_ptr<QSettings> settings_;
    bool writeFailed_ = false;
};

// Strict text conversions used for values read back from the file; exposed for tests.
std::optional<bool> parseBoolText(std::string_view text);
std::optional<std::int64_t> parseIntegerText(std::string_view text);
std::optional<double> parseDoubleText(std::string_view text);

}  // namespace velorin
