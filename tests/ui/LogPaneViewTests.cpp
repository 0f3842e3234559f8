// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QListView>
#include <QScrollBar>
#include <QToolButton>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"
#include "ui/LogListView.hpp"
#include "ui/LogPaneView.hpp"
#include "ui/LogTableModel.hpp"

using namespace std::chrono_literals;
using velorin::LogEntry;
using velorin::LogPaneView;
using velorin::LogStore;
using velorin::LogTableModel;
using velorin::MIDIEvent;
using velorin::MIDIEventLogDirection;
using velorin::MIDIEventType;

namespace {

class LogPaneViewTest : public ::testing::Test {
protected:
    velorin::ManualMainQueue queue;
    velorin::MemorySettingsStore settings;
    std::shared_ptr<LogStore> store = LogStore::create(queue, settings);
    LogPaneView pane{store};

    QString cell(int row, int column) const { return pane.model().index(row, column).data().toString(); }
    void publish() { queue.advance(LogStore::kDefaultFlushInterval); }
};

}  // namespace

TEST_F(LogPaneViewTest, RowsAppearWithThePublicationNotTheAppend) {
    store->log("[Link] Tempo: 120.0 BPM");
    store->log("plain text");
    EXPECT_EQ(pane.model().rowCount(), 0);
    queue.advance(66ms);
    EXPECT_EQ(pane.model().rowCount(), 0);
    queue.advance(1ms);
    ASSERT_EQ(pane.model().rowCount(), 2);
    EXPECT_EQ(cell(0, LogTableModel::sourceColumn), "Link");
    EXPECT_EQ(cell(0, LogTableModel::messageColumn), "Tempo: 120.0 BPM");
    EXPECT_EQ(cell(1, LogTableModel::sourceColumn), "Message");
    EXPECT_EQ(cell(1, LogTableModel::messageColumn), "plain text");
    EXPECT_EQ(cell(0, LogTableModel::timeColumn),
              QString::fromStdString(velorin::formattedTime(store->entries()[0].timestamp)));
}

TEST_F(LogPaneViewTest, TextRowsShowCategorySourceAndMessageOnly) {
    store->log("[VL USB] Channel open; awaiting device info");
    store->log("[Morphs]");
    store->log("[Nope] word");
    store->logTyped(velorin::MessageType::morph, "FC-200 SysEx", "Pedal 3 pressed");
    publish();
    ASSERT_EQ(pane.model().rowCount(), 4);
    EXPECT_EQ(cell(0, LogTableModel::sourceColumn), "VL USB");
    EXPECT_EQ(cell(0, LogTableModel::messageColumn), "Channel open; awaiting device info");
    EXPECT_EQ(cell(1, LogTableModel::sourceColumn), "Morphs");
    EXPECT_EQ(cell(1, LogTableModel::messageColumn), "[Morphs]");
    EXPECT_EQ(cell(2, LogTableModel::sourceColumn), "Message");
    EXPECT_EQ(cell(2, LogTableModel::messageColumn), "word");
    EXPECT_EQ(cell(3, LogTableModel::sourceColumn), "Morph FC-200 SysEx");
    EXPECT_EQ(cell(3, LogTableModel::messageColumn), "Pedal 3 pressed");
    for (int column :
         {LogTableModel::channelColumn, LogTableModel::dataOneColumn, LogTableModel::dataTwoColumn}) {
        EXPECT_EQ(cell(0, column), "");
    }
    EXPECT_FALSE(pane.model().index(0, 0).data(LogTableModel::IsMIDIRole).toBool());
}

TEST_F(LogPaneViewTest, MIDIRowsShowDirectionTypeChannelAndDataTexts) {
    store->logMIDI(MIDIEventLogDirection::output, std::nullopt, MIDIEvent::noteOnEvent(60, 100, 0));
    store->logMIDI(MIDIEventLogDirection::input, "Keystation 49",
                   MIDIEvent{MIDIEventType::programChange, 5, 0, 15, 0, {}});
    store->logMIDI(MIDIEventLogDirection::input, std::nullopt,
                   MIDIEvent{MIDIEventType::pitchBend, 8192, 0, 9, 0, {}});
    publish();
    ASSERT_EQ(pane.model().rowCount(), 3);
    const QStringList noteOn{cell(0, 1), cell(0, 2), cell(0, 3), cell(0, 4), cell(0, 5)};
    EXPECT_EQ(noteOn, (QStringList{"OUT Velorin Server", "Note On", "01", "060 C3", "100"}));
    const QStringList program{cell(1, 1), cell(1, 2), cell(1, 3), cell(1, 4), cell(1, 5)};
    EXPECT_EQ(program, (QStringList{"IN Keystation 49", "Program", "16", "005", ""}));
    const QStringList bend{cell(2, 1), cell(2, 2), cell(2, 3), cell(2, 4), cell(2, 5)};
    EXPECT_EQ(bend, (QStringList{"IN", "Pitch Bend", "10", "08192", ""}));

    const auto& model = pane.model();
    EXPECT_TRUE(model.index(0, 0).data(LogTableModel::IsMIDIRole).toBool());
    EXPECT_FALSE(model.index(0, 0).data(LogTableModel::IsInputRole).toBool());
    EXPECT_TRUE(model.index(1, 0).data(LogTableModel::IsInputRole).toBool());
    // Direction is told by colour, too.
    EXPECT_NE(model.index(0, LogTableModel::sourceColumn).data(Qt::ForegroundRole),
              model.index(1, LogTableModel::sourceColumn).data(Qt::ForegroundRole));
    for (int column : {LogTableModel::channelColumn, LogTableModel::dataTwoColumn}) {
        const auto alignment = model.index(0, column).data(Qt::TextAlignmentRole).value<Qt::Alignment>();
        EXPECT_TRUE(alignment & Qt::AlignRight) << column;
    }
    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Time");
    EXPECT_EQ(model.headerData(3, Qt::Horizontal).toString(), "");
    EXPECT_EQ(model.headerData(5, Qt::Horizontal).toString(), "Data 2");
}

TEST_F(LogPaneViewTest, CopyPutsTheExportedTextOnTheClipboardAndAnEmptyLogCopiesEmpty) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    EXPECT_EQ(pane.copyButton().toolTip(), "Copy log");
    EXPECT_EQ(pane.copyButton().accessibleName(), "Copy log");

    clipboard->setText(QStringLiteral("something older"));
    pane.copyButton().click();
    EXPECT_EQ(clipboard->text(), QString());

    store->log("[MIDI] one");
    store->logMIDI(MIDIEventLogDirection::output, std::nullopt, MIDIEvent::noteOnEvent(60, 100, 0));
    publish();
    store->log("[MIDI] appended but not yet published");
    pane.copyButton().click();
    const QString copied = clipboard->text();
    EXPECT_EQ(copied.count(QLatin1Char('\n')), 2);
    EXPECT_TRUE(copied.endsWith(QStringLiteral("appended but not yet published")));
    EXPECT_EQ(copied, QString::fromStdString(store->exportText()));
    EXPECT_EQ(pane.model().rowCount(), 3);  // the copy published the pending entry
}

TEST_F(LogPaneViewTest, ClearEmptiesThePaneAndLaterEntriesShowAgain) {
    EXPECT_EQ(pane.clearButton().toolTip(), "Clear log");
    store->log("[MIDI] a");
    store->log("[MIDI] b");
    publish();
    ASSERT_EQ(pane.model().rowCount(), 2);
    pane.clearButton().click();
    EXPECT_EQ(pane.model().rowCount(), 0);
    EXPECT_TRUE(store->entries().empty());
    store->log("[MIDI] c");
    publish();
    ASSERT_EQ(pane.model().rowCount(), 1);
    EXPECT_EQ(cell(0, LogTableModel::messageColumn), "c");
}

TEST_F(LogPaneViewTest, FollowsTheStoreWhenItDropsItsOldestEntriesAtTheCap) {
    for (std::size_t i = 0; i < LogStore::kMaxEntries; ++i) store->log("[MIDI] " + std::to_string(i));
    publish();
    ASSERT_EQ(pane.model().rowCount(), static_cast<int>(LogStore::kMaxEntries));

    int removed = 0;
    int inserted = 0;
    int resets = 0;
    QObject::connect(&pane.model(), &QAbstractItemModel::rowsRemoved,
                     [&](const QModelIndex&, int first, int last) {
                         EXPECT_EQ(first, 0);
                         removed += last - first + 1;
                     });
    QObject::connect(&pane.model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted += last - first + 1; });
    QObject::connect(&pane.model(), &QAbstractItemModel::modelReset, [&] { ++resets; });

    for (int i = 0; i < 5; ++i) store->log("[MIDI] new " + std::to_string(i));
    publish();
    EXPECT_EQ(removed, 5);
    EXPECT_EQ(inserted, 5);
    EXPECT_EQ(resets, 0);
    const int rows = pane.model().rowCount();
    ASSERT_EQ(rows, static_cast<int>(LogStore::kMaxEntries));
    EXPECT_EQ(cell(0, LogTableModel::messageColumn), "5");
    EXPECT_EQ(cell(rows - 1, LogTableModel::messageColumn), "new 4");

    // A batch larger than the cap replaces everything: the pane resets.
    for (std::size_t i = 0; i < LogStore::kMaxEntries + 1; ++i) store->log("[MIDI] flood");
    publish();
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(pane.model().rowCount(), static_cast<int>(LogStore::kMaxEntries));
}

TEST_F(LogPaneViewTest, ScrollsToTheNewestEntryWhenEntriesArrive) {
    pane.resize(1090, 300);
    pane.show();
    for (int i = 0; i < 200; ++i) store->log("[MIDI] line " + std::to_string(i));
    publish();
    QApplication::processEvents();
    QScrollBar* bar = pane.listView().verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(0);
    store->log("[MIDI] newest");
    publish();
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    const QModelIndex last = pane.model().index(pane.model().rowCount() - 1, 0);
    EXPECT_TRUE(pane.listView().viewport()->rect().intersects(pane.listView().visualRect(last)));
}

TEST_F(LogPaneViewTest, RowsSelectedFromTheKeyboardCopyAsTheirTextLines) {
    pane.resize(1090, 300);
    pane.show();
    for (const char* text : {"[MIDI] one", "[MIDI] two", "[MIDI] three"}) store->log(text);
    publish();
    QApplication::processEvents();
    auto& view = pane.listView();
    view.setFocus();
    view.setCurrentIndex(pane.model().index(0, 0));
    QKeyEvent shiftDown(QEvent::KeyPress, Qt::Key_Down, Qt::ShiftModifier);
    QApplication::sendEvent(&view, &shiftDown);
    pane.copySelectedRows();
    const auto& entries = store->entries();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              QString::fromStdString(velorin::formattedLine(entries[0]) + "\n" +
                                     velorin::formattedLine(entries[1])));
}

TEST_F(LogPaneViewTest, APublicationAtTheCapScrollsOnceWhenTheEventLoopTurns) {
    pane.resize(1090, 300);
    pane.show();
    for (std::size_t i = 0; i < LogStore::kMaxEntries; ++i) store->log("[MIDI] old");
    publish();
    QApplication::processEvents();
    QScrollBar* bar = pane.listView().verticalScrollBar();
    bar->setValue(0);
    int moves = 0;
    QObject::connect(bar, &QScrollBar::valueChanged, [&](int) { ++moves; });

    for (int i = 0; i < 100; ++i) store->log("[MIDI] new");
    publish();  // rows removed at the front and inserted at the end
    EXPECT_EQ(moves, 0);
    QApplication::processEvents();
    EXPECT_EQ(moves, 1);
    EXPECT_EQ(bar->value(), bar->maximum());
}
