// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractItemView>

namespace velorin {

// The log pane's list: one row per model row, all of one height, painted by
// the item delegate across the pane's columns. With fixed row heights there
// is nothing to lay out: appending or trimming rows only moves the scroll
// range, so a published batch costs the same with 20 rows or 20 000, and only
// the rows in view are ever painted. Rows are selected whole.
class LogListView final : public QAbstractItemView {
    Q_OBJECT
public:
    explicit LogListView(QWidget* parent = nullptr);
    ~LogListView() override;

    void setModel(QAbstractItemModel* model) override;
    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;
    int rowHeight() const { return rowHeight_; }

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override { return 0; }
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& /*index*/) const override { return false; }
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;

private:
    int rowCount() const;
    int rowAt(int y) const;
    void rowsChanged();

    int rowHeight_ = 1;
};

}  // namespace velorin
