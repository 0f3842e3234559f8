// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdint>

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>

#include "platform/qt/QSettingsStore.hpp"

using velorin::ByteArray;
using velorin::QSettingsStore;

namespace {

class QSettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    std::string path() const { return dir_.filePath(QStringLiteral("settings.conf")).toStdString(); }
    std::unique_ptr<QSettingsStore> open() const { return std::make_unique<QSettingsStore>(path()); }
    // Writes raw values the way another program (or a hand edit) would.
    void writeRaw(const QString& key, const QVariant& value) const {
        QSettings raw(QString::fromStdString(path()), QSettings::IniFormat);
        raw.setValue(key, value);
        raw.sync();
    }

private:
    QTemporaryDir dir_;
};

ByteArray everyByte() {
    ByteArray bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    bytes.push_back(0);
    return bytes;
}

}  // namespace

TEST_F(QSettingsStoreTest, EveryTypeRoundTripsInTheSameInstanceAndThroughTheFile) {
    const ByteArray json{'{', '"', 'a', '"', ':', '1', '}'};
    {
        auto store = open();
        store->set("isLoggingAllMIDIEvents", true);
        store->set("linkLooperLoopLengthBeats", std::int64_t{8});
        store->set("big", std::int64_t{-9007199254740993});
        store->set("mainWindow.contentWidth", 1090.5);
        store->set("mainWindow.contentHeight", 692.0);
        store->set("midiRoutingAssignmentGraph.v2", json);
        store->set("binary", everyByte());
        store->set("octaveLayerEnabledLayers", std::vector<bool>{false, true, false, true});
        store->set("single", std::vector<bool>{true});
        store->set("none", std::vector<bool>{});
        store->set("name", std::string("Velorin, Server @ \"1\""));

        EXPECT_EQ(store->boolValue("isLoggingAllMIDIEvents"), true);
        EXPECT_EQ(store->integerValue("linkLooperLoopLengthBeats"), 8);
        EXPECT_EQ(store->doubleValue("mainWindow.contentWidth"), 1090.5);
        EXPECT_EQ(store->dataValue("binary"), everyByte());
        EXPECT_EQ(store->boolListValue("octaveLayerEnabledLayers"),
                  (std::vector<bool>{false, true, false, true}));
        EXPECT_EQ(store->stringValue("name"), "Velorin, Server @ \"1\"");
    }
    auto reopened = open();
    EXPECT_EQ(reopened->boolValue("isLoggingAllMIDIEvents"), true);
    EXPECT_EQ(reopened->integerValue("linkLooperLoopLengthBeats"), 8);
    EXPECT_EQ(reopened->integerValue("big"), -9007199254740993);
    EXPECT_EQ(reopened->doubleValue("mainWindow.contentWidth"), 1090.5);
    EXPECT_EQ(reopened->doubleValue("mainWindow.contentHeight"), 692.0);
    EXPECT_EQ(reopened->dataValue("midiRoutingAssignmentGraph.v2"), json);
    EXPECT_EQ(reopened->dataValue("binary"), everyByte());
    EXPECT_EQ(reopened->boolListValue("octaveLayerEnabledLayers"),
              (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(reopened->boolListValue("single"), (std::vector<bool>{true}));
    EXPECT_EQ(reopened->boolListValue("none"), (std::vector<bool>{}));
    EXPECT_EQ(reopened->stringValue("name"), "Velorin, Server @ \"1\"");
}

TEST_F(QSettingsStoreTest, WritesReachTheFileAtOnceAndRemoveDeletesThem) {
    auto writer = open();
    writer->set("LinkClock.isActive", true);
    writer->set("vlUSBShowsIndividualUSBDevices", false);
    {
        auto reader = open();  // a second instance sees the write without the first closing
        EXPECT_EQ(reader->boolValue("LinkClock.isActive"), true);
        EXPECT_TRUE(reader->contains("vlUSBShowsIndividualUSBDevices"));
    }
    writer->remove("LinkClock.isActive");
    writer->remove("");  // never wipes the whole file
    auto reader = open();
    EXPECT_FALSE(reader->contains("LinkClock.isActive"));
    EXPECT_EQ(reader->boolValue("LinkClock.isActive"), std::nullopt);
    EXPECT_EQ(reader->boolValue("vlUSBShowsIndividualUSBDevices"), false);
}

TEST_F(QSettingsStoreTest, TextsFromTheFileConvertOnlyWhenTheyParseExactly) {
    writeRaw("b1", QStringLiteral("true"));
    writeRaw("b2", QStringLiteral("false"));
    writeRaw("b3", QStringLiteral("TRUE"));
    writeRaw("b4", QStringLiteral("1"));
    writeRaw("b5", QStringLiteral("0"));
    writeRaw("i1", QStringLiteral("8"));
    writeRaw("i2", QStringLiteral("-12"));
    writeRaw("i3", QStringLiteral("8.5"));
    writeRaw("i4", QStringLiteral(" 8"));
    writeRaw("i5", QStringLiteral("99999999999999999999"));
    writeRaw("d1", QStringLiteral("1090.5"));
    writeRaw("d2", QStringLiteral("692"));
    writeRaw("d3", QStringLiteral("1090.5px"));
    writeRaw("d4", QStringLiteral("inf"));
    writeRaw("l1", QStringList{QStringLiteral("true"), QStringLiteral("false"), QStringLiteral("false"),
                               QStringLiteral("true")});
    writeRaw("l2", QStringList{QStringLiteral("true"), QStringLiteral("yes")});
    auto store = open();

    EXPECT_EQ(store->boolValue("b1"), true);
    EXPECT_EQ(store->boolValue("b2"), false);
    EXPECT_EQ(store->boolValue("b3"), std::nullopt);
    EXPECT_EQ(store->boolValue("b4"), std::nullopt);
    EXPECT_EQ(store->boolValue("b5"), std::nullopt);
    EXPECT_EQ(store->integerValue("i1"), 8);
    EXPECT_EQ(store->integerValue("i2"), -12);
    EXPECT_EQ(store->integerValue("i3"), std::nullopt);
    EXPECT_EQ(store->integerValue("i4"), std::nullopt);
    EXPECT_EQ(store->integerValue("i5"), std::nullopt);
    EXPECT_EQ(store->doubleValue("d1"), 1090.5);
    EXPECT_EQ(store->doubleValue("d2"), 692.0);
    EXPECT_EQ(store->doubleValue("d3"), std::nullopt);
    EXPECT_EQ(store->doubleValue("d4"), std::nullopt);
    EXPECT_EQ(store->boolListValue("l1"), (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(store->boolListValue("l2"), std::nullopt);
    // Texts are never byte data.
    EXPECT_EQ(store->dataValue("i1"), std::nullopt);
}

TEST_F(QSettingsStoreTest, ValuesOfAnotherTypeReadAsAbsent) {
    auto store = open();
    store->set("flag", true);
    store->set("count", std::int64_t{8});
    store->set("width", 1090.5);
    store->set("record", ByteArray{'{', '}'});
    store->set("layers", std::vector<bool>{true, false, true, false});
    for (const auto& s : {std::move(store), open()}) {
        EXPECT_EQ(s->integerValue("flag"), std::nullopt);
        EXPECT_EQ(s->doubleValue("flag"), std::nullopt);
        EXPECT_EQ(s->dataValue("flag"), std::nullopt);
        EXPECT_EQ(s->boolValue("count"), std::nullopt);
        EXPECT_EQ(s->dataValue("count"), std::nullopt);
        EXPECT_EQ(s->boolListValue("count"), std::nullopt);
        EXPECT_EQ(s->integerValue("width"), std::nullopt);
        EXPECT_EQ(s->boolValue("width"), std::nullopt);
        EXPECT_EQ(s->boolValue("record"), std::nullopt);
        EXPECT_EQ(s->stringValue("record"), std::nullopt);
        EXPECT_EQ(s->boolListValue("record"), std::nullopt);
        EXPECT_EQ(s->boolValue("layers"), std::nullopt);
        EXPECT_EQ(s->dataValue("layers"), std::nullopt);
        EXPECT_EQ(s->boolValue("missing"), std::nullopt);
        EXPECT_FALSE(s->contains("missing"));
    }
}

// Another QSettings of this process on the same file shares its values with the
// store as they were set, unsigned numbers included: up to the largest signed
// value they are integers, beyond it they read as absent.
TEST_F(QSettingsStoreTest, UnsignedValuesBeyondTheSignedRangeReadAsAbsent) {
    auto store = open();
    {
        QSettings raw(QString::fromStdString(path()), QSettings::IniFormat);
        raw.setValue("fits", QVariant(static_cast<qulonglong>(INT64_MAX)));
        raw.setValue("beyond", QVariant(static_cast<qulonglong>(INT64_MAX) + 1u));
    }
    EXPECT_EQ(store->integerValue("fits"), INT64_MAX);
    EXPECT_EQ(store->integerValue("beyond"), std::nullopt);
}

TEST_F(QSettingsStoreTest, ACorruptFileReadsAsEmptyWithoutFailing) {
    {
        FILE* f = std::fopen(path().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const char junk[] = "\x01\x02[General\nwidth=@ByteArray(\nflag\n=\n\xff\xfe";
        std::fwrite(junk, 1, sizeof junk, f);
        std::fclose(f);
    }
    auto store = open();
    EXPECT_EQ(store->dataValue("width"), std::nullopt);
    store->set("flag", true);
    EXPECT_EQ(open()->boolValue("flag"), true);
}

TEST_F(QSettingsStoreTest, AnUnwritableFileIsReportedAndValuesStillReadBackInThisRun) {
    // A regular file where the settings folder should be: nothing can be created below it.
    const std::string blocker = path() + ".blocker";
    FILE* f = std::fopen(blocker.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    QSettingsStore store(blocker + "/Velorin/settings.conf");
    EXPECT_FALSE(store.isWritable());
    store.set("LinkClock.isActive", true);
    EXPECT_TRUE(store.hasWriteFailed());
    EXPECT_EQ(store.boolValue("LinkClock.isActive"), true);
    EXPECT_FALSE(open()->contains("LinkClock.isActive"));
}

TEST_F(QSettingsStoreTest, AValuesReadingIsWhatTheGettersAnswerRightAfterItIsSet) {
    auto store = open();
    const std::vector<velorin::SettingsValue> values{true,
                                                     std::int64_t{-3},
                                                     1090.5,
                                                     std::string("true"),
                                                     std::string("42"),
                                                     std::string("2.5"),
                                                     std::string("nan"),
                                                     std::string("Pad 1"),
                                                     std::string(),
                                                     ByteArray{'{', '}'},
                                                     std::vector<bool>{true, false},
                                                     std::vector<bool>{}};
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string key = "value." + std::to_string(i);
        store->set(key, values[i]);
        EXPECT_EQ(store->readingOf(values[i]), velorin::SettingsReading::of(*store, key));
    }
}

TEST_F(QSettingsStoreTest, ABatchOfChangesReachesTheFileInOrder) {
    auto writer = open();
    writer->set("gone", true);
    const std::vector<velorin::SettingsChange> changes{
        {"width", 1090.0}, {"gone", std::nullopt}, {"width", 1100.0}, {"", true}, {"flag", false}};
    writer->apply(changes);
    auto reader = open();
    EXPECT_EQ(reader->doubleValue("width"), 1100.0);
    EXPECT_FALSE(reader->contains("gone"));
    EXPECT_EQ(reader->boolValue("flag"), false);
    EXPECT_EQ(reader->keys(), (std::vector<std::string>{"flag", "width"}));
}
