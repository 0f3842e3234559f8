// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <memory>

#include "log/LogStore.hpp"

class QToolButton;

namespace velorin {

class LogListView;
class LogTableModel;

// The log pane: a header row with the column titles and the copy and clear
// buttons, and one row per published log entry, oldest first. Whenever the
// number of entries changes the list scrolls to the newest entry (once per
// turn of the event loop).
class LogPaneView final : public QWidget {
    Q_OBJECT
public:
    // Column widths and spacing shared by the header row and the rows.
    static constexpr int kTimeWidth = 96;
    static constexpr int kSourceWidth = 190;
    static constexpr int kMessageWidth = 58;
    static constexpr int kChannelWidth = 28;
    static constexpr int kDataOneWidth = 86;
    static constexpr int kDataTwoWidth = 52;
    static constexpr int kSpacing = 10;
    static constexpr int kRowVerticalPadding = 2;
    static constexpr int kHorizontalMargin = 8;

    explicit LogPaneView(std::shared_ptr<LogStore> store, QWidget* parent = nullptr);
    ~LogPaneView() override;

    LogTableModel& model() const { return *model_; }
    LogListView& listView() const { return *list_; }
    QToolButton& copyButton() const { return *copyButton_; }
    QToolButton& clearButton() const { return *clearButton_; }

    // The "Copy log" action: the store's export text, as plain text, on the
    // clipboard (cleared first).
    void copyLog();
    // The "Clear log" action.
    void clearLog();
    // Copies the text lines of the selected rows.
    void copySelectedRows();

private:
    // Scrolls to the newest row once the event loop is back, however many
    // changes arrived before.
    void requestScrollToNewest();
    void scrollToNewest();

    std::shared_ptr<LogStore> store_;
    LogTableModel* model_ = nullptr;
    LogListView* list_ = nullptr;
    QToolButton* copyButton_ = nullptr;
    QToolButton* clearButton_ = nullptr;
    bool scrollPending_ = false;
};

}  // namespace velorin
