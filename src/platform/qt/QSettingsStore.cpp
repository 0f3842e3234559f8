// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/qt/QSettingsStore.hpp"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <charconv>
#include <cmath>

#include "platform/qt/SettingsFileWriteLock.hpp"

namespace velorin {

namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toStdString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

// The text of a value read back from the file, if it is one.
std::optional<std::string> textOf(const QVariant& v) {
    if (v.typeId() == QMetaType::QString) return toStdString(v.toString());
    return std::nullopt;
}

std::optional<bool> boolOf(const QVariant& v) {
    if (v.typeId() == QMetaType::Bool) return v.toBool();
    if (auto text = textOf(v)) return parseBoolText(*text);
    return std::nullopt;
}

std::optional<std::int64_t> integerOf(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
            return v.toLongLong();
        case QMetaType::UInt:
        case QMetaType::ULongLong: {
            const qulonglong u = v.toULongLong();
            if (u > static_cast<qulonglong>(INT64_MAX)) return std::nullopt;
            return static_cast<std::int64_t>(u);
        }
        case QMetaType::QString:
            return parseIntegerText(toStdString(v.toString()));
        default:
            return std::nullopt;
    }
}

std::optional<double> doubleOf(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Double:
        case QMetaType::Float:
            return v.toDouble();
        case QMetaType::QString:
            return parseDoubleText(toStdString(v.toString()));
        default:
            return std::nullopt;
    }
}

std::optional<ByteArray> dataOf(const QVariant& v) {
    if (v.typeId() != QMetaType::QByteArray) return std::nullopt;
    const QByteArray bytes = v.toByteArray();
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    return ByteArray(begin, begin + bytes.size());
}

// `keyPresent` tells an empty list (which the file writes as "@Invalid()" and
// reads back as no value at all) from a missing key.
std::optional<std::vector<bool>> boolListOf(const QVariant& v, bool keyPresent) {
    std::vector<bool> result;
    switch (v.typeId()) {
        case QMetaType::QVariantList: {
            const QVariantList list = v.toList();
            result.reserve(static_cast<std::size_t>(list.size()));
            for (const QVariant& item : list) {
                auto b = boolOf(item);
                if (!b) return std::nullopt;
                result.push_back(*b);
            }
            return result;
        }
        case QMetaType::QStringList: {
            const QStringList list = v.toStringList();
            result.reserve(static_cast<std::size_t>(list.size()));
            for (const QString& item : list) {
                auto b = parseBoolText(toStdString(item));
                if (!b) return std::nullopt;
                result.push_back(*b);
            }
            return result;
        }
        case QMetaType::QString: {
            // The file writes a list of one as a plain text.
            auto b = parseBoolText(toStdString(v.toString()));
            if (!b) return std::nullopt;
            return std::vector<bool>{*b};
        }
        case QMetaType::UnknownType:
            if (keyPresent) return std::vector<bool>{};
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

QVariant toVariant(const SettingsValue& newValue) {
    return std::visit(
        [](auto&& value) -> QVariant {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>) {
                return QVariant(value);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return QVariant(static_cast<qlonglong>(value));
            } else if constexpr (std::is_same_v<T, double>) {
                return QVariant(value);
            } else if constexpr (std::is_same_v<T, ByteArray>) {
                return QVariant(QByteArray(reinterpret_cast<const char*>(value.data()),
                                           static_cast<qsizetype>(value.size())));
            } else if constexpr (std::is_same_v<T, std::vector<bool>>) {
                QVariantList list;
                list.reserve(static_cast<qsizetype>(value.size()));
                for (bool b : value) list.push_back(QVariant(b));
                return QVariant(list);
            } else {
                return QVariant(toQString(value));
            }
        },
        newValue);
}

}  // namespace

std::optional<bool> parseBoolText(std::string_view text) {
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

std::optional<std::int64_t> parseIntegerText(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

std::optional<double> parseDoubleText(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    // Infinities and NaN are refused: no setting means them, and a window size
    // or a tempo built from one would be nonsense.
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

QSettingsStore::QSettingsStore()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral("Velorin"), QStringLiteral("Velorin Server"))) {}

QSettingsStore::QSettingsStore(const std::string& iniFilePath)
    : settings_(std::make_unique<QSettings>(toQString(iniFilePath), QSettings::IniFormat)) {}

QSettingsStore::~QSettingsStore() = default;

std::string QSettingsStore::fileName() const {
    return toStdString(settings_->fileName());
}

bool QSettingsStore::isWritable() const {
    return settings_->isWritable();
}

void QSettingsStore::syncToFile() {
    // Another process (a second server waiting for the USB lease, the settings
    // tool) may write the same file: the merge runs under a lock shared with it.
    const SettingsFileWriteLock lock(toStdString(settings_->fileName()));
    settings_->sync();
    if (settings_->status() == QSettings::AccessError) writeFailed_ = true;
}

QVariant QSettingsStore::value(std::string_view key) const {
    if (key.empty()) return {};
    return settings_->value(toQString(key));
}

std::optional<bool> QSettingsStore::boolValue(std::string_view key) const {
    return boolOf(value(key));
}

std::optional<std::int64_t> QSettingsStore::integerValue(std::string_view key) const {
    return integerOf(value(key));
}

std::optional<double> QSettingsStore::doubleValue(std::string_view key) const {
    return doubleOf(value(key));
}

std::optional<ByteArray> QSettingsStore::dataValue(std::string_view key) const {
    return dataOf(value(key));
}

std::optional<std::vector<bool>> QSettingsStore::boolListValue(std::string_view key) const {
    const QVariant v = value(key);
    return boolListOf(v, !v.isValid() && contains(key));
}

std::optional<std::string> QSettingsStore::stringValue(std::string_view key) const {
    return textOf(value(key));
}

bool QSettingsStore::contains(std::string_view key) const {
    return !key.empty() && settings_->contains(toQString(key));
}

std::vector<std::string> QSettingsStore::keys() const {
    std::vector<std::string> all;
    const QStringList stored = settings_->allKeys();
    all.reserve(static_cast<std::size_t>(stored.size()));
    for (const QString& key : stored) all.push_back(toStdString(key));
    return all;
}

SettingsReading QSettingsStore::readingOf(const SettingsValue& newValue) const {
    const QVariant v = toVariant(newValue);
    return SettingsReading{
        .boolean = boolOf(v),
        .integer = integerOf(v),
        .real = doubleOf(v),
        .data = dataOf(v),
        .boolList = boolListOf(v, true),
        .text = textOf(v),
    };
}

void QSettingsStore::set(std::string_view key, SettingsValue newValue) {
    if (key.empty()) return;
    settings_->setValue(toQString(key), toVariant(newValue));
    syncToFile();
}

void QSettingsStore::remove(std::string_view key) {
    // An empty key would make QSettings remove every key.
    if (key.empty()) return;
    settings_->remove(toQString(key));
    syncToFile();
}

void QSettingsStore::apply(std::span<const SettingsChange> changes) {
    bool changed = false;
    for (const SettingsChange& change : changes) {
        if (change.key.empty()) continue;
        if (change.value) {
            settings_->setValue(toQString(change.key), toVariant(*change.value));
        } else {
            settings_->remove(toQString(change.key));
        }
        changed = true;
    }
    // One merge and one atomic replacement of the file for the whole batch.
    if (changed) syncToFile();
}

}  // namespace velorin
