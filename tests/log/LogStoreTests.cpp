// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"

using namespace std::chrono_literals;
using namespace velorin;

namespace {

struct LogStoreTest : ::testing::Test {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> store = LogStore::create(queue, settings);
    int changes = 0;
    Subscription sub = store->observe([this] { ++changes; });

    // The part of a text line after "HH:mm:ss.SSS ".
    static std::string afterTime(const LogEntry& e) { return formattedLine(e).substr(13); }
};

std::string padded(std::string s, std::size_t n) {
    s.resize(n, ' ');
    return s;
}

}  // namespace

TEST_F(LogStoreTest, AppendsFromTwoThreadsPublishTogetherOneFlushIntervalAfterTheFirst) {
    std::thread([this] { store->log("[Link] one"); }).join();
    queue.advance(10ms);
    std::thread([this] { store->log("[Link] two"); }).join();
    queue.advance(56ms);
    EXPECT_TRUE(store->entries().empty());
    queue.advance(1ms);
    ASSERT_EQ(store->entries().size(), 2u);
    EXPECT_EQ(changes, 1);
}

TEST_F(LogStoreTest, WritersRacingTheMainThreadLoseNothingAndKeepTheirOrder) {
    constexpr int kPerWriter = 3000;
    std::atomic<int> running{2};
    auto writer = [&](char name) {
        for (int i = 0; i < kPerWriter; ++i) store->log(std::string(1, name) + std::to_string(i));
        --running;
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    // The main thread publishes and clears nothing while the writers run.
    while (running.load() > 0) queue.advance(10ms);
    a.join();
    b.join();
    queue.advance(100ms);
    ASSERT_EQ(store->entries().size(), 2u * kPerWriter);
    int next[2] = {0, 0};
    for (const LogEntry& e : store->entries()) {
        const std::string& text = std::get<LogEntry::Message>(e.kind).text;
        const int w = text[0] == 'a' ? 0 : 1;
        EXPECT_EQ(text.substr(1), std::to_string(next[w]));
        ++next[w];
    }
}

TEST_F(LogStoreTest, AppendAfterClearSchedulesASecondPublicationThatFindsNothing) {
    store->log("a");
    queue.advance(30ms);
    store->clear();
    EXPECT_EQ(changes, 1);
    store->log("b");      // the flag was reset by clear(): schedules again
    queue.advance(37ms);  // the first job publishes "b"
    ASSERT_EQ(store->entries().size(), 1u);
    EXPECT_EQ(changes, 2);
    queue.advance(100ms);  // the second finds an empty batch: no change
    EXPECT_EQ(changes, 2);
}

TEST_F(LogStoreTest, PublicationAfterTheStoreIsGoneDoesNothing) {
    store->log("late");
    sub.reset();
    store.reset();
    queue.advance(1s);
}

TEST_F(LogStoreTest, KeepsOnlyTheNewestEntries) {
    for (std::size_t i = 0; i < LogStore::kMaxEntries + 5; ++i) store->log("line " + std::to_string(i));
    store->flush();
    ASSERT_EQ(store->entries().size(), LogStore::kMaxEntries);
    EXPECT_EQ(std::get<LogEntry::Message>(store->entries().front().kind).text, "line 5");
    const auto text = store->exportText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(LogStore::kMaxEntries - 1));
}

TEST_F(LogStoreTest, UnpublishedBatchStaysBoundedAndPublishesTheNewestEntries) {
    std::size_t mirrored = 0;
    store->setPublishedEntryHandler([&](const LogEntry&) { ++mirrored; });
    const std::size_t total = 5 * LogStore::kMaxEntries + 3;
    for (std::size_t i = 0; i < total; ++i) store->log("line " + std::to_string(i));
    store->flush();
    EXPECT_LT(mirrored, 2 * LogStore::kMaxEntries);
    ASSERT_EQ(store->entries().size(), LogStore::kMaxEntries);
    EXPECT_EQ(std::get<LogEntry::Message>(store->entries().front().kind).text,
              "line " + std::to_string(total - LogStore::kMaxEntries));
    EXPECT_EQ(std::get<LogEntry::Message>(store->entries().back().kind).text,
              "line " + std::to_string(total - 1));
}

TEST_F(LogStoreTest, ExportJoinsLinesWithoutTrailingFeedAndFlushesFirst) {
    EXPECT_EQ(store->exportText(), "");
    store->log("a");
    store->log("b");
    store->log("c");
    const auto text = store->exportText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.back(), '\n');
}

TEST_F(LogStoreTest, ToggleLogAllPersistsAndIsLoadedByTheNextStore) {
    EXPECT_FALSE(store->isLoggingAllMIDIEvents());
    store->toggleLoggingAllMIDIEvents();
    EXPECT_TRUE(store->isLoggingAllMIDIEvents());
    EXPECT_EQ(settings.boolValue("isLoggingAllMIDIEvents"), true);
    EXPECT_TRUE(LogStore::create(queue, settings)->isLoggingAllMIDIEvents());
}

TEST_F(LogStoreTest, PublishedEntriesReachTheHandlerInOrder) {
    std::vector<std::string> mirrored;
    store->setPublishedEntryHandler([&](const LogEntry& e) { mirrored.push_back(afterTime(e)); });
    store->log("[MIDI] first");
    store->log("second");
    queue.advance(100ms);
    ASSERT_EQ(mirrored.size(), 2u);
    EXPECT_EQ(mirrored[0], padded("MIDI", 35) + " first");
    EXPECT_EQ(mirrored[1], padded("Message", 35) + " second");
}

TEST(LogTaggedMessage, ParsesKnownUnknownAndMissingTags) {
    auto p = parseTaggedMessage("[VL USB] Channel open; awaiting device info");
    EXPECT_EQ(p.type, MessageType::vlUSB);
    EXPECT_EQ(p.text, "Channel open; awaiting device info");
    p = parseTaggedMessage("[Morphs]");
    EXPECT_EQ(p.type, MessageType::morphs);
    EXPECT_EQ(p.text, "[Morphs]");
    p = parseTaggedMessage("[Network MIDI] Peer joined");
    EXPECT_EQ(p.type, MessageType::networkMIDI);
    EXPECT_EQ(p.text, "Peer joined");
    p = parseTaggedMessage("[Nope] word");
    EXPECT_EQ(p.type, MessageType::message);
    EXPECT_EQ(p.text, "word");
    p = parseTaggedMessage("plain text");
    EXPECT_EQ(p.type, MessageType::message);
    EXPECT_EQ(p.text, "plain text");
    // A tag counts only at the very start: a bracket later in the text is text.
    p = parseTaggedMessage("Pad] connected");
    EXPECT_EQ(p.type, MessageType::message);
    EXPECT_EQ(p.text, "Pad] connected");
    p = parseTaggedMessage(" [MIDI] late");
    EXPECT_EQ(p.type, MessageType::message);
    EXPECT_EQ(p.text, " [MIDI] late");
    p = parseTaggedMessage("[unterminated tag");
    EXPECT_EQ(p.type, MessageType::message);
    EXPECT_EQ(p.text, "[unterminated tag");
    p = parseTaggedMessage("[link] case matters");
    EXPECT_EQ(p.type, MessageType::message);
    p = parseTaggedMessage("[MIDI]\t spaced \t");
    EXPECT_EQ(p.text, "spaced");
}

TEST(LogFormattedLine, MIDIOutputNoteOnColumns) {
    const auto e =
        LogEntry::midi(MIDIEventLogDirection::output, std::nullopt, MIDIEvent::noteOnEvent(60, 100, 0));
    EXPECT_EQ(formattedLine(e).substr(12),
              " " + padded("OUT Velorin Server", 35) + " Note On    ch=01 d1=060 C3 d2=100");
}

TEST(LogFormattedLine, ProgramChangePitchBendAndPolyPressureFields) {
    const MIDIEvent program{MIDIEventType::programChange, 5, 0, 15, 0, {}};
    auto line = formattedLine(LogEntry::midi(MIDIEventLogDirection::input, std::string("Keys"), program));
    EXPECT_EQ(line.substr(13), padded("IN Keys", 35) + " " + padded("Program", 10) + " ch=16 d1=005 d2=   ");
    const MIDIEvent bend{MIDIEventType::pitchBend, 8192, 0, 0, 0, {}};
    line = formattedLine(LogEntry::midi(MIDIEventLogDirection::input, std::nullopt, bend));
    EXPECT_EQ(line.substr(13), padded("IN", 35) + " Pitch Bend ch=01 d1=08192 d2=   ");
    const MIDIEvent poly{MIDIEventType::polyPressure, 1, 2, 0, 0, {}};
    line = formattedLine(LogEntry::midi(MIDIEventLogDirection::input, std::nullopt, poly));
    EXPECT_NE(line.find(" Poly Press ch=01 d1=001 d2=002"), std::string::npos);
}

TEST(LogFormattedLine, LongSourceIsCutAndTypedMessageShowsItsSource) {
    const std::string longName(40, 'x');
    auto line =
        formattedLine(LogEntry::midi(MIDIEventLogDirection::input, longName, MIDIEvent::ccEvent(1, 2, 0)));
    EXPECT_EQ(line.substr(13, 36), "IN " + std::string(32, 'x') + " ");
    line = formattedLine(LogEntry::typedMessage(MessageType::morph, std::string("FC-200 SysEx"), "hello"));
    EXPECT_EQ(line.substr(13), padded("Morph FC-200 SysEx", 35) + " hello");
}

TEST(LogFormattedLine, NoteNamesAndTime) {
    EXPECT_EQ(noteName(0), "C-2");
    EXPECT_EQ(noteName(60), "C3");
    EXPECT_EQ(noteName(127), "G8");
    EXPECT_EQ(noteName(-1), "B-3");  // out of range values never index outside the table
    const auto line = formattedLine(LogEntry::message("x"));
    ASSERT_GE(line.size(), 12u);
    EXPECT_EQ(line[2], ':');
    EXPECT_EQ(line[5], ':');
    EXPECT_EQ(line[8], '.');
}

// A large batch goes out in slices, each its own main-thread job, so that work
// queued behind the publication (MIDI) runs in between; order is kept, and
// observers (the window) are told once, when the whole batch is out.
TEST(LogStorePublication, ALargeBatchIsPublishedInSlicesWithOtherJobsInBetween) {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    auto store = LogStore::create(queue, settings);
    const std::size_t count = 3 * LogStore::kPublishSliceEntries + 1;
    for (std::size_t i = 0; i < count; ++i) store->log("[MIDI] " + std::to_string(i));
    std::size_t handed = 0;
    std::vector<std::size_t> handedWhenOtherJobRan;
    store->setPublishedEntryHandler([&](const LogEntry&) {
        // Work that arrives while a slice is published runs before the next slice.
        if (handed++ == 0) queue.post([&] { handedWhenOtherJobRan.push_back(handed); });
    });
    int notifications = 0;
    const auto subscription = store->observe([&] { ++notifications; });
    queue.advance(LogStore::kDefaultFlushInterval);
    ASSERT_EQ(store->entries().size(), count);
    EXPECT_EQ(handedWhenOtherJobRan, (std::vector<std::size_t>{LogStore::kPublishSliceEntries}));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(std::get<LogEntry::Message>(store->entries().back().kind).text,
              "[MIDI] " + std::to_string(count - 1));
}
