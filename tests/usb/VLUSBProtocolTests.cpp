// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "usb/VLUSBProtocol.hpp"
#include "usb/channel/PTPropertyList.hpp"

namespace velorin::testing {
namespace {

using K = VLUSBProtocolError::Kind;

std::vector<std::uint8_t> plistBytes(const PTPlist& p, bool binary) {
    if (binary) return PTPlistToBinary(p);
    const auto xml = PTPlistToXML(p);
    return {xml.begin(), xml.end()};
}

PTPlist info(std::initializer_list<std::pair<const char*, const char*>> fields) {
    PTPlist d = PTPlist::makeDictionary();
    for (const auto& [k, v] : fields) d.set(k, PTPlist::makeString(v));
    return d;
}

VLUSBProtocolError decodeError(const PTPlist& p) {
    auto r = VLUSBDecodeDeviceInfo(plistBytes(p, false));
    EXPECT_TRUE(std::holds_alternative<VLUSBProtocolError>(r));
    return std::holds_alternative<VLUSBProtocolError>(r) ? std::get<VLUSBProtocolError>(r)
                                                         : VLUSBProtocolError{};
}

TEST(VLUSBDeviceInfoDecoding, ModelStandsInForAMissingLocalizedModelInEitherFormat) {
    const auto p = info({{"model", "iPad"}, {"name", "Stage"}, {"systemVersion", "17.4"}});
    for (bool binary : {false, true}) {
        auto r = VLUSBDecodeDeviceInfo(plistBytes(p, binary));
        ASSERT_TRUE(std::holds_alternative<VLUSBDeviceInfo>(r));
        EXPECT_EQ(std::get<VLUSBDeviceInfo>(r), (VLUSBDeviceInfo{"Stage", "iPad", "17.4"}));
    }
}

TEST(VLUSBDeviceInfoDecoding, FieldsAreCheckedInOrderAndTheFirstFailureWins) {
    auto e =
        decodeError(info({{"localizedModel", ""}, {"model", "iPad"}, {"name", "A"}, {"systemVersion", "1"}}));
    EXPECT_EQ(e.kind, K::invalidDeviceInfoField);
    EXPECT_EQ(e.key, "localizedModel");
    e = decodeError(info({{"model", "iPad"}, {"systemVersion", "1"}}));
    EXPECT_EQ(e.kind, K::missingDeviceInfoField);
    EXPECT_EQ(e.key, "name");
    e = decodeError(info({{"name", "A"}, {"systemVersion", "1"}}));
    EXPECT_EQ(e.key, "model");
    e = decodeError(info({{"model", "iPad"}, {"name", "A"}, {"systemVersion", ""}}));
    EXPECT_EQ(e.kind, K::invalidDeviceInfoField);
    EXPECT_EQ(e.description(), "invalidDeviceInfoField(\"systemVersion\")");
    PTPlist numberName = info({{"model", "iPad"}, {"systemVersion", "1"}});
    numberName.set("name", PTPlist::makeInteger(5));
    EXPECT_EQ(decodeError(numberName).kind, K::invalidDeviceInfoField);
}

TEST(VLUSBDeviceInfoDecoding, NonDictionaryRootsAndGarbageAreMalformed) {
    PTPlist array;
    array.kind = PTPlist::Kind::array;
    EXPECT_EQ(decodeError(array).kind, K::malformedDeviceInfo);
    const std::vector<std::uint8_t> garbage{'n', 'o', 't', 0xFF};
    auto r = VLUSBDecodeDeviceInfo(garbage);
    ASSERT_TRUE(std::holds_alternative<VLUSBProtocolError>(r));
    EXPECT_EQ(std::get<VLUSBProtocolError>(r).kind, K::malformedDeviceInfo);
    EXPECT_TRUE(std::holds_alternative<VLUSBProtocolError>(VLUSBDecodeDeviceInfo({})));
}

TEST(VLUSBMIDIFrameCoding, EncodesTheDocumentedLayout) {
    const std::vector<std::uint8_t> bytes{0x90, 0x3C, 0x64};
    auto r = VLUSBEncodeMIDIFrame(1, 0, bytes);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(r));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(r),
              (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x3C, 0x64}));
    auto back = VLUSBDecodeMIDIFrame(
        std::get<std::vector<std::uint8_t>>(VLUSBEncodeMIDIFrame(7, 0x0102030405060708ull, bytes)));
    ASSERT_TRUE(std::holds_alternative<VLUSBMIDIFrame>(back));
    EXPECT_EQ(std::get<VLUSBMIDIFrame>(back), (VLUSBMIDIFrame{7, 0x0102030405060708ull, bytes}));
}

TEST(VLUSBMIDIFrameCoding, RejectsTruncatedMismatchedEmptyAndImpossibleFrames) {
    auto err = [](const std::vector<std::uint8_t>& p) {
        return std::get<VLUSBProtocolError>(VLUSBDecodeMIDIFrame(p));
    };
    EXPECT_EQ(err(std::vector<std::uint8_t>(15, 0)).kind, K::truncatedMIDIHeader);
    EXPECT_EQ(err(std::vector<std::uint8_t>(15, 0)).value, 15u);
    std::vector<std::uint8_t> p{0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
    auto mismatch = err(p);
    EXPECT_EQ(mismatch.kind, K::midiPayloadLengthMismatch);
    EXPECT_EQ(mismatch.value, 3u);
    EXPECT_EQ(mismatch.actual, 4u);
    p[7] = 0;
    EXPECT_EQ(err(p).kind, K::emptyMIDIMessage);
    p[5] = 0x10;
    p[7] = 0x01;
    EXPECT_EQ(err(p).kind, K::impossibleMIDILength);
    EXPECT_EQ(err(p).value, 0x100001u);
}

}  // namespace
}  // namespace velorin::testing

namespace velorin::testing {
namespace {

TEST(VLUSBDeviceInfoDecoding, StringsWithEmbeddedNULBytesDoNotAbort) {
    // libplist's string accessor asserts on such strings; the decoder must not use it.
    const std::string xml =
        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>name</key><string>ab") + '\0' +
        "cd</string><key>model</key><string>m</string><key>systemVersion</key><string>1</string></dict></"
        "plist>";
    auto r = VLUSBDecodeDeviceInfo(std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    if (auto* info = std::get_if<VLUSBDeviceInfo>(&r)) {
        EXPECT_EQ(info->name.substr(0, 2), "ab");
    }
}

}  // namespace
}  // namespace velorin::testing
