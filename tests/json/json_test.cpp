// Tests of the JSON value, parser and writer: the parser's leniencies and
// refusals as tables side by side, the number and string writers, member
// access, the nesting bound and robustness against cut and mangled input.
#include "json/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace {

// UTF-8 of 同步 ("sync"), spelled out so the test does not depend on the
// compiler's source character set.
const std::string kSyncUtf8 = "\xe5\x90\x8c\xe6\xad\xa5";
const std::string kReplacementUtf8 = "\xef\xbf\xbd";

WString Units(std::initializer_list<unsigned> units) {
    WString text;
    for (unsigned unit : units) text.push_back(static_cast<WChar>(unit));
    return text;
}

std::string Bytes(const char* data, std::size_t size) {
    return std::string(data, size);
}

bool SameJson(const JsonValue& a, const JsonValue& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case JsonKind::Null: return true;
        case JsonKind::Bool: return a.flag == b.flag;
        case JsonKind::Number: return a.number == b.number;
        case JsonKind::String: return a.text == b.text;
        case JsonKind::Array:
            if (a.items.size() != b.items.size()) return false;
            for (std::size_t i = 0; i < a.items.size(); ++i) {
                if (!SameJson(a.items[i], b.items[i])) return false;
            }
            return true;
        case JsonKind::Object:
            if (a.members.size() != b.members.size()) return false;
            for (std::size_t i = 0; i < a.members.size(); ++i) {
                if (a.members[i].first != b.members[i].first) return false;
                if (!SameJson(a.members[i].second, b.members[i].second)) return false;
            }
            return true;
    }
    return false;
}

// A failed parse leaves nothing of what it had read so far.
void ExpectEmptyNull(const JsonValue& value) {
    EXPECT_EQ(value.kind, JsonKind::Null);
    EXPECT_FALSE(value.flag);
    EXPECT_EQ(value.number, 0.0);
    EXPECT_TRUE(value.text.empty());
    EXPECT_TRUE(value.items.empty());
    EXPECT_TRUE(value.members.empty());
}

std::string Nested(const std::string& open, const std::string& close, int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += "1";
    for (int i = 0; i < depth; ++i) text += close;
    return text;
}

// ---------------------------------------------------------------------------
// Parser: accepted and refused text

struct Rewrite {
    std::string input;
    std::string written;
};

TEST(JsonParse, AcceptedTextWritesBackAsExpected) {
    const Rewrite cases[] = {
        {"{}", "{}"},
        {"[]", "[]"},
        {" {\"a\":1}", "{\"a\":1}"},
        {" \t\r\n[ 1 ,\t2\n]", "[1,2]"},
        {"{ \"a\" : [ true , false , null ] , \"b\" : { } }", "{\"a\":[true,false,null],\"b\":{}}"},
        {"{\"a\":1,\"a\":2}", "{\"a\":2}"},
        {"{\"b\":1,\"a\":2}", "{\"b\":1,\"a\":2}"},
        {"{\"a\":1,\"b\":2,\"a\":3}", "{\"a\":3,\"b\":2}"},
        {"[[1,[2,[]]],{\"x\":{\"y\":[{}]}}]", "[[1,[2,[]]],{\"x\":{\"y\":[{}]}}]"},
        {"[true]", "[true]"},
        {"[-,+,.,e]", "[0,0,0,0]"},
        {"true", "true"},
        {"false", "false"},
        {"null", "null"},
        {"-12.5", "-12.5"},
        {"\"\"", "\"\""},
        {"\"a\\u0041\"", "\"aA\""},
        {"\"\\/\\\"\\\\\"", "\"/\\\"\\\\\""},
        {"\"\\b\\f\\n\\r\\t\"", "\"\\u0008\\u000c\\n\\r\\t\""},
        {"\"" + kSyncUtf8 + "\"", "\"" + kSyncUtf8 + "\""},
        {"\"\\u540c\\u6b65\"", "\"" + kSyncUtf8 + "\""},
        {"\"\\ud83d\\ude00\"", "\"\xf0\x9f\x98\x80\""},
        {"\"\x7f\"", "\"\x7f\""},
        {"{\"\\u0022\":\"\\u005c\"}", "{\"\\\"\":\"\\\\\"}"},
    };
    for (const Rewrite& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(SerializeJson(ParseJson(c.input)), c.written);
    }
}

TEST(JsonParse, RefusedTextGivesNullWithNothingPartial) {
    const std::string cases[] = {
        "", " ", "\n",
        "{\"a\":1}\n", "{\"a\":1} ", "[1]\r", "{\"a\":1}}", "[]]", "1 2", "\"a\"x",
        "{\"a\":1,}", "[1,]", "[,1]", "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{1:2}", "{,}",
        "{'a':1}", "[1;2]",
        "[", "{", "[1", "[1,", "{\"a\"", "{\"a\":", "{\"a\":1", "{\"a\":1,",
        "]", "}", ":", ",",
        "0x10", "--1", "1.2.3", "1e5e5", "+-1",
        "trueX", "tru", "t", "fals", "falsey", "nul", "nullnull", "True", "NULL",
        "\"abc", "\"\\", "\"\\q\"", "\"\\x41\"", "\"\\u12\"", "\"\\u12", "\"\\u\"", "\"\\uZZZZ\"",
        "\"\\u12g4\"", "\"\\ud83d\\u12\"",
        "\"a\tb\"", "\"a\nb\"", "\"\x1f\"", "{\"a\tb\":1}",
        Bytes("\0", 1), Bytes("[1]\0", 4), Bytes("\"a\0b\"", 5), Bytes("[1,\0]", 5), Bytes("\"\\\0\"", 4),
    };
    for (const std::string& input : cases) {
        SCOPED_TRACE(testing::PrintToString(input));
        ExpectEmptyNull(ParseJson(input));
        ExpectEmptyNull(ParseJson(input.data(), input.size()));
    }
}

TEST(JsonParse, NullPointerWithoutBytesIsRefused) {
    ExpectEmptyNull(ParseJson(nullptr, 0));
}

// ---------------------------------------------------------------------------
// Parser: numbers

struct NumberCase {
    std::string input;
    double value;
};

TEST(JsonParse, NumbersReadLikeStrtodInTheCLocale) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string hundredZeros(100, '0');
    const std::string manyZeros = hundredZeros + hundredZeros + hundredZeros + hundredZeros;
    const NumberCase cases[] = {
        {"5", 5.0},
        {"+5", 5.0},
        {"-", 0.0},
        {"+", 0.0},
        {".", 0.0},
        {"-.", 0.0},
        {"e5", 0.0},
        {"-e5", 0.0},
        {"1e", 1.0},
        {"1e+", 1.0},
        {"1.5e", 1.5},
        {"1.5E-", 1.5},
        {"01", 1.0},
        {"007.50", 7.5},
        {".5", 0.5},
        {"-.5", -0.5},
        {"5.", 5.0},
        {"-0", -0.0},
        {"1E3", 1000.0},
        {"2e-3", 0.002},
        {"0.1", 0.1},
        {"9007199254740993", 9007199254740992.0},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {"4.9e-324", std::numeric_limits<double>::denorm_min()},
        {"1e400", inf},
        {"-1e400", -inf},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"1e99999999999999999999", inf},
        {"0e99999999999999999999", 0.0},
        {"1e0000000000000000000000000001", 10.0},
        {"1" + manyZeros, inf},
        {"0." + manyZeros + "1", 0.0},
        {"1" + manyZeros + "e-400", 1.0},
        {"1" + manyZeros + "e-50", inf},
        {"0." + manyZeros + "1e50", 0.0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.input);
        const JsonValue value = ParseJson(c.input);
        ASSERT_EQ(value.kind, JsonKind::Number);
        EXPECT_EQ(value.number, c.value);
        EXPECT_EQ(std::signbit(value.number), std::signbit(c.value));
    }
}

// ---------------------------------------------------------------------------
// Parser: text

struct TextCase {
    std::string input;
    WString text;
};

TEST(JsonParse, StringsBecomeUtf16Text) {
    const TextCase cases[] = {
        {"\"a\\u0041\"", WTEXT("aA")},
        {"\"" + kSyncUtf8 + "\"", WTEXT("\u540c\u6b65")},
        {"\"\\u540c\\u6b65\"", WTEXT("\u540c\u6b65")},
        {"\"\\u540C\\u6B65\"", WTEXT("\u540c\u6b65")},
        {"\"\\ud83d\\ude00\"", Units({0xD83D, 0xDE00})},
        {"\"\xf0\x9f\x98\x80\"", Units({0xD83D, 0xDE00})},
        {"\"\\ud83dx\"", Units({0xD83D, 'x'})},
        {"\"\\ud83d\\u0041\"", Units({0xD83D, 'A'})},
        {"\"\\ud83d\\ud83d\\ude00\"", Units({0xD83D, 0xD83D, 0xDE00})},
        {"\"\\ude00\\ud83d\"", Units({0xDE00, 0xD83D})},
        {"\"\\ud83d\\n\"", Units({0xD83D, '\n'})},
        {"\"\\u0000\"", Units({0})},
        {"\"a\xff" "b\"", Units({'a', 0xFFFD, 'b'})},
        {"\"\xe5\x90\\n\"", Units({0xFFFD, '\n'})},
        {"\"\\n\xad\xa5\"", Units({'\n', 0xFFFD, 0xFFFD})},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.input);
        const JsonValue value = ParseJson(c.input);
        ASSERT_EQ(value.kind, JsonKind::String);
        EXPECT_EQ(value.text, c.text);
    }
}

// A raw run is decoded as a whole: the escape after the first half of a
// character must not glue onto it, and bytes split by an escape stay apart.
TEST(JsonParse, EscapesSplitRawRunsForDecoding) {
    const JsonValue value = ParseJson("{\"k" + kSyncUtf8.substr(0, 3) + "\\u0041" + kSyncUtf8.substr(3) + "\":1}");
    ASSERT_EQ(value.kind, JsonKind::Object);
    ASSERT_EQ(value.members.size(), 1u);
    EXPECT_EQ(value.members[0].first, WTEXT("k\u540cA\u6b65"));
}

// ---------------------------------------------------------------------------
// Parser: nesting bound and hostile input

TEST(JsonParse, NestingIsBoundedAtMaxDepth) {
    struct Shape {
        const char* open;
        const char* close;
        int levels;
    };
    const Shape shapes[] = {{"[", "]", 1}, {"{\"a\":", "}", 1}, {"[{\"a\":", "}]", 2}};
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.open);
        const int steps = kJsonMaxDepth / shape.levels;
        const JsonValue deepest = ParseJson(Nested(shape.open, shape.close, steps));
        EXPECT_NE(deepest.kind, JsonKind::Null);
        ExpectEmptyNull(ParseJson(Nested(shape.open, shape.close, steps + 1)));
    }
    const std::string atBound = Nested("[", "]", kJsonMaxDepth);
    EXPECT_EQ(SerializeJson(ParseJson(atBound)), atBound);
}

TEST(JsonParse, VeryDeepInputFailsWithoutCrashing) {
    ExpectEmptyNull(ParseJson(std::string(100000, '[')));
    ExpectEmptyNull(ParseJson(Nested("[", "]", 100000)));
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    ExpectEmptyNull(ParseJson(objects));
}

// Every proper prefix of a document ending in a bracket is incomplete, and
// single-byte damage anywhere must neither crash nor read past the input.
TEST(JsonParse, CutAndDamagedDocumentsAreHandledSafely) {
    const std::string document =
        "{\"versionPath\":\"D:\\\\MirServer\",\"n\":[-1.5e+3,true,false,null,{}],"
        "\"t\":\"\\ud83d\\ude00\\u540c" + kSyncUtf8 + "\\n\",\"e\":[]}";
    ASSERT_EQ(ParseJson(document).kind, JsonKind::Object);
    for (std::size_t length = 0; length < document.size(); ++length) {
        // A heap copy of exactly `length` bytes lets the address sanitizer see overreads.
        const std::vector<char> prefix(document.begin(), document.begin() + static_cast<std::ptrdiff_t>(length));
        ExpectEmptyNull(ParseJson(prefix.data(), prefix.size()));
    }
    const char damage[] = {'\0', '"', '\\', '[', ']', '{', '}', ',', ':', 'u', 'e', '-', '\x1f', '\xff'};
    for (std::size_t at = 0; at < document.size(); ++at) {
        for (char byte : damage) {
            std::vector<char> copy(document.begin(), document.end());
            copy[at] = byte;
            const JsonValue value = ParseJson(copy.data(), copy.size());
            if (value.kind != JsonKind::Null) SerializeJson(value);
        }
    }
}

// ---------------------------------------------------------------------------
// Writer

struct NumberText {
    double value;
    const char* written;
};

TEST(JsonWrite, NumbersAsWholeIntegersOrSixSignificantDigits) {
    const NumberText cases[] = {
        {5.0, "5"},
        {-0.0, "0"},
        {0.0, "0"},
        {-3.0, "-3"},
        {2.5, "2.5"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.333333"},
        {123456.7, "123457"},
        {1234567.5, "1.23457e+06"},
        {1e-5 + 1e-20, "1e-05"},
        {0.0001234, "0.0001234"},
        {1e18, "1000000000000000000"},
        {-9223372036854775808.0, "-9223372036854775808"},
        {9223372036854775808.0, "9.22337e+18"},
        {1e20, "1e+20"},
        {-1e20, "-1e+20"},
        {1e300, "1e+300"},
        {std::numeric_limits<double>::denorm_min(), "4.94066e-324"},
    };
    for (const NumberText& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(SerializeJson(JsonValue::MakeNumber(c.value)), c.written);
    }
}

struct StringText {
    WString text;
    std::string written;
};

TEST(JsonWrite, StringsEscapeOnlyQuoteBackslashAndControlBytes) {
    const StringText cases[] = {
        {WTEXT(""), "\"\""},
        {Units({0x08}), "\"\\u0008\""},
        {Units({0x0C}), "\"\\u000c\""},
        {Units({0x1F}), "\"\\u001f\""},
        {Units({0}), "\"\\u0000\""},
        {WTEXT("\n\r\t"), "\"\\n\\r\\t\""},
        {WTEXT("a\"b\\c"), "\"a\\\"b\\\\c\""},
        {WTEXT("/"), "\"/\""},
        {Units({0x7F}), "\"\x7f\""},
        {WTEXT("\u540c\u6b65"), "\"" + kSyncUtf8 + "\""},
        {Units({0xD83D, 0xDE00}), "\"\xf0\x9f\x98\x80\""},
        {Units({'a', 0xD83D}), "\"a" + kReplacementUtf8 + "\""},
        {Units({0xDE00, 'b'}), "\"" + kReplacementUtf8 + "b\""},
    };
    for (const StringText& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(SerializeJson(JsonValue::MakeString(c.text)), c.written);
    }
}

TEST(JsonWrite, KeysEscapeOnlyQuoteAndBackslash) {
    const StringText cases[] = {
        {WTEXT("a\"b"), "{\"a\\\"b\":null}"},
        {WTEXT("a\\b"), "{\"a\\\\b\":null}"},
        {WTEXT("a\nb\tc"), "{\"a\nb\tc\":null}"},
        {Units({0x08}), "{\"\x08\":null}"},
        {WTEXT("/\u540c\u6b65"), "{\"/" + kSyncUtf8 + "\":null}"},
    };
    for (const StringText& c : cases) {
        SCOPED_TRACE(c.written);
        JsonValue object = JsonValue::MakeObject();
        SetMember(object, c.text, JsonValue());
        EXPECT_EQ(SerializeJson(object), c.written);
    }
}

TEST(JsonWrite, AppendingFormKeepsWhatIsThere) {
    std::string out = "body=";
    JsonValue array = JsonValue::MakeArray();
    AppendItem(array, JsonValue::MakeBool(true));
    AppendItem(array, JsonValue::MakeString(WTEXT("x")));
    SerializeJsonTo(out, array);
    EXPECT_EQ(out, "body=[true,\"x\"]");
}

// Values built in code survive writing and reading back unchanged, and the
// text they write is stable.
TEST(JsonWrite, BuiltValuesRoundTrip) {
    JsonValue answer = JsonValue::MakeObject();
    SetMember(answer, WTEXT("success"), JsonValue::MakeBool(true));
    SetMember(answer, WTEXT("message"), JsonValue::MakeString(WTEXT("\u540c\u6b65\u6210\u529f \"ok\"\\")));
    SetMember(answer, WTEXT("successCount"), JsonValue::MakeNumber(3));

    JsonValue list = JsonValue::MakeArray();
    AppendItem(list, JsonValue::MakeString(Units({'C', ':', '\\', 0x01, '\n', 0xD83D, 0xDE00})));
    AppendItem(list, JsonValue::MakeNumber(-0.015625));
    AppendItem(list, JsonValue::MakeNumber(-9007199254740991.0));
    AppendItem(list, JsonValue());
    AppendItem(list, JsonValue::MakeArray());
    AppendItem(list, JsonValue::MakeObject());
    JsonValue versions = JsonValue::MakeObject();
    SetMember(versions, WTEXT("z"), list);
    SetMember(versions, WTEXT("\u540c"), JsonValue::MakeBool(false));

    const JsonValue values[] = {
        answer,
        versions,
        list,
        JsonValue::MakeString(WTEXT("")),
        JsonValue::MakeNumber(1e300),
        JsonValue(),
    };
    for (const JsonValue& value : values) {
        const std::string text = SerializeJson(value);
        SCOPED_TRACE(text);
        const JsonValue back = ParseJson(text);
        EXPECT_TRUE(SameJson(back, value));
        EXPECT_EQ(SerializeJson(back), text);
    }
}

// ---------------------------------------------------------------------------
// Members and items

TEST(JsonMembers, LookupIsExactAndOnlyOnObjects) {
    const JsonValue object = ParseJson("{\"name\":\"v\",\"n\":5,\"b\":true,\"a\":[1],\"k\\u0000\":\"z\"}");
    ASSERT_EQ(object.kind, JsonKind::Object);

    EXPECT_EQ(GetMember(object, WTEXT("name")).text, WTEXT("v"));
    EXPECT_EQ(GetMember(object, WTEXT("Name")).kind, JsonKind::Null);
    EXPECT_EQ(GetMember(object, WTEXT("k")).kind, JsonKind::Null);
    EXPECT_EQ(GetMember(object, Units({'k', 0})).text, WTEXT("z"));
    EXPECT_EQ(GetMember(object, WTEXT("a")).items.size(), 1u);

    EXPECT_EQ(FindMember(object, WTEXT("n")), &object.members[1].second);
    EXPECT_EQ(FindMember(object, WTEXT("missing")), nullptr);

    const JsonValue array = ParseJson("[{\"name\":\"v\"}]");
    EXPECT_EQ(GetMember(array, WTEXT("name")).kind, JsonKind::Null);
    EXPECT_EQ(FindMember(array, WTEXT("name")), nullptr);
    EXPECT_EQ(GetMemberText(array, WTEXT("name")), WTEXT(""));
}

TEST(JsonMembers, TextReadsOnlyStringMembers) {
    const JsonValue object = ParseJson("{\"s\":\"text\",\"e\":\"\",\"n\":5,\"b\":true,\"z\":null,\"a\":[\"x\"],\"o\":{}}");
    ASSERT_EQ(object.kind, JsonKind::Object);
    EXPECT_EQ(GetMemberText(object, WTEXT("s")), WTEXT("text"));
    for (const WChar* key : {WTEXT("e"), WTEXT("n"), WTEXT("b"), WTEXT("z"), WTEXT("a"), WTEXT("o"), WTEXT("missing")}) {
        EXPECT_EQ(GetMemberText(object, key), WTEXT(""));
    }
}

TEST(JsonMembers, SetMemberReplacesInPlaceOrAppends) {
    JsonValue object = JsonValue::MakeObject();
    SetMember(object, WTEXT("b"), JsonValue::MakeNumber(1));
    SetMember(object, WTEXT("a"), JsonValue::MakeNumber(2));
    SetMember(object, WTEXT("b"), JsonValue::MakeString(WTEXT("x")));
    SetMember(object, WTEXT("B"), JsonValue::MakeNumber(3));
    EXPECT_EQ(SerializeJson(object), "{\"b\":\"x\",\"a\":2,\"B\":3}");
}

TEST(JsonMembers, SetMemberAndAppendItemConvertOtherKinds) {
    JsonValue text = JsonValue::MakeString(WTEXT("old"));
    SetMember(text, WTEXT("k"), JsonValue::MakeBool(false));
    EXPECT_EQ(SerializeJson(text), "{\"k\":false}");

    JsonValue array = ParseJson("[1,2]");
    SetMember(array, WTEXT("k"), JsonValue());
    EXPECT_EQ(SerializeJson(array), "{\"k\":null}");

    JsonValue object = ParseJson("{\"a\":1}");
    AppendItem(object, JsonValue::MakeNumber(7));
    EXPECT_EQ(SerializeJson(object), "[7]");

    JsonValue null;
    AppendItem(null, JsonValue::MakeObject());
    EXPECT_EQ(SerializeJson(null), "[{}]");
}

// A member is a copy: later changes to the source do not reach the object.
TEST(JsonMembers, MembersAreIndependentCopies) {
    JsonValue inner = JsonValue::MakeArray();
    AppendItem(inner, JsonValue::MakeNumber(1));
    JsonValue object;
    SetMember(object, WTEXT("list"), inner);
    AppendItem(inner, JsonValue::MakeNumber(2));
    SetMember(object, WTEXT("self"), object);
    EXPECT_EQ(SerializeJson(object), "{\"list\":[1],\"self\":{\"list\":[1]}}");
}

}  // namespace

namespace {

TEST(JsonStringSpan, FindsTheLastPlainTopLevelMember) {
    struct Case {
        const char* text;
        bool found;
        const char* content;
    };
    const Case cases[] = {
        {R"({"k":"abc"})", true, "abc"},
        {R"( { "a" : {"k":"inner"} , "k" : "top" } )", true, "top"},
        {R"({"k":"first","k":"second"})", true, "second"},
        {R"({"k":"first","k":2})", false, ""},          // the later value decides, and is no string
        {R"({"k":"a\/b"})", false, ""},                  // escapes: read by the parser instead
        {R"({"\u006b":"x","k":"y"})", false, ""},        // an escaped key might be the same key
        {R"({"a":"k","b":["k",{"k":1}]})", false, ""},
        {R"(["k","x"])", false, ""},
        {R"({"k":""})", true, ""},
        {"{\"k\":\"a\x01\"}", false, ""},                // a raw control byte fails the parser too
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        std::size_t begin = 0, end = 0;
        ASSERT_EQ(FindTopLevelStringSpan(text, "k", begin, end), c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(text.substr(begin, end - begin), c.content) << c.text;
        }
    }
}

// Long values are passed over several bytes at a time: a stop at any offset
// within or across those steps is still seen, in a value and in a key.
TEST(JsonStringSpan, StopsAreSeenAtEveryOffsetOfALongValue) {
    struct Stop {
        const char* name;
        std::string text;  // put in place of one plain character
        bool found;
    };
    const Stop stops[] = {
        {"escape", "\\/", false},
        {"control byte", "\x1f", false},
        {"tab", "\t", false},
        {"multibyte character", "\xe5\x90\x8c", true},
        {"byte 0x7f", "\x7f", true},
    };
    const std::string plain(37, 'A');
    for (const Stop& stop : stops) {
        for (std::size_t at = 0; at <= plain.size(); ++at) {
            SCOPED_TRACE(std::string(stop.name) + " at " + std::to_string(at));
            const std::string value = plain.substr(0, at) + stop.text + plain.substr(at);
            std::string text = "{\"" + plain + "\":1,\"k\":\"" + value + "\"}";
            std::size_t begin = 0, end = 0;
            ASSERT_EQ(FindTopLevelStringSpan(text, "k", begin, end), stop.found);
            if (stop.found) {
                EXPECT_EQ(text.substr(begin, end - begin), value);
            }
            // The same stop in a key that is not the one sought.
            text = "{\"" + value + "\":1,\"k\":\"x\"}";
            EXPECT_EQ(FindTopLevelStringSpan(text, "k", begin, end), stop.found);
        }
    }
    // A closing quote at any offset ends the value there.
    for (std::size_t at = 0; at <= plain.size(); ++at) {
        std::string text = "{\"k\":\"" + plain.substr(0, at) + "\",\"b\":\"" + plain.substr(at) + "\"}";
        std::size_t begin = 0, end = 0;
        ASSERT_TRUE(FindTopLevelStringSpan(text, "k", begin, end)) << at;
        EXPECT_EQ(end - begin, at);
    }
}

}  // namespace
