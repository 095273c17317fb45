// How tzclient reads a reload answer: a line per item, and whether any failed.
#include <gtest/gtest.h>

#include "tzclient/client_request.h"

namespace {

TEST(OptionNumber, DigitsOnlyWithinTheRange) {
    struct Case {
        const char* text;
        bool accepted;
        std::uint64_t value;
    };
    const Case cases[] = {
        {"1", true, 1},          {"65535", true, 65535},  {"08080", true, 8080},     {"0", false, 0},
        {"65536", false, 0},     {"", false, 0},          {"-1", false, 0},          {"+80", false, 0},
        {" 80", false, 0},       {"80 ", false, 0},       {"80x", false, 0},         {"0x50", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t value = 7;
        EXPECT_EQ(ReadOptionNumber(c.text, 65535, value), c.accepted) << c.text;
        EXPECT_EQ(value, c.accepted ? c.value : 7u) << c.text;
    }
}

TEST(ReloadSummary, OneLinePerItemAndAnyFailureCounts) {
    struct Case {
        const char* what;
        std::string body;
        std::vector<std::string> lines;
        bool anyFailed;
    };
    const Case cases[] = {
        {"all succeeded",
         R"({"success":true,"successCount":2,"failCount":0,"results":[{"item":"所有NPC","success":true},)"
         R"({"item":"QFunction 功能脚本","success":true}]})",
         {"ok      所有NPC", "ok      QFunction 功能脚本"}, false},
        {"one of two failed",
         R"({"success":true,"successCount":1,"failCount":1,"results":[{"item":"所有NPC","success":true},)"
         R"({"item":"物品数据库","success":false,"error":"找不到菜单项"}]})",
         {"ok      所有NPC", "failed  物品数据库: 找不到菜单项"}, true},
        {"all failed",
         R"({"success":true,"successCount":0,"failCount":1,"results":[{"item":"x","success":false,"error":"e"}]})",
         {"failed  x: e"}, true},
        {"a count of failures without results", R"({"success":true,"successCount":0,"failCount":3,"results":{}})", {},
         true},
        {"a refusal", R"({"success":false,"message":"截质目录"})", {}, false},
        {"not JSON", "<html>", {}, false},
    };
    for (const Case& c : cases) {
        const ReloadSummary summary = SummarizeReloadAnswer(c.body);
        EXPECT_EQ(summary.lines, c.lines) << c.what;
        EXPECT_EQ(summary.anyFailed, c.anyFailed) << c.what;
    }
}

TEST(Undo, TheNewestBackupIsTheListsFirst) {
    struct Case {
        const char* body;
        bool found;
        const char* name;
    };
    const Case cases[] = {
        {R"({"success":true,"backups":[{"name":"a_20260718010540.txt","time":"2026-07-18 01:05:40","size":1},)"
         R"({"name":"a_20260718010539.txt","time":"2026-07-18 01:05:39","size":1}]})",
         true, "a_20260718010540.txt"},
        {R"({"success":true,"backups":[]})", false, ""},
        {R"({"success":false,"message":"截质目录"})", false, ""},
        {R"({"success":true,"backups":[{"time":"x"}]})", false, ""},
        {"<html>", false, ""},
    };
    for (const Case& c : cases) {
        std::string name;
        EXPECT_EQ(NewestBackupName(c.body, name), c.found) << c.body;
        if (c.found) {
            EXPECT_EQ(name, c.name);
        }
    }
    std::uint64_t value = 7;
    EXPECT_TRUE(ReadCountArgument("0", 36500, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(ReadCountArgument("30", 36500, value));
    EXPECT_EQ(value, 30u);
    EXPECT_FALSE(ReadCountArgument("-1", 36500, value));
    EXPECT_FALSE(ReadCountArgument("36501", 36500, value));
}

}  // namespace

namespace {

// What tzclient prints of a server's text: control characters and broken
// UTF-8 shown, everything else as sent.
TEST(EscapeControlText, ShowsControlsAndBrokenBytes) {
    struct Case {
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {R"({"success":false,"message":"签名验证失败"})", R"({"success":false,"message":"签名验证失败"})"},
        {"line\nnext", "line\nnext"},
        {"a\rb\x1b[2Jc\td\x7f", "a\\x0db\\x1b[2Jc\\x09d\\x7f"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\xC2\x85 \xC2\x9B \xE2\x80\xA8 \xE2\x80\xA9 \xC2\xA0", "\\u0085 \\u009b \\u2028 \\u2029 \xC2\xA0"},
        {"\xFF\xC0\xAF \xE5\xAF", "\\xff\\xc0\\xaf \\xe5\\xaf"},  // not UTF-8, overlong, cut short
        {"\xED\xA0\x80 \xF0\x9F\x94\x91", "\\xed\\xa0\\x80 \xF0\x9F\x94\x91"},  // a lone surrogate; a key emoji
    };
    for (const Case& c : cases) EXPECT_EQ(EscapeControlText(c.text), c.shown) << c.text;
}

TEST(KeyFile, FirstLineWithoutBomAndLineEnd) {
    struct Case {
        std::string content;
        bool found;
        std::string key;
    };
    const Case cases[] = {
        {"同步密钥-key", true, "同步密钥-key"},
        {"key\r\n", true, "key"},
        {"key\nsecond line", true, "key"},
        {"\xEF\xBB\xBFkey with blanks \r\n", true, "key with blanks "},
        {"", false, ""},
        {"\r\n", false, ""},
        {"\xEF\xBB\xBF\n", false, ""},
    };
    for (const Case& c : cases) {
        std::string key = "unchanged";
        EXPECT_EQ(KeyFromFileText(c.content, key), c.found) << c.content;
        EXPECT_EQ(key, c.found ? c.key : "unchanged") << c.content;
    }
}

TEST(DefaultTimeout, ReloadWaitsPerItem) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(DefaultTimeoutMs(Words{"ping"}), 30000);
    EXPECT_EQ(DefaultTimeoutMs(Words{"reload", "D:\\MirServer", "所有NPC"}), 120000);
    EXPECT_EQ(DefaultTimeoutMs(Words{"reload", "D:\\MirServer", "a", "b", "c"}), 360000);
    EXPECT_EQ(DefaultTimeoutMs(Words(1000, "reload")), kMaxTimeoutMs);
}

}  // namespace
