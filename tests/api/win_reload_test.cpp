// Menu command dispatch and the reload endpoint under Windows (Wine), against
// a stand-in game-server window in this very process (game_server_side.h).
// The real discovery, menu search and posting code runs. Posted commands are
// recorded by the window with the time the system gives each message.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "m2control/menu_dispatch.h"
#include "m2control/menu_rules.h"
#include "api/win_reload_endpoint.h"
#include "m2control/game_server_side.h"

namespace {

using namespace gameserver;

// ---- menu searches over a real HMENU ----------------------------------------

struct SearchCase {
    const wchar_t* command;
    int strict;
    int lenient;
};

TEST(WinMenuSearch, StrictAndLenientOnARealMenu) {
    const SearchCase cases[] = {
        {L"物品数据库", 201, 201},          // accelerator mark in the label
        {L"重新加载物品数据库(I)", -1, 201}, // only lenient drops "&"
        {L"npc", 211, 211},                 // ASCII case; strict passes over the NPC脚本 popup into it
        {L"所有NPC", 211, 211},
        {L"全部NPC", -1, 206},              // a label that is part of the command text
        {L"怪物爆率", 204, 204},            // blanks around the label
        {L"怪物爆率 全部", -1, 204},
        {L"商店", 222, 222},                // second-level submenu
        {L"其他数据", -1, -1},              // a popup's own label posts nothing
        {L"", -1, -1},
        {L"&", 101, -1},                    // an "&"-only label never matches leniently
        {L"不存在", -1, -1},
    };
    const HMENU menu = BuildMenuBar();
    ASSERT_NE(menu, nullptr);
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "command #" << (&c - cases));
        EXPECT_EQ(FindMenuCommand(menu, c.command), c.strict);
        EXPECT_EQ(FindMenuCommandLenient(menu, c.command), c.lenient);
    }
    DestroyMenu(menu);
}

// ---- SendM2Command and PostMenuCommand ----------------------------------------

TEST(WinMenuDispatch, SendPostsInOrderWithIdentifiers) {
    StandInWindow server;
    WString reason = L"stale";
    ASSERT_NE(server.window(), nullptr);
    const wchar_t* commands[] = {L"物品数据库", L"npc", L"QFunction 功能脚本", L"关于"};
    for (const wchar_t* command : commands) {
        EXPECT_TRUE(SendM2Command(OwnVersion(), command, reason)) << reason;
        EXPECT_EQ(reason, L"");
    }
    EXPECT_EQ(Ids(server.WaitForCommands(4)), (std::vector<WPARAM>{201, 211, 212, 401}));
}

TEST(WinMenuDispatch, MinimisedWindowIsRestoredFirst) {
    StandInWindow server(true, true);
    WString reason;
    ASSERT_TRUE(IsIconic(server.window()));
    EXPECT_TRUE(SendM2Command(OwnVersion(), L"技能数据库", reason));
    EXPECT_FALSE(IsIconic(server.window()));
    EXPECT_EQ(Ids(server.WaitForCommands(1)), (std::vector<WPARAM>{202}));

    StandInWindow worker(true, true);
    WString error;
    EXPECT_TRUE(PostMenuCommand(worker.window(), L"怪物数据库", error));
    EXPECT_EQ(error, L"");
    EXPECT_FALSE(IsIconic(worker.window()));
    EXPECT_EQ(Ids(worker.WaitForCommands(1)), (std::vector<WPARAM>{203}));
}

TEST(WinMenuDispatch, FailureTexts) {
    WString reason;
    {
        StandInWindow server;
        EXPECT_FALSE(SendM2Command(OwnVersion(), L"不存在的命令", reason));
        EXPECT_EQ(reason, L"菜单中未找到命令: 不存在的命令（顶层菜单项数=4，请检查 M2 版本菜单文字）");
        WString error;
        EXPECT_FALSE(PostMenuCommand(server.window(), L"不存在的命令", error));
        EXPECT_EQ(error, L"M2Server 菜单中未找到命令\"不存在的命令\"（顶层菜单项=4），可能 M2 版本菜单文字不同");
        EXPECT_FALSE(PostMenuCommand(server.window(), L"", error));
        EXPECT_TRUE(server.Commands().empty());
    }
    {
        StandInWindow bare(false);
        EXPECT_FALSE(SendM2Command(OwnVersion(), L"所有NPC", reason));
        EXPECT_EQ(reason, L"无法获取M2Server菜单句柄（窗口可能不是主窗口）");
        WString error;
        EXPECT_FALSE(PostMenuCommand(bare.window(), L"所有NPC", error));
        wchar_t handle[32];
        swprintf(handle, 32, L"%08llX", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(bare.window())));
        EXPECT_EQ(error, WString(L"无法获取 M2Server 窗口菜单（句柄=") + handle + L"），请确认 M2Server 窗口未最小化");
    }
    EXPECT_FALSE(SendM2Command(OwnVersion() + L"Other", L"所有NPC", reason));
    EXPECT_EQ(reason, L"未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe 已启动并在视频度下");
}

// ---- the endpoint ---------------------------------------------------------------

struct Endpoint {
    ApiContext api;
    std::vector<WString> log;
    std::vector<WString> crossSessionCalls;
    ReloadHooks hooks;

    explicit Endpoint(bool realPause = false) {
        api.logSink = [this](const WString& line) { log.push_back(line); };
        hooks = DefaultReloadHooks();
        hooks.sendCrossSession = [this](const WString& version, const WString& text, WString& reason) {
            crossSessionCalls.push_back(version + L"|" + text);
            // The bridge finds no game server in another session (its own
            // tests are in win_bridge_test.cpp).
            reason = L"未找到M2Server进程";
            return false;
        };
        if (!realPause) hooks.pause = [] {};
    }

    std::string Call(const std::string& body) {
        HttpRequest request;
        request.method = "POST";
        request.path = "/api/m2/load";
        request.body = body;
        const ApiResponse response = HandleReload(api, request, hooks);
        EXPECT_EQ(response.status, 200);
        return response.body;
    }
};

std::string JsonText(const WString& text) { return SerializeJson(JsonValue::MakeString(text)); }

std::string Body(const WString& version, const std::string& items) {
    return "{\"versionPath\":" + JsonText(version) + ",\"items\":" + items + "}";
}

TEST(WinReloadEndpoint, AllSucceedPacedAtLeast200MsApart) {
    StandInWindow server;
    Endpoint endpoint(true);
    const std::string answer = endpoint.Call(Body(OwnVersion(), "[\"物品数据库\",\"所有NPC\",\"怪物爆率\"]"));
    EXPECT_EQ(answer,
              "{\"success\":true,\"successCount\":3,\"failCount\":0,\"results\":[{\"item\":\"物品数据库\",\"success\":"
              "true},{\"item\":\"所有NPC\",\"success\":true},{\"item\":\"怪物爆率\",\"success\":true}]}");
    const std::vector<Posted> posted = server.WaitForCommands(3);
    EXPECT_EQ(Ids(posted), (std::vector<WPARAM>{201, 211, 204}));
    // Lower bound only; GetMessageTime counts in system ticks (up to 16 ms).
    for (std::size_t i = 1; i < posted.size(); ++i) EXPECT_GE(posted[i].time - posted[i - 1].time, 200u - 16u);
    EXPECT_TRUE(endpoint.crossSessionCalls.empty());
    EXPECT_EQ(endpoint.log, (std::vector<WString>{L"M2加载请求: " + OwnVersion() + L" (3 项)", L"M2加载成功: 物品数据库",
                                                   L"M2加载成功: 所有NPC", L"M2加载成功: 怪物爆率",
                                                   L"M2加载完成：全部成功 (3 项)"}));
}

TEST(WinReloadEndpoint, SecondOfThreeFails) {
    StandInWindow server;
    Endpoint endpoint;
    const std::string answer = endpoint.Call(Body(OwnVersion(), "[\"技能数据库\",\"不存在的命令\",\"魔法数据库\"]"));
    const WString error = L"未找到M2Server进程。同会话原因: 菜单中未找到命令: 不存在的命令（顶层菜单项数=4，请检查 M2 "
                          L"版本菜单文字）";
    EXPECT_EQ(answer, "{\"success\":true,\"successCount\":2,\"failCount\":1,\"results\":[{\"item\":\"技能数据库\","
                      "\"success\":true},{\"item\":\"不存在的命令\",\"success\":false,\"error\":" +
                          JsonText(error) + "},{\"item\":\"魔法数据库\",\"success\":true}]}");
    EXPECT_EQ(Ids(server.WaitForCommands(2)), (std::vector<WPARAM>{202, 221}));
    EXPECT_EQ(endpoint.crossSessionCalls, (std::vector<WString>{OwnVersion() + L"|不存在的命令"}));
    ASSERT_EQ(endpoint.log.size(), 5u);
    EXPECT_EQ(endpoint.log[2], L"M2加载失败: 不存在的命令 - " + error);
    EXPECT_EQ(endpoint.log[4], L"M2加载完成：成功 2 项，失败 1 项");
}

TEST(WinReloadEndpoint, GameServerNotRunning) {
    const WString other = OwnVersion() + L"Other";  // valid, but nothing runs from it
    Endpoint endpoint;
    const std::string answer = endpoint.Call(Body(other, "[\"所有NPC\",\"怪物爆率\"]"));
    const std::string error = JsonText(
        L"未找到M2Server进程。同会话原因: 未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe 已启动并在视频度下");
    EXPECT_EQ(answer, "{\"success\":true,\"successCount\":0,\"failCount\":2,\"results\":[{\"item\":\"所有NPC\","
                      "\"success\":false,\"error\":" + error + "},{\"item\":\"怪物爆率\",\"success\":false,\"error\":" +
                          error + "}]}");
    ASSERT_FALSE(endpoint.log.empty());
    EXPECT_EQ(endpoint.log.back(), L"M2加载完成：全部失败 (2 项)");
}

// Two reloads at once each answer with their own reasons: both bridges fail,
// each with a text of its own, and neither reads its reason before the other
// has failed too.
TEST(WinReloadEndpoint, ConcurrentReloadsKeepTheirOwnReasons) {
    const WString other = OwnVersion() + L"Other";  // valid, but nothing runs from it
    std::mutex lock;
    std::condition_variable changed;
    int failed = 0;
    auto failingBridge = [&](const wchar_t* text) {
        return [&, text](const WString&, const WString&, WString& reason) {
            reason = text;
            std::unique_lock<std::mutex> guard(lock);
            ++failed;
            changed.notify_all();
            changed.wait_for(guard, std::chrono::seconds(10), [&] { return failed == 2; });
            return false;
        };
    };
    Endpoint first;
    Endpoint second;
    first.hooks.sendCrossSession = failingBridge(L"桥接甲");
    second.hooks.sendCrossSession = failingBridge(L"桥接乙");
    std::string firstAnswer;
    std::thread running([&] { firstAnswer = first.Call(Body(other, "[\"所有NPC\"]")); });
    const std::string secondAnswer = second.Call(Body(other, "[\"所有NPC\"]"));
    running.join();

    const WString sameSession = L"。同会话原因: 未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe 已启动并在视频度下";
    auto expected = [&](const WString& bridge) {
        return "{\"success\":true,\"successCount\":0,\"failCount\":1,\"results\":[{\"item\":\"所有NPC\","
               "\"success\":false,\"error\":" + JsonText(bridge + sameSession) + "}]}";
    };
    EXPECT_EQ(firstAnswer, expected(L"桥接甲"));
    EXPECT_EQ(secondAnswer, expected(L"桥接乙"));
}

TEST(WinReloadEndpoint, UnusableItemsFailAloneAndPostNothing) {
    StandInWindow server;
    Endpoint endpoint;
    const std::string answer = endpoint.Call(Body(OwnVersion(), "[\"\",7,\" & \",\"a\\\"b\",\"所有NPC\"]"));
    EXPECT_EQ(answer,
              "{\"success\":true,\"successCount\":2,\"failCount\":3,\"results\":["
              "{\"item\":\"\",\"success\":false,\"error\":\"命令文字为空\"},"
              "{\"item\":\"\",\"success\":false,\"error\":\"命令项不是文本\"},"
              "{\"item\":\" & \",\"success\":true},"
              "{\"item\":\"a\\\"b\",\"success\":false,\"error\":\"命令文字含有双引号或控制字符\"},"
              "{\"item\":\"所有NPC\",\"success\":true}]}");
    // " & " is a real label here, found by the strict search of this session.
    EXPECT_EQ(Ids(server.WaitForCommands(2)), (std::vector<WPARAM>{205, 211}));
    EXPECT_TRUE(endpoint.crossSessionCalls.empty());
}

struct RefusalCase {
    std::string body;
    const char* answer;
    WString log;
};

TEST(WinReloadEndpoint, Refusals) {
    const RefusalCase cases[] = {
        {"[1,2]", "{\"success\":false,\"message\":\"无效的JSON\"}", L"M2加载请求被拒绝: 请求体不是有效的JSON"},
        {Body(OwnVersion(), "\"所有NPC\""), "{\"success\":false,\"message\":\"参数不完整\"}",
         L"M2加载请求被拒绝: 参数不完整 (缺少 versionPath 或 items)"},
        {Body(L"C:\\Games\\MirServer", "[\"所有NPC\"]"), "{\"success\":false,\"message\":\"截质目录\"}",
         L"M2加载请求被拒绝: 目录不合法 - C:\\Games\\MirServer"},
    };
    StandInWindow server;
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.body);
        Endpoint endpoint;
        EXPECT_EQ(endpoint.Call(c.body), c.answer);
        EXPECT_EQ(endpoint.log, std::vector<WString>{c.log});
        EXPECT_TRUE(endpoint.crossSessionCalls.empty());
    }
    EXPECT_TRUE(server.Commands().empty());
}

TEST(WinReloadEndpoint, RegisteredRouteUsesTheGivenHooks) {
    StandInWindow server;
    Endpoint endpoint;
    RegisterReloadRoutes(endpoint.api, endpoint.hooks);
    ASSERT_EQ(endpoint.api.routes.back().first, "/api/m2/load");
    HttpRequest request;
    request.body = Body(OwnVersion(), "[\"在线人数\"]");
    const ApiResponse response = endpoint.api.routes.back().second(endpoint.api, request);
    EXPECT_EQ(response.body, "{\"success\":true,\"successCount\":1,\"failCount\":0,\"results\":[{\"item\":\"在线人数\","
                             "\"success\":true}]}");
    EXPECT_EQ(Ids(server.WaitForCommands(1)), (std::vector<WPARAM>{301}));
}

}  // namespace

int main(int argc, char** argv) {
    if (!RunningAsGameServer()) return RunAsGameServerCopy(L"MirServerRelTest-");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
