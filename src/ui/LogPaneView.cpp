// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LogPaneView.hpp"

#include <QAction>
#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/LogListView.hpp"
#include "ui/LogRowDelegate.hpp"
#include "ui/LogTableModel.hpp"
#include "ui/Theme.hpp"

namespace velorin {

namespace {

QLabel* columnTitle(const QString& title, int width, Qt::Alignment alignment, QWidget* parent) {
    auto* label = new QLabel(title, parent);
    label->setFont(theme::monospacedFont(11, true));
    label->setFixedWidth(width);
    label->setAlignment(alignment | Qt::AlignVCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, theme::dimText);
    label->setPalette(palette);
    return label;
}

QToolButton* paneButton(const QIcon& icon, const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(icon);
    button->setAutoRaise(true);
    button->setToolTip(help);
    button->setAccessibleName(help);
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

}  // namespace

LogPaneView::LogPaneView(std::shared_ptr<LogStore> store, QWidget* parent)
    : QWidget(parent), store_(std::move(store)) {
    setObjectName(QStringLiteral("logPane"));
    model_ = new LogTableModel(store_, this);

    auto* header = new QWidget(this);
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(kHorizontalMargin, 4, kHorizontalMargin, 4);
    headerLayout->setSpacing(kSpacing);
    const struct {
        int column = 0;
        int width = 0;
        Qt::Alignment alignment;
    } columns[] = {
        {LogTableModel::timeColumn, kTimeWidth, Qt::AlignLeft},
        {LogTableModel::sourceColumn, kSourceWidth, Qt::AlignLeft},
        {LogTableModel::messageColumn, kMessageWidth, Qt::AlignLeft},
        {LogTableModel::channelColumn, kChannelWidth, Qt::AlignRight},
        {LogTableModel::dataOneColumn, kDataOneWidth, Qt::AlignLeft},
        {LogTableModel::dataTwoColumn, kDataTwoWidth, Qt::AlignRight},
    };
    for (const auto& c : columns) {
        headerLayout->addWidget(columnTitle(model_->headerData(c.column, Qt::Horizontal).toString(), c.width,
                                            c.alignment, header));
    }
    headerLayout->addStretch(1);
    copyButton_ = paneButton(theme::copyIcon(), QStringLiteral("Copy log"), header);
    clearButton_ = paneButton(theme::trashIcon(), QStringLiteral("Clear log"), header);
    headerLayout->addWidget(copyButton_);
    headerLayout->addWidget(clearButton_);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFixedHeight(1);
    rule->setStyleSheet(QStringLiteral("background-color: %1; border: none;").arg(theme::separator.name()));

    list_ = new LogListView(this);
    list_->setObjectName(QStringLiteral("logList"));
    list_->setModel(model_);
    list_->setItemDelegate(new LogRowDelegate(list_));
    list_->setFont(theme::monospacedFont(11));
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setAccessibleName(QStringLiteral("Log"));

    // Selected rows copy as their text lines (the rows' text is selectable).
    auto* copyRows = new QAction(list_);
    copyRows->setShortcut(QKeySequence::Copy);
    copyRows->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    list_->addAction(copyRows);
    connect(copyRows, &QAction::triggered, this, &LogPaneView::copySelectedRows);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(header);
    layout->addWidget(rule);
    layout->addWidget(list_, 1);

    connect(copyButton_, &QToolButton::clicked, this, &LogPaneView::copyLog);
    connect(clearButton_, &QToolButton::clicked, this, &LogPaneView::clearLog);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &LogPaneView::requestScrollToNewest);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &LogPaneView::requestScrollToNewest);
    connect(model_, &QAbstractItemModel::modelReset, this, &LogPaneView::requestScrollToNewest);
}

LogPaneView::~LogPaneView() = default;

void LogPaneView::copyLog() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(store_->exportText()));
}

void LogPaneView::clearLog() {
    store_->clear();
}

void LogPaneView::copySelectedRows() {
    QModelIndexList rows = list_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::string text;
    for (const auto& index : rows) {
        const LogEntry* entry = model_->entryAt(index.row());
        if (entry == nullptr) continue;
        if (!text.empty()) text += '\n';
        text += formattedLine(*entry);
    }
    if (text.empty()) return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
}

void LogPaneView::requestScrollToNewest() {
    // A publication at the cap removes rows and inserts rows: one scroll, once
    // the event loop is back, serves both.
    if (scrollPending_) return;
    scrollPending_ = true;
    QMetaObject::invokeMethod(this, &LogPaneView::scrollToNewest, Qt::QueuedConnection);
}

void LogPaneView::scrollToNewest() {
    scrollPending_ = false;
    // Also after rows inserted at the cap, where the count stays the same but
    // a newer entry arrived.
    if (model_->rowCount() > 0) list_->scrollToBottom();
}

}  // namespace velorin
