#pragma once

#include <QStyledItemDelegate>

namespace velorin {

// Paints one log row across the pane's fixed columns: text rows show time,
// source and the message in the remaining width; MIDI rows show time, source
// (coloured by direction), type, channel (right-aligned), data one and data two
// (right-aligned). Expects a LogTableModel.
class LogRowDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace velorin
