// The one decimal reader, under each rule the program's numbers are read
// with. Every edge a caller depends on stands here once: overflow, empty
// text, signs, leading blanks and zeros, and what ends the digits.
#include "common/decimal_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "common/text.h"

namespace {

// Blanks and sign skipped, saturating past the signed 64-bit range: the
// port field, the update port and the request timestamp read this way.
constexpr DecimalRules kSignedCLike{true, true, static_cast<std::uint64_t>(LLONG_MAX)};
// A sign but no blanks, refused past INT_MAX: the request Content-Length.
constexpr DecimalRules kSignedRefused{false, true, static_cast<std::uint64_t>(INT_MAX)};
// Blanks but no sign, whole 64 bits: the download Content-Length.
constexpr DecimalRules kBlanksUnsigned{true, false, UINT64_MAX};
// Digits only, 32 bits: the bridge's numeric arguments.
constexpr DecimalRules kDigitsOnly{false, false, UINT32_MAX};

struct Row {
    const char* text;
    const DecimalRules* rules;
    std::uint64_t magnitude;
    bool negative;
    bool anyDigit;
    bool overflow;
    std::size_t end;
};

const Row kRows[] = {
    {"", &kSignedCLike, 0, false, false, false, 0},
    {"", &kDigitsOnly, 0, false, false, false, 0},
    {"0", &kDigitsOnly, 0, false, true, false, 1},
    {"007", &kDigitsOnly, 7, false, true, false, 3},
    {"12x34", &kDigitsOnly, 12, false, true, false, 2},
    {" 12", &kDigitsOnly, 0, false, false, false, 0},
    {"+12", &kDigitsOnly, 0, false, false, false, 0},
    {"4294967295", &kDigitsOnly, 4294967295u, false, true, false, 10},
    {"4294967296", &kDigitsOnly, 4294967295u, false, true, true, 10},
    {"99999999999999999999999", &kDigitsOnly, 4294967295u, false, true, true, 23},
    {" \t\n\v\f\r42", &kSignedCLike, 42, false, true, false, 8},
    {"-42 ", &kSignedCLike, 42, true, true, false, 3},
    {"+0042", &kSignedCLike, 42, false, true, false, 5},
    {"-", &kSignedCLike, 0, true, false, false, 1},
    {"+-1", &kSignedCLike, 0, false, false, false, 1},
    {"- 1", &kSignedCLike, 0, true, false, false, 1},
    {"9223372036854775807", &kSignedCLike, 9223372036854775807u, false, true, false, 19},
    {"-9223372036854775808", &kSignedCLike, 9223372036854775807u, true, true, true, 20},
    {" 8080", &kSignedRefused, 0, false, false, false, 0},
    {"-0", &kSignedRefused, 0, true, true, false, 2},
    {"2147483647", &kSignedRefused, 2147483647u, false, true, false, 10},
    {"2147483648", &kSignedRefused, 2147483647u, false, true, true, 10},
    {"\t123abc", &kBlanksUnsigned, 123, false, true, false, 4},
    {"-5", &kBlanksUnsigned, 0, false, false, false, 0},
    {"18446744073709551615", &kBlanksUnsigned, UINT64_MAX, false, true, false, 20},
    {"18446744073709551616", &kBlanksUnsigned, UINT64_MAX, false, true, true, 20},
};

void ExpectRow(const Row& row, const DecimalDigits& read) {
    EXPECT_EQ(read.magnitude, row.magnitude);
    EXPECT_EQ(read.negative, row.negative);
    EXPECT_EQ(read.anyDigit, row.anyDigit);
    EXPECT_EQ(read.overflow, row.overflow);
    EXPECT_EQ(read.end, row.end);
}

TEST(DecimalText, ReadsNarrowAndWideTextAlikeUnderEachRule) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.text);
        ExpectRow(row, ReadDecimalDigits(std::string(row.text), *row.rules));
        const std::string narrow(row.text);
        ExpectRow(row, ReadDecimalDigits(WString(narrow.begin(), narrow.end()), *row.rules));
    }
}

TEST(DecimalText, StopsAtDigitsOutsideAscii) {
    // A full-width digit is not a digit here; neither is a byte above 0x7F.
    EXPECT_FALSE(ReadDecimalDigits(WString(1, WChar(0xFF11)), kDigitsOnly).anyDigit);
    EXPECT_FALSE(ReadDecimalDigits(std::string("\xEF\xBC\x91"), kDigitsOnly).anyDigit);
}

TEST(DecimalText, KeepsSmallLimitsWithoutWrapping) {
    EXPECT_EQ(ReadDecimalDigits(std::string("9"), DecimalRules{false, false, 5}).magnitude, 5u);
    EXPECT_TRUE(ReadDecimalDigits(std::string("9"), DecimalRules{false, false, 5}).overflow);
    EXPECT_EQ(ReadDecimalDigits(std::string("65536"), DecimalRules{false, false, 65535}).magnitude, 65535u);
}

}  // namespace
