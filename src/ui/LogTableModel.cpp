// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LogTableModel.hpp"

#include <QColor>

#include <cstdio>
#include <optional>

#include "ui/Theme.hpp"

namespace velorin {

namespace {

QString qText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string channelText(std::int64_t channel) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%02lld", static_cast<long long>(channel) + 1);
    return buffer;
}

}  // namespace

LogRowTexts logRowTexts(const LogEntry& entry) {
    LogRowTexts row;
    row.cells[LogTableModel::timeColumn] = formattedTime(entry.timestamp);
    if (const auto* m = std::get_if<LogEntry::Message>(&entry.kind)) {
        auto parsed = parseTaggedMessage(m->text);
        row.cells[LogTableModel::sourceColumn] = sourceLabel(rawValue(parsed.type), std::nullopt);
        row.cells[LogTableModel::messageColumn] = std::move(parsed.text);
    } else if (const auto* t = std::get_if<LogEntry::TypedMessage>(&entry.kind)) {
        row.cells[LogTableModel::sourceColumn] = sourceLabel(rawValue(t->type), t->source);
        row.cells[LogTableModel::messageColumn] = t->text;
    } else if (const auto* e = std::get_if<LogEntry::MIDI>(&entry.kind)) {
        row.isMIDI = true;
        row.isInput = e->direction == MIDIEventLogDirection::input;
        std::optional<std::string> source = e->source;
        if (!source && !row.isInput) source = "Velorin Server";
        row.cells[LogTableModel::sourceColumn] = sourceLabel(row.isInput ? "IN" : "OUT", source);
        row.cells[LogTableModel::messageColumn] = std::string(eventTypeName(e->event.type));
        row.cells[LogTableModel::channelColumn] = channelText(e->event.channel);
        row.cells[LogTableModel::dataOneColumn] = dataOneText(e->event.type, e->event.note);
        row.cells[LogTableModel::dataTwoColumn] = dataTwoText(e->event.type, e->event.velocity);
    }
    return row;
}

LogTableModel::LogTableModel(std::shared_ptr<LogStore> store, QObject* parent)
    : QAbstractTableModel(parent), store_(std::move(store)) {
    const auto& entries = store_->entries();
    shownCount_ = static_cast<int>(entries.size());
    if (!entries.empty()) lastShownID_ = entries.back().id;
    subscription_ = store_->observe([this] { storeChanged(); });
}

void LogTableModel::storeChanged() {
    const auto& entries = store_->entries();
    const int newCount = static_cast<int>(entries.size());
    if (shownCount_ == 0 || newCount == 0) {
        if (shownCount_ == 0 && newCount == 0) return;
        if (newCount == 0) {
            beginResetModel();
            shownCount_ = 0;
            endResetModel();
            return;
        }
        beginInsertRows(QModelIndex(), 0, newCount - 1);
        shownCount_ = newCount;
        lastShownID_ = entries.back().id;
        endInsertRows();
        return;
    }
    // The store only appends at the end and trims at the front, so the newest
    // row shown so far tells both: rows before its new position were trimmed,
    // rows after it are new. Search from the end, where it is normally near.
    std::optional<int> position;
    for (int i = newCount - 1; i >= 0; --i) {
        if (entries[static_cast<std::size_t>(i)].id == lastShownID_) {
            position = i;
            break;
        }
    }
    if (!position || *position > shownCount_ - 1) {
        beginResetModel();
        shownCount_ = newCount;
        lastShownID_ = entries.back().id;
        endResetModel();
        return;
    }
    const int trimmed = shownCount_ - 1 - *position;
    if (trimmed > 0) {
        beginRemoveRows(QModelIndex(), 0, trimmed - 1);
        shownCount_ -= trimmed;
        endRemoveRows();
    }
    if (newCount > shownCount_) {
        beginInsertRows(QModelIndex(), shownCount_, newCount - 1);
        shownCount_ = newCount;
        endInsertRows();
    }
    lastShownID_ = entries.back().id;
}

int LogTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownCount_;
}

int LogTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

const LogEntry* LogTableModel::entryAt(int row) const {
    if (row < 0 || row >= shownCount_) return nullptr;
    const auto& entries = store_->entries();
    if (static_cast<std::size_t>(row) >= entries.size()) return nullptr;
    return &entries[static_cast<std::size_t>(row)];
}

QVariant LogTableModel::data(const QModelIndex& index, int role) const {
    const LogEntry* entry = index.isValid() ? entryAt(index.row()) : nullptr;
    if (entry == nullptr || index.column() < 0 || index.column() >= kColumnCount) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return qText(logRowTexts(*entry).cells[static_cast<std::size_t>(index.column())]);
        case Qt::TextAlignmentRole:
            if (index.column() == channelColumn || index.column() == dataTwoColumn) {
                return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
            }
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        case Qt::ForegroundRole: {
            const auto* midi = std::get_if<LogEntry::MIDI>(&entry->kind);
            if (index.column() == sourceColumn && midi != nullptr) {
                return midi->direction == MIDIEventLogDirection::input ? theme::inputAccent
                                                                       : theme::outputAccent;
            }
            if (index.column() == timeColumn) return theme::dimText;
            return theme::text;
        }
        case IsMIDIRole:
            return std::holds_alternative<LogEntry::MIDI>(entry->kind);
        case IsInputRole: {
            const auto* midi = std::get_if<LogEntry::MIDI>(&entry->kind);
            return midi != nullptr && midi->direction == MIDIEventLogDirection::input;
        }
        default:
            return {};
    }
}

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const titles[kColumnCount] = {"Time", "Source", "Message", "", "Data 1", "Data 2"};
    if (section < 0 || section >= kColumnCount) return {};
    return QString::fromLatin1(titles[section]);
}

}  // namespace velorin
