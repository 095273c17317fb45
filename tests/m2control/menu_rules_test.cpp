// The menu searches and the reload endpoint's texts, without a platform: the
// searches walk a table-built menu through the same templates the Windows
// half uses on an HMENU. Runs on the host and under Wine.
#include <gtest/gtest.h>

#include <vector>

#include "m2control/menu_rules.h"
#include "m2control/reload_rules.h"

namespace {

struct Item {
    WString label;
    int id;  // -1 for an item that opens a submenu
    std::vector<Item> submenu;
};

class TableReader {
public:
    TableReader() = default;
    explicit TableReader(const std::vector<Item>* items) : items_(items) {}
    int Count() const { return items_ ? static_cast<int>(items_->size()) : -1; }
    WString Label(int position) const { return (*items_)[position].label; }
    int Id(int position) const { return (*items_)[position].id; }
    bool Submenu(int position, TableReader& out) const {
        const Item& item = (*items_)[position];
        if (item.id >= 0) return false;
        out = TableReader(&item.submenu);
        return true;
    }

private:
    const std::vector<Item>* items_ = nullptr;
};

// The stand-in game server's menu bar, plus a "NPC" item, a separator and an
// "&"-only item so that every rule has something to bite on.
const std::vector<Item>& Menu() {
    static const std::vector<Item> menu = {
        {WTEXT("控制(&C)"), -1, {{WTEXT("启动服务(&S)"), 101, {}}, {WTEXT(""), 0, {}}, {WTEXT("关闭(&X)"), 103, {}}}},
        {WTEXT("重新加载(&R)"),
         -1,
         {{WTEXT("重新加载物品数据库(&I)"), 201, {}},
          {WTEXT("技能数据库"), 202, {}},
          {WTEXT(" & "), 205, {}},
          {WTEXT("NPC脚本"), -1, {{WTEXT("所有NPC"), 211, {}}, {WTEXT("QFunction 功能脚本"), 212, {}}}},
          {WTEXT("  怪物爆率  "), 204, {}},
          {WTEXT("NPC"), 213, {}}}},
    };
    return menu;
}

struct SearchCase {
    const char* name;
    WString command;
    int strict;
    int lenient;
};

TEST(MenuSearch, StrictAndLenientOverTheSameMenu) {
    const SearchCase cases[] = {
        {"label with accelerator mark, part of it", WTEXT("物品数据库"), 201, 201},
        {"mark in the command: only strict, which keeps marks", WTEXT("物品数据库(&I)"), 201, -1},
        {"lenient drops the mark", WTEXT("重新加载物品数据库(I)"), -1, 201},
        {"whole label without mark", WTEXT("重新加载物品数据库"), 201, 201},
        {"ascii case ignored", WTEXT("npc"), 211, 211},
        {"label that is part of the command", WTEXT("所有NPC"), 211, 211},
        {"only the lenient search takes a shorter label", WTEXT("全部NPC"), -1, 213},
        {"blanks around a label: strict keeps them", WTEXT("  怪物爆率  "), 204, 204},
        {"blanks around a label: lenient trims them", WTEXT("怪物爆率"), 204, 204},
        {"command longer than every label", WTEXT("怪物爆率 全部"), -1, 204},
        {"submenu label passed over; lenient takes the shorter NPC", WTEXT("NPC脚本"), -1, 213},
        {"inside a submenu", WTEXT("QFunction"), 212, 212},
        {"empty command never matches", WTEXT(""), -1, -1},
        {"unknown", WTEXT("商店数据库"), -1, -1},
        {"ampersand-only label never matches leniently", WTEXT("&"), 101, -1},
    };
    const TableReader menu(&Menu());
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindMenuCommandIn(menu, c.command), c.strict);
        EXPECT_EQ(FindMenuCommandLenientIn(menu, c.command), c.lenient);
    }
}

TEST(MenuSearch, OrderOwnLabelFirstOrSubmenuFirst) {
    // A submenu item whose own label matches but has no identifier: strict
    // goes on into it; lenient looks inside first anyway.
    const std::vector<Item> menu = {
        {WTEXT("数据库"), -1, {{WTEXT("魔法数据库"), 221, {}}}},
        {WTEXT("物品数据库"), 201, {}},
    };
    const TableReader reader(&menu);
    EXPECT_EQ(FindMenuCommandIn(reader, WTEXT("数据库")), 221);
    EXPECT_EQ(FindMenuCommandLenientIn(reader, WTEXT("数据库")), 221);
    EXPECT_EQ(FindMenuCommandIn(reader, WTEXT("物品")), 201);
}

TEST(MenuSearch, EmptyLabelsNeverMatchLeniently) {
    const WString labels[] = {WTEXT(""), WTEXT("&"), WTEXT(" && \t"), WTEXT("\r\n")};
    for (const WString& label : labels) {
        EXPECT_FALSE(LenientLabelMatches(label, WTEXT("所有NPC")));
        EXPECT_TRUE(NormaliseLenientLabel(label).empty());
    }
    EXPECT_FALSE(StrictLabelMatches(WTEXT(""), WTEXT("X")));
    EXPECT_FALSE(StrictLabelMatches(WTEXT("X"), WTEXT("")));
    EXPECT_FALSE(LenientLabelMatches(WTEXT("X"), WTEXT("")));
    EXPECT_EQ(NormaliseLenientLabel(WTEXT(" 重新加载(&a) ")), WTEXT("重新加载(A)"));
}

TEST(MenuSearch, UnreadableMenuFindsNothing) {
    EXPECT_EQ(FindMenuCommandIn(TableReader(), WTEXT("X")), kNoMenuCommand);
    EXPECT_EQ(FindMenuCommandLenientIn(TableReader(), WTEXT("X")), kNoMenuCommand);
}

struct RequestCase {
    const char* body;
    ReloadRejection expected;
};

TEST(ReloadRequest, Refusals) {
    const RequestCase cases[] = {
        {"", ReloadRejection::InvalidJson},
        {"[1]", ReloadRejection::InvalidJson},
        {"{\"versionPath\":\"D:\\\\M\",\"items\":\"所有NPC\"}", ReloadRejection::Incomplete},
        {"{\"versionPath\":\"D:\\\\M\",\"items\":[]}", ReloadRejection::Incomplete},
        {"{\"versionPath\":\"\",\"items\":[\"a\"]}", ReloadRejection::Incomplete},
        {"{\"versionPath\":5,\"items\":[\"a\"]}", ReloadRejection::Incomplete},
        {"{\"items\":[\"a\"]}", ReloadRejection::Incomplete},
        {"{\"versionPath\":\"D:\\\\M\",\"items\":[\"a\",7]}", ReloadRejection::None},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.body);
        ReloadRequest request;
        EXPECT_EQ(ReadReloadRequest(c.body, request), c.expected);
    }
    ReloadRequest request;
    ASSERT_EQ(ReadReloadRequest("{\"versionPath\":\"D:\\\\M\",\"items\":[\"a\",7]}", request), ReloadRejection::None);
    EXPECT_EQ(request.versionPath, WTEXT("D:\\M"));
    EXPECT_EQ(request.items.size(), 2u);
    EXPECT_EQ(RejectionMessage(ReloadRejection::InvalidJson), WTEXT("无效的JSON"));
    EXPECT_EQ(RejectionMessage(ReloadRejection::Incomplete), WTEXT("参数不完整"));
    EXPECT_EQ(RejectionMessage(ReloadRejection::InvalidVersion), WTEXT("截质目录"));
    EXPECT_EQ(RejectionLogText(ReloadRejection::InvalidVersion, WTEXT("C:\\X")),
              WTEXT("M2加载请求被拒绝: 目录不合法 - C:\\X"));
}

struct ItemCase {
    const char* json;
    WString text;
    WString failure;  // empty: accepted
};

TEST(ReloadRequest, Items) {
    const ItemCase cases[] = {
        {"\"所有NPC\"", WTEXT("所有NPC"), WTEXT("")},
        {"\"QFunction 功能脚本\"", WTEXT("QFunction 功能脚本"), WTEXT("")},
        {"7", WTEXT(""), WTEXT("命令项不是文本")},
        {"null", WTEXT(""), WTEXT("命令项不是文本")},
        {"[\"a\"]", WTEXT(""), WTEXT("命令项不是文本")},
        {"\"\"", WTEXT(""), WTEXT("命令文字为空")},
        {"\" \\t \"", WTEXT(" \t "), WTEXT("命令文字为空")},
        {"\"a\\\"b\"", WTEXT("a\"b"), WTEXT("命令文字含有双引号或控制字符")},
        {"\"a\\nb\"", WTEXT("a\nb"), WTEXT("命令文字含有双引号或控制字符")},
        {"\"a\\u0000b\"", WString(WTEXT("a\0b"), 3), WTEXT("命令文字含有双引号或控制字符")},
        {"\"a\\u007fb\"", WTEXT("a\x7f" "b"), WTEXT("命令文字含有双引号或控制字符")},
    };
    for (const ItemCase& c : cases) {
        SCOPED_TRACE(c.json);
        WString text, failure;
        EXPECT_EQ(CheckReloadItem(ParseJson(c.json), text, failure), c.failure.empty());
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(failure, c.failure);
    }
}

TEST(ReloadOutcome, AnswerAndSummaries) {
    ReloadOutcome none;
    ReloadOutcome all;
    all.Succeeded(WTEXT("a"));
    all.Succeeded(WTEXT("b"));
    ReloadOutcome mixed;
    mixed.Succeeded(WTEXT("a"));
    mixed.Failed(WTEXT("b"), JoinFailureTexts(WTEXT("X"), WTEXT("Y")));
    mixed.Succeeded(WTEXT("c"));
    ReloadOutcome failed;
    failed.Failed(WTEXT("a"), WTEXT("e"));

    EXPECT_EQ(all.SummaryText(), WTEXT("M2加载完成：全部成功 (2 项)"));
    EXPECT_EQ(failed.SummaryText(), WTEXT("M2加载完成：全部失败 (1 项)"));
    EXPECT_EQ(mixed.SummaryText(), WTEXT("M2加载完成：成功 2 项，失败 1 项"));
    EXPECT_EQ(none.SummaryText(), WTEXT("M2加载完成：全部成功 (0 项)"));
    EXPECT_EQ(SerializeJson(mixed.Answer()),
              "{\"success\":true,\"successCount\":2,\"failCount\":1,\"results\":["
              "{\"item\":\"a\",\"success\":true},"
              "{\"item\":\"b\",\"success\":false,\"error\":\"X。同会话原因: Y\"},"
              "{\"item\":\"c\",\"success\":true}]}");
    EXPECT_EQ(StartLogText(WTEXT("D:\\M"), 3), WTEXT("M2加载请求: D:\\M (3 项)"));
    EXPECT_EQ(SuccessLogText(WTEXT("a")), WTEXT("M2加载成功: a"));
    EXPECT_EQ(FailureLogText(WTEXT("a"), WTEXT("e")), WTEXT("M2加载失败: a - e"));
}

}  // namespace
