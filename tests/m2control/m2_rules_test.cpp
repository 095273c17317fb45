// The game-server discovery rules on plain text and numbers, on the host and
// under Wine alike: the expected path and its comparison, the candidate image
// names, the window tests, the cross-session fallback and the real-path cache
// (including a new process that reuses an old id).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "m2control/m2_rules.h"

namespace {

std::string Show(const WString& text) {
    return WideToUtf8All(text.data(), text.size());
}

TEST(M2Rules, ExpectedPathIsPlainConcatenationUpperCased) {
    const std::pair<WString, WString> cases[] = {
        {WTEXT("D:\\MirServer"), WTEXT("D:\\MIRSERVER\\MIR200\\M2SERVER.EXE")},
        {WTEXT("D:\\MirServer\\"), WTEXT("D:\\MIRSERVER\\\\MIR200\\M2SERVER.EXE")},  // doubled, not repaired
        {WTEXT("d:/games/mir"), WTEXT("D:/GAMES/MIR\\MIR200\\M2SERVER.EXE")},        // "/" stays
        {WTEXT("E:\\\u4f20\u5947\u00e9"), WTEXT("E:\\\u4f20\u5947\u00e9\\MIR200\\M2SERVER.EXE")},
        {WTEXT(""), WTEXT("\\MIR200\\M2SERVER.EXE")},
    };
    for (const auto& [version, expected] : cases) EXPECT_EQ(ExpectedM2Path(version), expected) << Show(version);
}

TEST(M2Rules, ProcessPathMatchesOnlyTheExactExpectedPath) {
    struct Case {
        WString version;
        WString processPath;
        bool match;
    };
    const Case cases[] = {
        {WTEXT("D:\\MirServer"), WTEXT("D:\\MirServer\\Mir200\\M2Server.exe"), true},
        {WTEXT("D:\\MirServer"), WTEXT("d:\\mirserver\\mir200\\m2server.EXE"), true},  // letter case only
        {WTEXT("d:\\MIRSERVER"), WTEXT("D:\\MirServer\\Mir200\\M2Server.exe"), true},
        {WTEXT("D:\\MirServer\\"), WTEXT("D:\\MirServer\\Mir200\\M2Server.exe"), false},
        {WTEXT("D:/MirServer"), WTEXT("D:\\MirServer\\Mir200\\M2Server.exe"), false},
        {WTEXT("D:\\MirServer"), WTEXT("\\\\?\\D:\\MirServer\\Mir200\\M2Server.exe"), false},
        {WTEXT("D:\\MirServer"), WTEXT("D:\\MIRSER~1\\Mir200\\M2Server.exe"), false},
        {WTEXT("D:\\MirServer"), WTEXT("D:\\MirServer\\Mir200\\M2Server.tmp"), false},
        {WTEXT("D:\\MirServer"), WTEXT("D:\\MirServer2\\Mir200\\M2Server.exe"), false},
        {WTEXT("D:\\MirServer"), WTEXT("D:\\MirServer\\Mir200\\M2Server.exe "), false},
        {WTEXT("D:\\Mir\u00e9"), WTEXT("D:\\Mir\u00c9\\Mir200\\M2Server.exe"), false},  // only ASCII folds
        {WTEXT("D:\\MirServer"), WTEXT(""), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchesExpectedPath(c.processPath, ExpectedM2Path(c.version)), c.match)
            << Show(c.version) << " / " << Show(c.processPath);
    }
}

TEST(M2Rules, CandidateImageNames) {
    const std::pair<WString, bool> cases[] = {
        {WTEXT("M2Server.exe"), true},      {WTEXT("m2server.EXE"), true},     {WTEXT("M2SERVER.TMP"), true},
        {WTEXT("M2Server.tmp"), true},      {WTEXT("M2Server"), false},        {WTEXT("M2Server.bak"), false},
        {WTEXT("M2Server.exe.tmp"), false}, {WTEXT("XM2Server.exe"), false},   {WTEXT("M2Server.exe "), false},
        {WTEXT("M2\uff33erver.exe"), false}, {WTEXT("M2Server2.exe"), false}, {WTEXT(""), false},
    };
    for (const auto& [name, candidate] : cases) EXPECT_EQ(IsM2ImageName(name), candidate) << Show(name);
}

TEST(M2Rules, MainWindowNeedsVisibilityAndMenuOrTitle) {
    struct Case {
        bool visible;
        int menuItems;
        WString title;
        bool qualifies;
    };
    const Case cases[] = {
        {true, 2, WTEXT(""), true},
        {true, 1, WTEXT(""), false},
        {true, 0, WTEXT("TForm1"), false},
        {true, kNoMenuItems, WTEXT("Game Server"), true},
        {true, kNoMenuItems, WTEXT("GAME SERVER"), false},
        {true, kNoMenuItems, WTEXT("game server"), true},
        {true, kNoMenuItems, WTEXT("M2Server"), true},
        {true, kNoMenuItems, WTEXT("\u4f20\u5947M2"), true},
        {true, kNoMenuItems, WTEXT("m2"), false},
        {true, kNoMenuItems, WTEXT("\uff2d2"), false},  // full-width M
        {true, 1, WTEXT("Serve"), false},
        {false, 7, WTEXT("M2Server"), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QualifiesAsMainWindow(c.visible, c.menuItems, c.title), c.qualifies)
            << c.visible << " " << c.menuItems << " " << Show(c.title);
    }
}

TEST(M2Rules, CrossSessionFallbackIsTheFirstProcessOfAnotherSession) {
    struct Offer {
        std::uint32_t pid;
        std::uint32_t session;
    };
    struct Case {
        const char* what;
        std::uint32_t current;
        std::vector<Offer> offers;
        bool held;
        Offer chosen;
    };
    const Case cases[] = {
        {"nothing offered", 1, {}, false, {0, 0}},
        {"own session only", 1, {{10, 1}, {11, 1}}, false, {0, 0}},
        {"console session from a remote one", 2, {{10, 2}, {11, 0}}, true, {11, 0}},
        {"first of two other sessions wins", 0, {{10, 0}, {11, 1}, {12, 2}}, true, {11, 1}},
        {"later offers do not replace it", 1, {{20, 3}, {21, 0}}, true, {20, 3}},
    };
    for (const Case& c : cases) {
        CrossSessionFallback fallback(c.current);
        for (const Offer& offer : c.offers) {
            const bool wasHeld = fallback.held();
            EXPECT_EQ(fallback.Offer(offer.pid, offer.session), !wasHeld && offer.session != c.current) << c.what;
        }
        EXPECT_EQ(fallback.held(), c.held) << c.what;
        EXPECT_EQ(fallback.pid(), c.chosen.pid) << c.what;
        EXPECT_EQ(fallback.session(), c.chosen.session) << c.what;
    }
}

// One lookup of a sequence: the process, what the query would answer, what
// the lookup must give and whether it must have asked.
struct Step {
    std::uint32_t pid;
    std::uint64_t created;
    WString answer;
    WString expected;
    bool asks;
};

void RunSteps(const char* what, const std::vector<Step>& steps) {
    RealPathCache cache;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        bool asked = false;
        const WString got = cache.Lookup(s.pid, s.created, [&] {
            asked = true;
            return s.answer;
        });
        EXPECT_EQ(got, s.expected) << what << ", step " << i;
        EXPECT_EQ(asked, s.asks) << what << ", step " << i;
    }
}

const WString kPathA = WTEXT("D:\\A\\Mir200\\M2Server.exe");
const WString kPathB = WTEXT("D:\\B\\Mir200\\M2Server.exe");

TEST(M2Rules, RealPathCacheAsksOncePerProcess) {
    RunSteps("same process", {{7, 100, kPathA, kPathA, true}, {7, 100, kPathB, kPathA, false}});
    RunSteps("empty answer is kept", {{7, 100, WString(), WString(), true}, {7, 100, kPathA, WString(), false}});
    RunSteps("processes apart", {{7, 100, kPathA, kPathA, true},
                                 {8, 100, kPathB, kPathB, true},
                                 {7, 100, WString(), kPathA, false},
                                 {8, 100, WString(), kPathB, false}});
}

TEST(M2Rules, RealPathCacheAsksAgainForANewProcessWithAnOldId) {
    RunSteps("reused id",
             {{7, 100, kPathA, kPathA, true}, {7, 200, kPathB, kPathB, true}, {7, 200, kPathA, kPathB, false}});
    RunSteps("reused id after an empty answer", {{7, 100, WString(), WString(), true}, {7, 200, kPathB, kPathB, true}});
}

TEST(M2Rules, RealPathCacheKeepsNoPathOfAnUnknownProcess) {
    RunSteps("path of unknown age is asked for each time",
             {{7, 0, kPathA, kPathA, true}, {7, 0, kPathB, kPathB, true}});
    RunSteps("empty answer of unknown age is kept",
             {{7, 0, WString(), WString(), true}, {7, 0, kPathA, WString(), false}});
    RunSteps("known age is not served to unknown", {{7, 100, kPathA, kPathA, true}, {7, 0, kPathB, kPathB, true}});
    RunSteps("unknown age is not served to known",
             {{7, 0, WString(), WString(), true}, {7, 100, kPathA, kPathA, true}});
}

TEST(M2Rules, RealPathCacheSurvivesAFailingQuery) {
    RealPathCache cache;
    EXPECT_THROW(cache.Lookup(7, 100, []() -> WString { throw std::runtime_error("WMI gone"); }), std::runtime_error);
    EXPECT_EQ(cache.Lookup(7, 100, [] { return kPathA; }), kPathA);
    EXPECT_EQ(cache.Lookup(8, 100, [] { return kPathB; }), kPathB);  // the lock was released by the throw
}

TEST(M2Rules, RealPathCacheServesConcurrentLookupsOneAfterTheOther) {
    RealPathCache cache;
    std::atomic<int> inQuery{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> queries{0};
    auto worker = [&](std::uint32_t firstPid) {
        for (std::uint32_t pid = firstPid; pid < firstPid + 50; ++pid) {
            cache.Lookup(pid % 60, 1, [&] {
                if (inQuery.fetch_add(1) != 0) overlaps.fetch_add(1);
                std::this_thread::yield();
                ++queries;
                inQuery.fetch_sub(1);
                return kPathA;
            });
        }
    };
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) threads.emplace_back(worker, t * 10);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(queries.load(), 60);  // ids 0..59 seen, each asked once
}

}  // namespace
