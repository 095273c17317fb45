/*
 * Base64 and hex: RFC 4648 vectors plus the lenient decoder's own rules
 * (dropped line breaks and blanks, strangers in third or fourth place
 * skipped, failure leaving the output empty).
 */
#include <gtest/gtest.h>

#include <string>

#include "crypto/encoding.h"

namespace {

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace

TEST(Base64Encode, MatchesRfc4648WithFill) {
    struct Case {
        Bytes data;
        const char* text;
    };
    const Case cases[] = {
        {{}, ""},
        {{0x00}, "AA=="},
        {{0x00, 0x00}, "AAA="},
        {BytesOf("f"), "Zg=="},
        {BytesOf("fo"), "Zm8="},
        {BytesOf("foo"), "Zm9v"},
        {BytesOf("foob"), "Zm9vYg=="},
        {BytesOf("fooba"), "Zm9vYmE="},
        {BytesOf("foobar"), "Zm9vYmFy"},
        {{0xfb, 0xff, 0xbf}, "+/+/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Base64Encode(c.data), c.text);
    }
}

TEST(Base64Decode, AcceptsLenientText) {
    struct Case {
        const char* name;
        std::string text;
        Bytes data;
    };
    const Case cases[] = {
        {"one byte with fill", "QQ==", {0x41}},
        {"rfc4648 foobar", "Zm9vYmFy", BytesOf("foobar")},
        {"rfc4648 fooba", "Zm9vYmE=", BytesOf("fooba")},
        {"both extra characters", "+/+/", {0xfb, 0xff, 0xbf}},
        {"CRLF between groups", "Zm9v\r\nYmFy", BytesOf("foobar")},
        {"blanks and line breaks anywhere", " Zm 9\nvY\rmFy ", BytesOf("foobar")},
        {"fill inside the text", "QQ==QQ==", {0x41, 0x41}},
        {"tab in third place skipped", "QQ\tA", {0x41, 0x00}},
        {"stranger in fourth place skipped", "QUI*", {0x41, 0x42}},
        {"fill in third place, letter in fourth", "QQ=B", {0x41, 0x01}},
        {"group split by a line break after whole groups", "Zm9vYmFyQ\r\nQ==", {'f', 'o', 'o', 'b', 'a', 'r', 0x41}},
        {"empty", "", {}},
        {"only line breaks and blanks", " \r\n  \n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out = {0xee};
        EXPECT_TRUE(Base64Decode(c.text, out));
        EXPECT_EQ(out, c.data);
    }
}

TEST(Base64Decode, RefusesAndLeavesOutputEmpty) {
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"three characters", "QQ="},
        {"five characters", "QUJDR"},
        {"second character is fill", "Q==="},
        {"first character is fill", "=QQQ"},
        {"tab is not dropped", "QQ==\t"},
        {"tab in first place of a later group", "QUJD\tQ=="},
        {"zero byte in second place", std::string("Q\0QQ", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out = {0xee};
        EXPECT_FALSE(Base64Decode(c.text, out));
        EXPECT_TRUE(out.empty());
    }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLength) {
    Bytes data;
    for (int i = 0; i < 256; ++i) {
        SCOPED_TRACE(i);
        Bytes decoded;
        const std::string text = Base64Encode(data);
        ASSERT_TRUE(Base64Decode(text, decoded));
        ASSERT_EQ(decoded, data);
        // Wrapped every seven characters, so that groups straddle the breaks.
        std::string wrapped;
        for (std::size_t at = 0; at < text.size(); at += 7) wrapped += text.substr(at, 7) + "\r\n";
        ASSERT_TRUE(Base64Decode(wrapped, decoded));
        ASSERT_EQ(decoded, data);
        data.push_back(static_cast<std::uint8_t>(255 - i));
    }
}

TEST(HexLower, WritesTwoLowerCaseDigitsPerByteHighNibbleFirst) {
    struct Case {
        Bytes data;
        const char* hex;
    };
    const Case cases[] = {
        {{}, ""},
        {{0x00}, "00"},
        {{0x0f, 0xf0}, "0ff0"},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, "0123456789abcdef"},
        {{0xff, 0xfe, 0xba, 0xdc}, "fffebadc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(HexLower(c.data), c.hex);
    }
}
