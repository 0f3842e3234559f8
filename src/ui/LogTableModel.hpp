// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractTableModel>

#include <array>
#include <memory>
#include <string>

#include "core/Observable.hpp"
#include "log/LogStore.hpp"

namespace velorin {

// The texts of one log pane row: time, source label, message or event type,
// channel, data one, data two. Text entries fill only the first three.
struct LogRowTexts {
    std::array<std::string, 6> cells;
    bool isMIDI = false;
    bool isInput = false;  // MIDI rows: an incoming event
};
LogRowTexts logRowTexts(const LogEntry& entry);

// The log store's published entries as a table, one row per entry, oldest
// first. It follows the store incrementally: appended entries become inserted
// rows, entries the store trimmed from the front (it keeps only the newest
// ones) become removed rows, and a clear (or anything it cannot follow) resets.
class LogTableModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { timeColumn, sourceColumn, messageColumn, channelColumn, dataOneColumn, dataTwoColumn };
    static constexpr int kColumnCount = 6;
    enum Role {
        IsMIDIRole = Qt::UserRole + 1,  // bool: the row is a MIDI event
        IsInputRole,                    // bool: a MIDI row of an incoming event
    };

    explicit LogTableModel(std::shared_ptr<LogStore> store, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The entry shown in `row`, or null.
    const LogEntry* entryAt(int row) const;
    LogStore& store() const { return *store_; }

private:
    void storeChanged();

    std::shared_ptr<LogStore> store_;
    Subscription subscription_;
    int shownCount_ = 0;
    LogEntryID lastShownID_;
};

}  // namespace velorin
