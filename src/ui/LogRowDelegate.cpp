#include "ui/LogRowDelegate.hpp"

#include <QPainter>

#include "ui/LogPaneView.hpp"
#include "ui/LogTableModel.hpp"
#include "ui/Theme.hpp"

namespace velorin {

namespace {

QString qText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

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
        const QRect r(x, rect.top(), w, rect.height());
        painter->setPen(colour);
        painter->drawText(r, static_cast<int>(align | Qt::AlignVCenter),
                          metrics.elidedText(qText(text), Qt::ElideRight, w));
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
        painter->setPen(theme::text);
        painter->drawText(QRect(x, rect.top(), w, rect.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          metrics.elidedText(message, Qt::ElideRight, w));
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
