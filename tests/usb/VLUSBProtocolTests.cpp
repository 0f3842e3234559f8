// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

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

// The largest MIDI message a frame may carry is also the parser's SysEx cap, so a
// SysEx of that size must cross USB both ways; one byte more is refused both ways.
TEST(VLUSBMIDIFrameCoding, TheLargestLengthRoundTripsAndOneMoreIsRefusedBothWays) {
    std::vector<std::uint8_t> largest(kVLUSBMaxMIDILength, 0x55);
    largest.front() = 0xF0;
    largest.back() = 0xF7;
    const auto encoded = VLUSBEncodeMIDIFrame(2, 7, largest);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(encoded));
    const auto& frame = std::get<std::vector<std::uint8_t>>(encoded);
    EXPECT_EQ(frame.size(), 16u + 0x100000u);
    const auto decoded = VLUSBDecodeMIDIFrame(frame);
    ASSERT_TRUE(std::holds_alternative<VLUSBMIDIFrame>(decoded));
    EXPECT_EQ(std::get<VLUSBMIDIFrame>(decoded), (VLUSBMIDIFrame{2, 7, largest}));

    largest.push_back(0xF7);
    const auto tooLong = VLUSBEncodeMIDIFrame(2, 7, largest);
    ASSERT_TRUE(std::holds_alternative<VLUSBProtocolError>(tooLong));
    EXPECT_EQ(std::get<VLUSBProtocolError>(tooLong).kind, K::impossibleMIDILength);
    EXPECT_EQ(std::get<VLUSBProtocolError>(tooLong).value, 0x100001u);
    // The same frame as a device would send it: header declaring 0x100001 and the bytes.
    std::vector<std::uint8_t> incoming(16 + largest.size(), 0x55);
    const std::array<std::uint8_t, 16> header{0, 2, 0, 0, 0, 0x10, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 7};
    std::copy(header.begin(), header.end(), incoming.begin());
    const auto refused = VLUSBDecodeMIDIFrame(incoming);
    ASSERT_TRUE(std::holds_alternative<VLUSBProtocolError>(refused));
    EXPECT_EQ(std::get<VLUSBProtocolError>(refused).kind, K::impossibleMIDILength);
}

// A frame of one MIDI byte is the smallest that carries anything.
TEST(VLUSBMIDIFrameCoding, OneByteIsTheShortestMessage) {
    const std::vector<std::uint8_t> one{0xF8};
    const auto encoded = VLUSBEncodeMIDIFrame(0, 0, one);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(encoded));
    const auto decoded = VLUSBDecodeMIDIFrame(std::get<std::vector<std::uint8_t>>(encoded));
    ASSERT_TRUE(std::holds_alternative<VLUSBMIDIFrame>(decoded));
    EXPECT_EQ(std::get<VLUSBMIDIFrame>(decoded).bytes, one);
    const auto header = VLUSBDecodeMIDIFrame(std::vector<std::uint8_t>(16, 0));
    ASSERT_TRUE(std::holds_alternative<VLUSBProtocolError>(header));
    EXPECT_EQ(std::get<VLUSBProtocolError>(header).kind, K::emptyMIDIMessage);
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
