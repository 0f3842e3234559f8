// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

namespace velorin {

// Paints one log row across the pane's fixed columns: text rows show time,
// source and the message in the remaining width; MIDI rows show time, source
// (coloured by direction), type, channel (right-aligned), data one and data two
// (right-aligned). Expects a LogTableModel. Cell texts are shaped once and
// kept (up to a bound), so repainting rows of a busy log costs little.
class LogRowDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    // Starts a new cache when the font changes.
    void useFont(const QFont& font) const;
    const QStaticText& shaped(const QString& text, const QFont& font) const;
    void drawCell(QPainter& painter, const QFontMetrics& metrics, const QRect& cell, const QString& text,
                  const QColor& colour, bool alignRight) const;

    mutable QHash<QString, QStaticText> cache_;
    mutable QFont cachedFont_;
    mutable int charWidth_ = 0;
};

}  // namespace velorin
