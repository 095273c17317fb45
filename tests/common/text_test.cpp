// UTF-8 <-> UTF-16: the host codec and the Windows converter must agree on
// everything the protocol relies on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/text.h"

namespace {

TEST(TextConversion, RoundTripsAndReplacements) {
    struct Case {
        std::string utf8;
        WString wide;
    };
    const Case cases[] = {
        {"", WTEXT("")},
        {"abc", WTEXT("abc")},
        {"\xE5\x90\x8C\xE6\xAD\xA5", WTEXT("同步")},
        {"\xF0\x9F\x98\x80", WString{WChar(0xD83D), WChar(0xDE00)}},
        {"a\xFF" "b", WString{WChar('a'), WChar(0xFFFD), WChar('b')}},                  // stray byte
        {"a\xC3", WString{WChar('a'), WChar(0xFFFD)}},                                   // cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(Utf8ToWideAll(c.utf8.data(), c.utf8.size()), c.wide) << c.utf8;
    }
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(WideToUtf8(cases[i].wide), cases[i].utf8);
}

// How many U+FFFD an encoded surrogate gives is the converter's own choice
// (three on the host and on Windows, two under Wine 8); what matters is that
// it never yields a surrogate code unit.
TEST(TextConversion, EncodedSurrogatesAreReplaced) {
    WString wide = Utf8ToWide("\xED\xA0\x80z");
    ASSERT_GE(wide.size(), 2u);
    EXPECT_EQ(wide.back(), WChar('z'));
    for (std::size_t i = 0; i + 1 < wide.size(); ++i) EXPECT_EQ(wide[i], WChar(0xFFFD));
}

TEST(TextConversion, LoneSurrogatesBecomeReplacementCharacters) {
    WString lone{WChar('x'), WChar(0xD83D), WChar('y'), WChar(0xDE00)};
    EXPECT_EQ(WideToUtf8(lone), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

TEST(TextConversion, GeneralFormsStopAtNulTheWholeFormsDoNot) {
    std::string utf8("a\0b", 3);
    EXPECT_EQ(Utf8ToWide(utf8), WTEXT("a"));
    EXPECT_EQ(Utf8ToWideAll(utf8.data(), utf8.size()), WString(WTEXT("a\0b"), 3));
    WString wide(WTEXT("a\0b"), 3);
    EXPECT_EQ(WideToUtf8(wide), "a");
    EXPECT_EQ(WideToUtf8All(wide.data(), wide.size()), utf8);

    std::string appended = "x";
    AppendUtf8(appended, wide.data(), wide.size());
    EXPECT_EQ(appended, std::string("xa\0b", 4));
}

}  // namespace

namespace {

TEST(DecimalDigitsText, PrintsEachIntegerTypeAsItIs) {
    EXPECT_EQ(Decimal(0), WTEXT("0"));
    EXPECT_EQ(Decimal(-1), WTEXT("-1"));
    EXPECT_EQ(Decimal(static_cast<long long>(INT64_MIN)), WTEXT("-9223372036854775808"));
    EXPECT_EQ(Decimal(4294967295u), WTEXT("4294967295"));
    EXPECT_EQ(Decimal(UINT64_MAX), WTEXT("18446744073709551615"));
    EXPECT_EQ(Decimal(std::size_t{7}), WTEXT("7"));
}

}  // namespace
