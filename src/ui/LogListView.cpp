// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LogListView.hpp"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

#include "ui/LogPaneView.hpp"

namespace velorin {

LogListView::LogListView(QWidget* parent) : QAbstractItemView(parent) {
    setSelectionBehavior(SelectRows);
    setVerticalScrollMode(ScrollPerPixel);
    rowHeight_ = fontMetrics().height() + 2 * LogPaneView::kRowVerticalPadding;
}

LogListView::~LogListView() = default;

void LogListView::setModel(QAbstractItemModel* model) {
    if (QAbstractItemModel* old = this->model()) disconnect(old, nullptr, this, nullptr);
    QAbstractItemView::setModel(model);
    if (model == nullptr) return;
    connect(model, &QAbstractItemModel::rowsRemoved, this, &LogListView::rowsChanged);
    connect(model, &QAbstractItemModel::modelReset, this, &LogListView::rowsChanged);
    connect(model, &QAbstractItemModel::layoutChanged, this, &LogListView::rowsChanged);
    rowsChanged();
}

int LogListView::rowCount() const {
    return model() != nullptr ? model()->rowCount(rootIndex()) : 0;
}

int LogListView::rowAt(int y) const {
    return (y + verticalOffset()) / rowHeight_;
}

QRect LogListView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.parent() != rootIndex()) return {};
    return {0, index.row() * rowHeight_ - verticalOffset(), viewport()->width(), rowHeight_};
}

void LogListView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    if (!index.isValid()) return;
    const int top = index.row() * rowHeight_;
    const int height = viewport()->height();
    QScrollBar* bar = verticalScrollBar();
    switch (hint) {
        case PositionAtTop:
            bar->setValue(top);
            break;
        case PositionAtBottom:
            bar->setValue(top + rowHeight_ - height);
            break;
        case PositionAtCenter:
            bar->setValue(top - (height - rowHeight_) / 2);
            break;
        case EnsureVisible:
            if (top < bar->value()) {
                bar->setValue(top);
            } else if (top + rowHeight_ > bar->value() + height) {
                bar->setValue(top + rowHeight_ - height);
            }
            break;
    }
}

QModelIndex LogListView::indexAt(const QPoint& point) const {
    if (model() == nullptr || point.y() < 0) return {};
    const int row = rowAt(point.y());
    if (row < 0 || row >= rowCount()) return {};
    return model()->index(row, 0, rootIndex());
}

QModelIndex LogListView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers /*modifiers*/) {
    const int rows = rowCount();
    if (rows == 0) return {};
    const int current = currentIndex().isValid() ? currentIndex().row() : -1;
    const int page = std::max(1, viewport()->height() / rowHeight_);
    int row = current;
    switch (cursorAction) {
        case MoveUp:
        case MovePrevious:
            row = current < 0 ? rows - 1 : current - 1;
            break;
        case MoveDown:
        case MoveNext:
            row = current + 1;
            break;
        case MovePageUp:
            row = current - page;
            break;
        case MovePageDown:
            row = current + page;
            break;
        case MoveHome:
            row = 0;
            break;
        case MoveEnd:
            row = rows - 1;
            break;
        default:
            break;
    }
    return model()->index(std::clamp(row, 0, rows - 1), 0, rootIndex());
}

int LogListView::verticalOffset() const {
    return verticalScrollBar()->value();
}

void LogListView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    const int rows = rowCount();
    if (rows == 0 || selectionModel() == nullptr) return;
    const QRect normalized = rect.normalized();
    const int first = std::clamp(rowAt(normalized.top()), 0, rows - 1);
    const int last = std::clamp(rowAt(normalized.bottom()), 0, rows - 1);
    const int lastColumn = std::max(0, model()->columnCount(rootIndex()) - 1);
    const QItemSelection selection(model()->index(first, 0, rootIndex()),
                                   model()->index(last, lastColumn, rootIndex()));
    selectionModel()->select(selection, command);
}

QRegion LogListView::visualRegionForSelection(const QItemSelection& selection) const {
    QRegion region;
    for (const QItemSelectionRange& range : selection) {
        const int top = range.top() * rowHeight_ - verticalOffset();
        const int height = (range.bottom() - range.top() + 1) * rowHeight_;
        region += QRect(0, top, viewport()->width(), height).intersected(viewport()->rect());
    }
    return region;
}

void LogListView::updateGeometries() {
    const int content = rowCount() * rowHeight_;
    QScrollBar* bar = verticalScrollBar();
    bar->setSingleStep(rowHeight_);
    bar->setPageStep(viewport()->height());
    bar->setRange(0, std::max(0, content - viewport()->height()));
    QAbstractItemView::updateGeometries();
}

void LogListView::rowsInserted(const QModelIndex& parent, int start, int end) {
    QAbstractItemView::rowsInserted(parent, start, end);
    rowsChanged();
}

void LogListView::rowsChanged() {
    updateGeometries();
    viewport()->update();
}

void LogListView::changeEvent(QEvent* event) {
    QAbstractItemView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        rowHeight_ = fontMetrics().height() + 2 * LogPaneView::kRowVerticalPadding;
        rowsChanged();
    }
}

void LogListView::paintEvent(QPaintEvent* event) {
    if (model() == nullptr) return;
    QPainter painter(viewport());
    const QRect area = event->rect();
    const int rows = rowCount();
    const int first = std::max(0, rowAt(area.top()));
    const int last = std::min(rows - 1, rowAt(area.bottom()));
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        option.rect = visualRect(index);
        option.index = index;
        option.state = QStyle::State_Enabled;
        if (selectionModel() != nullptr && selectionModel()->isRowSelected(row, rootIndex())) {
            option.state |= QStyle::State_Selected;
        }
        if (index == currentIndex() && hasFocus()) option.state |= QStyle::State_HasFocus;
        itemDelegateForIndex(index)->paint(&painter, option, index);
    }
}

}  // namespace velorin
