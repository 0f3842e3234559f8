// SPDX-License-Identifier: GPL-3.0-or-later
// Property lists arrive from outside (usbmuxd's packets, the devices' info):
// their nesting and size are bounded, trailing NULs are not part of them, and
// dictionaries keep their keys unique.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb/channel/PTPropertyList.hpp"

namespace velorin::testing {
namespace {

std::optional<PTPlist> parse(const std::string& text) {
    return PTPlistParse(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

const std::string kHead = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
const std::string kTail = "</plist>";

// An integer inside `levels` nested arrays: it sits at depth `levels`.
std::string nested(int levels) {
    std::string text = kHead;
    for (int i = 0; i < levels; ++i) text += "<array>";
    text += "<integer>7</integer>";
    for (int i = 0; i < levels; ++i) text += "</array>";
    return text + kTail;
}

TEST(PTPlistParse, NestingUpToTheDepthLimitParsesOneLevelMoreDoesNot) {
    auto deepest = parse(nested(64));
    ASSERT_TRUE(deepest);
    const PTPlist* node = &*deepest;
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(node->array.size(), 1u);
        node = &node->array[0];
    }
    EXPECT_EQ(node->integerValue(), 7);
    EXPECT_FALSE(parse(nested(65)));
}

// A document of exactly 16 MiB parses; one byte more is refused before parsing.
TEST(PTPlistParse, InputOfExactlyTheSizeLimitParsesOneByteMoreDoesNot) {
    constexpr std::size_t kLimit = 16u * 1024u * 1024u;
    const std::string open = kHead + "<dict><key>name</key><string>";
    const std::string close = "</string></dict>" + kTail;
    std::string text = open + std::string(kLimit - open.size() - close.size(), 'x') + close;
    ASSERT_EQ(text.size(), kLimit);
    const auto largest = parse(text);
    ASSERT_TRUE(largest);
    ASSERT_TRUE(largest->find("name"));
    EXPECT_EQ(largest->find("name")->string.size(), kLimit - open.size() - close.size());
    text.insert(open.size(), "x");
    EXPECT_FALSE(parse(text));
}

TEST(PTPlistParse, TrailingNULsAreNotPartOfTheDocument) {
    const std::string xml = kHead + "<dict><key>name</key><string>Pad</string></dict>" + kTail;
    const auto withNULs = parse(xml + std::string(3, '\0'));
    ASSERT_TRUE(withNULs);
    ASSERT_TRUE(withNULs->find("name"));
    EXPECT_EQ(withNULs->find("name")->string, "Pad");
    EXPECT_FALSE(parse(std::string(4, '\0')));
    EXPECT_FALSE(parse(""));
}

// A binary list ends in its trailer; for one list in 256 the last byte (the low
// byte of the offset table's position) is 0, and that list must parse all the
// same: device info may come in either format.
TEST(PTPlistParse, ABinaryListWhoseLastByteIsZeroParses) {
    std::optional<std::vector<std::uint8_t>> endsInZero;
    for (std::size_t pad = 1; pad < 1024 && !endsInZero; ++pad) {
        PTPlist info = PTPlist::makeDictionary();
        info.set("name", PTPlist::makeString(std::string(pad, 'x')));
        info.set("systemVersion", PTPlist::makeString("17.4"));
        auto binary = PTPlistToBinary(info);
        if (!binary.empty() && binary.back() == 0) endsInZero = std::move(binary);
    }
    ASSERT_TRUE(endsInZero) << "no binary list ending in 0 among the sizes tried";
    const auto parsed = PTPlistParse(*endsInZero);
    ASSERT_TRUE(parsed);
    ASSERT_TRUE(parsed->find("systemVersion"));
    EXPECT_EQ(parsed->find("systemVersion")->string, "17.4");
}

TEST(PTPlistDictionary, SettingAKeyAgainReplacesItsValue) {
    PTPlist d = PTPlist::makeDictionary();
    d.set("a", PTPlist::makeInteger(1));
    d.set("b", PTPlist::makeInteger(2));
    d.set("a", PTPlist::makeInteger(3));
    ASSERT_EQ(d.dictionary.size(), 2u);
    EXPECT_EQ(d.dictionary[0].key, "a");
    EXPECT_EQ(d.find("a")->integerValue(), 3);
    EXPECT_EQ(d.find("b")->integerValue(), 2);
}

}  // namespace
}  // namespace velorin::testing
