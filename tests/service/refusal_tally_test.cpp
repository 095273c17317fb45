// Counting refused requests: one line a minute at most, bounded whatever a
// flood sends, and the router counts every 401 it gives.
#include <gtest/gtest.h>

#include "service/refusal_tally.h"
#include "service/router.h"

namespace {

constexpr std::uint32_t kEditor = (203u << 24) | (0u << 16) | (113u << 8) | 7u;  // 203.0.113.7
const WString kBadSign = WTEXT("签名验证失败");
const WString kExpired = WTEXT("请求已过期");

TEST(RefusalTally, SummarizesByReasonAndAddress) {
    struct Case {
        const char* name;
        std::vector<std::pair<WString, std::uint32_t>> refusals;
        const WChar* line;
    };
    const Case cases[] = {
        {"one editor, wrong key", std::vector<std::pair<WString, std::uint32_t>>(12, {kBadSign, kEditor}),
         WTEXT("最近 1 分钟拒绝了 12 个请求: 签名验证失败 ×12（来自 203.0.113.7），请核对编辑器中的密钥")},
        {"most frequent reason first, each with its addresses",
         {{kExpired, kEditor}, {kBadSign, kEditor + 1}, {kBadSign, kEditor + 2}, {kBadSign, kEditor + 2}},
         WTEXT("最近 1 分钟拒绝了 4 个请求: 签名验证失败 ×3（来自 203.0.113.9 等 2 个地址）、"
               "请求已过期 ×1（来自 203.0.113.7），请核对编辑器中的密钥")},
        {"address unknown", {{kExpired, 0}},
         WTEXT("最近 1 分钟拒绝了 1 个请求: 请求已过期 ×1，请核对两台电脑的时间")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RefusalTally tally;
        for (const auto& refusal : c.refusals) tally.Record(refusal.first, refusal.second);
        EXPECT_EQ(tally.TakeDueSummary(1000), std::optional<WString>(c.line));
        EXPECT_EQ(tally.TakeDueSummary(5000), std::nullopt) << "counted anew after a summary";
    }
}

TEST(RefusalTally, AtMostOneLineAMinuteWhileRefusalsContinue) {
    RefusalTally tally;
    EXPECT_EQ(tally.TakeDueSummary(0), std::nullopt) << "nothing refused, nothing to say";
    int lines = 0;
    std::uint64_t told = 0;
    // Ten refusals a second for five minutes, the summary asked after each.
    for (std::int64_t second = 1000; second < 1300; ++second) {
        for (int i = 0; i < 10; ++i) {
            tally.Record(kBadSign, kEditor);
            if (std::optional<WString> line = tally.TakeDueSummary(second)) {
                ++lines;
                const WString head = WTEXT("最近 1 分钟拒绝了 ");
                ASSERT_EQ(line->compare(0, head.size(), head), 0);
                told += std::stoull(WideToUtf8(line->substr(head.size())));
            }
        }
    }
    EXPECT_EQ(lines, 5);
    // The flood's last refusals (after the summary at 1240) are told once
    // their minute is up, by the window's timer.
    EXPECT_EQ(tally.TakeDueSummary(1299), std::nullopt);
    std::optional<WString> last = tally.TakeDueSummary(1300);
    ASSERT_TRUE(last.has_value());
    told += std::stoull(WideToUtf8(last->substr(WString(WTEXT("最近 1 分钟拒绝了 ")).size())));
    EXPECT_EQ(told, 3000u) << "every refusal counted once";
}

TEST(RefusalTally, FloodFromManyAddressesAndReasonsStaysBounded) {
    RefusalTally tally;
    for (std::uint32_t i = 0; i < 100000; ++i) {
        tally.Record(WTEXT("理由") + WString(1, static_cast<WChar>(L'A' + i % 40)), kEditor + i);
    }
    std::optional<WString> line = tally.TakeDueSummary(0);
    ASSERT_TRUE(line.has_value());
    EXPECT_NE(line->find(WTEXT("拒绝了 100000 个请求")), WString::npos);
    EXPECT_NE(line->find(WTEXT("等 16 个以上地址")), WString::npos);
    EXPECT_LT(line->size(), 1000u) << "a flood of reasons does not make a long line";
}

TEST(RefusalTally, RouterCountsEveryRefusalWithItsPeer) {
    ApiContext context;
    context.sharedKey = WTEXT("key");
    context.clock = [] { return std::int64_t{1765338000}; };
    std::vector<WString> logged;
    context.logSink = [&](const WString& line) { logged.push_back(line); };
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/ping";
    request.headers["x-timestamp"] = "1765338000";
    request.headers["x-nonce"] = "n";
    request.headers["x-sign"] = "00";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(RouteRequest(context, request, kEditor).status, 401);
    ASSERT_EQ(logged.size(), 1u) << "the first refusal is told at once, the rest a minute later";
    EXPECT_EQ(logged[0],
              WTEXT("最近 1 分钟拒绝了 1 个请求: 签名验证失败 ×1（来自 203.0.113.7），请核对编辑器中的密钥"));
    context.clock = [] { return std::int64_t{1765338060}; };
    context.LogDueRefusals();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged[1].find(WTEXT("签名验证失败 ×2")), WString::npos);
}

}  // namespace
