// The path text functions and the ASCII-only case rule, on the host and
// under Wine alike (nothing here may depend on a locale or the platform).
#include <gtest/gtest.h>

#include <string>

#include "common/path_text.h"

namespace {

std::string Show(const WString& text) {
    return WideToUtf8All(text.data(), text.size());
}

TEST(PathText, EqualsIgnoreCaseChangesOnlyAsciiLetters) {
    struct Case {
        WString a;
        WString b;
        bool equal;
    };
    const Case cases[] = {
        {WTEXT("mirserver"), WTEXT("MIRSERVER"), true},
        {WTEXT("Config.INI"), WTEXT("config.ini"), true},
        {WTEXT(""), WTEXT(""), true},
        {WTEXT("\u00e9"), WTEXT("\u00c9"), false},             // accented letter
        {WTEXT("\u0101"), WTEXT("\u0100"), false},             // beyond Latin-1
        {WTEXT("\u7248\u672c"), WTEXT("\u7248\u5b57"), false}, // Chinese differs
        {WTEXT("\u7248\u672ca"), WTEXT("\u7248\u672cA"), true},
        {WTEXT("a"), WTEXT("ab"), false},
        {WTEXT("@[`{"), WTEXT("@[`{"), true},
        {WTEXT("`"), WTEXT("@"), false},  // neighbours of the letter ranges stay apart
        {WTEXT("{"), WTEXT("["), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EqualsIgnoreCase(c.a, c.b), c.equal) << Show(c.a) << " / " << Show(c.b);
        EXPECT_EQ(EqualsIgnoreCase(c.b, c.a), c.equal) << Show(c.b) << " / " << Show(c.a);
    }
}

TEST(PathText, TrimBlanks) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("  a b  "), WTEXT("a b")},
        {WTEXT("GameName=x\r\n"), WTEXT("GameName=x")},
        {WTEXT("\t\r\n \t"), WTEXT("")},
        {WTEXT(""), WTEXT("")},
        {WTEXT("\u3000a\u3000"), WTEXT("\u3000a\u3000")},  // the ideographic blank is not one of the four
        {WTEXT("\va\f"), WTEXT("\va\f")},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(TrimBlanks(input), expected) << Show(input);
}

TEST(PathText, StripTrailingSeparatorsKeepsThreeCharacters) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("C:\\"), WTEXT("C:\\")},     {WTEXT("C:/"), WTEXT("C:/")},
        {WTEXT("D:\\a\\/"), WTEXT("D:\\a")}, {WTEXT("D:\\Games\\\\"), WTEXT("D:\\Games")},
        {WTEXT("D:\\\\\\"), WTEXT("D:\\")}, {WTEXT("ab/"), WTEXT("ab/")},
        {WTEXT("abcd"), WTEXT("abcd")},      {WTEXT(""), WTEXT("")},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(StripTrailingSeparators(input), expected) << Show(input);
}

TEST(PathText, LastPathComponent) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("D:\\a/b"), WTEXT("b")},  {WTEXT("D:/a\\b"), WTEXT("b")}, {WTEXT("D:\\a\\"), WTEXT("")},
        {WTEXT("abc"), WTEXT("abc")},    {WTEXT(""), WTEXT("")},         {WTEXT("\\"), WTEXT("")},
        {WTEXT("a\\b.c/"), WTEXT("")},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(LastPathComponent(input), expected) << Show(input);
}

}  // namespace

namespace {

// The narrow and the wide forms of the case rule agree on every row.
TEST(AsciiCaseRule, NarrowAndWideFormsAgree) {
    struct Row {
        const char* a;
        const char* b;
        bool equal;
    };
    const Row rows[] = {
        {"", "", true},          {"Content-Length", "content-length", true}, {"abc", "ABC", true},
        {"abc", "abcd", false},  {"a", "b", false},                          {"@[`{", "@[`{", true},
        {"@", "`", false},       {"[", "{", false},                          {"\xC3\x84", "\xC3\xA4", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.a) + " / " + row.b);
        EXPECT_EQ(EqualsIgnoreCase(std::string(row.a), std::string(row.b)), row.equal);
        const std::string a(row.a), b(row.b);
        EXPECT_EQ(EqualsIgnoreCase(WString(a.begin(), a.end()), WString(b.begin(), b.end())), row.equal);
    }
    EXPECT_EQ(LowerAsciiText("Expect: 100-Continue \xC3\x84Z"), "expect: 100-continue \xC3\x84z");
    EXPECT_EQ(UpperAsciiText(WTEXT("c:\\Mir200\\m2server.exe\u00e4")), WTEXT("C:\\MIR200\\M2SERVER.EXE\u00e4"));
}

}  // namespace

namespace {

TEST(LongPathForm, OnlyLongDrivePathsTakeThePrefix) {
    const WString longTail(kLongPathFrom, WChar('a'));
    const WString atLimit = WTEXT("D:\\") + WString(kLongPathFrom - 3, WChar('a'));
    const WString under = WTEXT("D:\\") + WString(kLongPathFrom - 4, WChar('a'));
    EXPECT_EQ(LongPathForm(atLimit), WTEXT("\\\\?\\") + atLimit);
    EXPECT_EQ(LongPathForm(WTEXT("c:\\") + longTail), WTEXT("\\\\?\\c:\\") + longTail);
    for (const WString& unchanged : {under, WTEXT("\\\\host\\share\\") + longTail, WTEXT("\\\\?\\D:\\") + longTail,
                                     WTEXT("D:") + longTail, WTEXT("1:\\") + longTail, WString()})
        EXPECT_EQ(LongPathForm(unchanged), unchanged);
}

}  // namespace
