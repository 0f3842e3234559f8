// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LogRowDelegate.hpp"

#include <QFontInfo>
#include <QPainter>

#include <algorithm>

#include "ui/LogPaneView.hpp"
#include "ui/LogTableModel.hpp"
#include "ui/Theme.hpp"

namespace velorin {

namespace {

QString qText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Text whose every character takes one cell of a monospaced font.
bool isPrintableLatin(const QString& text) {
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
}

// Cell texts shaped once, drawn many times: event types, sources, channels and
// data repeat from row to row; times and messages simply pass through.
constexpr qsizetype kMaxCachedTexts = 2048;

}  // namespace

void LogRowDelegate::useFont(const QFont& font) const {
    if (font == cachedFont_ && cache_.capacity() > 0) return;
    cache_.clear();
    cache_.reserve(kMaxCachedTexts);
    cachedFont_ = font;
    charWidth_ = QFontInfo(font).fixedPitch() ? QFontMetrics(font).horizontalAdvance(QLatin1Char('M')) : 0;
}

const QStaticText& LogRowDelegate::shaped(const QString& text, const QFont& font) const {
    auto it = cache_.find(text);
    if (it != cache_.end()) return *it;
    if (cache_.size() >= kMaxCachedTexts) cache_.clear();
    QStaticText shapedText(text);
    shapedText.setTextFormat(Qt::PlainText);
    shapedText.prepare(QTransform(), font);
    return *cache_.insert(text, shapedText);
}

void LogRowDelegate::drawCell(QPainter& painter, const QFontMetrics& metrics, const QRect& cell,
                              const QString& text, const QColor& colour, bool alignRight) const {
    if (text.isEmpty() || cell.width() <= 0) return;
    const QFont& font = painter.font();
    useFont(font);
    // In a monospaced font, ASCII text is measured by counting; anything
    // else is measured by the font.
    const bool counted = charWidth_ > 0 && isPrintableLatin(text);
    int width = counted ? static_cast<int>(text.size()) * charWidth_ : metrics.horizontalAdvance(text);
    QString shown = text;
    if (width > cell.width()) {
        shown = metrics.elidedText(text, Qt::ElideRight, cell.width());
        width = metrics.horizontalAdvance(shown);
    }
    const int x = alignRight ? cell.right() + 1 - width : cell.left();
    painter.setPen(colour);
    painter.drawStaticText(QPointF(x, cell.top() + (cell.height() - metrics.height()) / 2.0),
                           shaped(shown, font));
}

void LogRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const auto* model = qobject_cast<const LogTableModel*>(index.model());
    const LogEntry* entry = model != nullptr ? model->entryAt(index.row()) : nullptr;
    if (entry == nullptr) return;
    const LogRowTexts row = logRowTexts(*entry);

    painter->save();
    if (option.state & QStyle::State_Selected) painter->fillRect(option.rect, option.palette.highlight());
    painter->setFont(option.font);
    const QFontMetrics metrics(option.font);
    const QRect rect =
        option.rect.adjusted(LogPaneView::kHorizontalMargin, LogPaneView::kRowVerticalPadding,
                             -LogPaneView::kHorizontalMargin, -LogPaneView::kRowVerticalPadding);
    int x = rect.left();
    auto cell = [&](int width, const std::string& text, const QColor& colour, Qt::Alignment align) {
        const int w = std::max(0, width);
        drawCell(*painter, metrics, QRect(x, rect.top(), w, rect.height()), qText(text), colour,
                 (align & Qt::AlignRight) != 0);
        x += width + LogPaneView::kSpacing;
    };

    using C = LogTableModel::Column;
    cell(LogPaneView::kTimeWidth, row.cells[C::timeColumn], theme::dimText, Qt::AlignLeft);
    if (!row.isMIDI) {
        cell(LogPaneView::kSourceWidth, row.cells[C::sourceColumn], theme::accent, Qt::AlignLeft);
        // A message may hold line breaks; the row shows its first line.
        QString message = qText(row.cells[C::messageColumn]);
        const auto lineBreak = message.indexOf(QLatin1Char('\n'));
        if (lineBreak >= 0) message = message.left(lineBreak) + QStringLiteral(" \u2026");
        const int w = std::max(0, rect.right() + 1 - x);
        drawCell(*painter, metrics, QRect(x, rect.top(), w, rect.height()), message, theme::text, false);
    } else {
        cell(LogPaneView::kSourceWidth, row.cells[C::sourceColumn],
             row.isInput ? theme::inputAccent : theme::outputAccent, Qt::AlignLeft);
        cell(LogPaneView::kMessageWidth, row.cells[C::messageColumn], theme::text, Qt::AlignLeft);
        cell(LogPaneView::kChannelWidth, row.cells[C::channelColumn], theme::text, Qt::AlignRight);
        cell(LogPaneView::kDataOneWidth, row.cells[C::dataOneColumn], theme::text, Qt::AlignLeft);
        cell(LogPaneView::kDataTwoWidth, row.cells[C::dataTwoColumn], theme::text, Qt::AlignRight);
    }
    painter->restore();
}

QSize LogRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const QFontMetrics metrics(option.font);
    const int width = 2 * LogPaneView::kHorizontalMargin + LogPaneView::kTimeWidth +
                      LogPaneView::kSourceWidth + LogPaneView::kMessageWidth + LogPaneView::kChannelWidth +
                      LogPaneView::kDataOneWidth + LogPaneView::kDataTwoWidth + 5 * LogPaneView::kSpacing;
    return QSize(width, metrics.height() + 2 * LogPaneView::kRowVerticalPadding);
}

}  // namespace velorin
