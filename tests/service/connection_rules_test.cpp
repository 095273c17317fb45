// Which connection makes room, how long a drain lasts, when a bind is retried.
#include <gtest/gtest.h>

#include "service/connection_rules.h"

namespace {

constexpr std::uint64_t kNow = 10000000000;
const BodyPaceRule kRule;  // settle 2 s, grace 10 s, 64 KiB/s

// A body whose head ended `ageMs` ago and that has received `bytes` since.
BodyPace Pace(std::uint64_t ageMs, std::uint64_t bytes) { return BodyPace{true, kNow - ageMs, bytes}; }

TEST(BodyPace, ABodyMustKeepTheFloorOnAverageAfterItsGrace) {
    using S = BodyStanding;
    struct Case {
        BodyPace pace;
        S standing;
    };
    const Case cases[] = {
        {BodyPace{}, S::Progressing},                  // no head yet
        {Pace(1999, 0), S::Progressing},               // settling
        {Pace(2000, 0), S::Stalled},                   // nothing at all after the settle time
        {Pace(2000, 131072), S::Progressing},          // exactly the floor
        {Pace(2000, 131071), S::Stalled},
        {Pace(9999, 1), S::Stalled},
        {Pace(10000, 655359), S::Behind},              // past the grace
        {Pace(10000, 655360), S::Progressing},
        {Pace(600000, 40000000), S::Progressing},      // an editor's push on a slow link
        // A 160 MiB body's deadline follows from its length: whole by 2560 s.
        {Pace(2560000, 167772159), S::Behind},
        {Pace(2559000, 167772159), S::Progressing},
        {BodyPace{true, kNow + 5000, 0}, S::Progressing},  // a clock that went back
    };
    for (const Case& c : cases)
        EXPECT_EQ(JudgeBodyPace(kRule, c.pace, kNow), c.standing) << kNow - c.pace.startedMs << " ms, " << c.pace.received;
}

TEST(BodyBudgetRules, ANewBodyCutsStalledHoldersSlowestFirstOrIsRefused) {
    const std::uint32_t a = 1, b = 2, c = 3;
    const BodyPace fast = Pace(20000, 20000000), young = Pace(1000, 0), idle = Pace(5000, 0), trickle = Pace(5000, 40);
    struct Case {
        const char* what;
        std::vector<BodyHolderView> holders;  // the last one asks
        std::size_t wanted;
        bool admit;
        std::vector<std::size_t> cut;
    };
    const Case cases[] = {
        {"room left", {{a, 300, fast}, {b, 0, young}}, 200, true, {}},
        {"every holder keeps the pace", {{a, 500, fast}, {b, 500, fast}, {c, 0, young}}, 100, false, {}},
        {"a stalled holder makes room", {{a, 500, fast}, {b, 500, idle}, {c, 0, young}}, 100, true, {1}},
        {"the slowest goes first, and only as many as needed",
         {{a, 400, trickle}, {b, 400, idle}, {a, 200, fast}, {c, 0, young}}, 300, true, {1}},
        {"two go when one is not enough", {{a, 400, trickle}, {b, 400, idle}, {a, 200, fast}, {c, 0, young}}, 500,
         true, {1, 0}},
        {"cutting every stalled one would not do: nobody is cut",
         {{a, 100, idle}, {b, 900, fast}, {c, 0, young}}, 300, false, {}},
        {"a settling body keeps its place", {{a, 500, young}, {b, 500, fast}, {c, 0, young}}, 100, false, {}},
        {"a whole body being handled is never cut",
         {{a, 500, {true, kNow - 50000, 0}, true}, {b, 500, fast}, {c, 0, young}}, 100, false, {}},
        {"one address holds at most its share", {{a, 500, fast}, {a, 0, young}}, 200, false, {}},
        {"... cutting its own stalled body for it", {{a, 500, idle}, {b, 100, idle}, {a, 0, young}}, 200, true, {0}},
        {"... not another address's", {{a, 500, fast}, {b, 300, idle}, {a, 0, young}}, 200, false, {}},
        {"a chunked body grows what it holds", {{b, 500, fast}, {a, 300, fast}}, 500, true, {}},
        {"... and past the share it is refused", {{b, 300, fast}, {a, 500, fast}}, 700, false, {}},
    };
    for (const Case& t : cases) {
        const BodyRoomPlan plan = PlanBodyRoom(t.holders, t.holders.size() - 1, t.wanted, 1000, 600, kRule, kNow);
        EXPECT_EQ(plan.admit, t.admit) << t.what;
        EXPECT_EQ(plan.cut, t.cut) << t.what;
    }
}

TEST(ConnectionRules, TheNewcomerCutsTheLeastHarmfulFromTheBusiestAddress) {
    using P = ConnectionPhase;
    const std::uint32_t a = 1, b = 2, c = 3;
    const ConnectionLimits limits{6, 3};
    auto conn = [](P phase, std::uint32_t address, std::uint64_t ageMs, BodyPace body = BodyPace()) {
        return ConnectionView{phase, address, kNow - ageMs, body};
    };
    const BodyPace uploading = Pace(30000, 30000000), stalled = Pace(5000, 10), idle = Pace(5000, 0);
    struct Case {
        const char* what;
        std::vector<ConnectionView> oldestFirst;
        std::uint32_t newcomer;
        std::size_t cut;
    };
    const Case cases[] = {
        {"room in all and for the address", {conn(P::ReadingHead, a, 9000), conn(P::Draining, a, 9000)}, b,
         kNoConnection},
        {"the address at its share: its answered one",
         {conn(P::ReadingHead, a, 9000), conn(P::Draining, b, 9000), conn(P::ReadingHead, a, 9000),
          conn(P::Draining, a, 100)},
         a, 3},
        {"... its stale head before its stalled body",
         {conn(P::ReadingBody, a, 9000, idle), conn(P::ReadingHead, a, 500), conn(P::ReadingHead, a, 3000)}, a, 2},
        {"... the slowest of its stalled bodies",
         {conn(P::ReadingBody, a, 9000, stalled), conn(P::ReadingBody, a, 9000, idle), conn(P::Handling, a, 9000)}, a,
         1},
        {"... but never its fresh work: the newcomer is served all the same",
         {conn(P::ReadingHead, a, 100), conn(P::ReadingBody, a, 9000, uploading), conn(P::Handling, a, 9000)}, a,
         kNoConnection},
        {"at the limit an answered one before any wait, wherever it is",
         {conn(P::ReadingHead, a, 9000), conn(P::ReadingHead, a, 9000), conn(P::ReadingHead, a, 9000),
          conn(P::Handling, b, 9000), conn(P::Handling, b, 9000), conn(P::Draining, c, 10)},
         c, 5},
        {"... among stale heads, from the address with the most connections",
         {conn(P::ReadingHead, c, 9000), conn(P::Handling, a, 9000), conn(P::ReadingHead, b, 5000),
          conn(P::ReadingHead, b, 4000), conn(P::ReadingHead, b, 3000), conn(P::Handling, c, 9000)},
         a, 2},
        {"... a fresh head last, and never an upload that keeps the pace",
         {conn(P::ReadingBody, a, 30000, uploading), conn(P::ReadingHead, b, 100), conn(P::ReadingHead, b, 50),
          conn(P::Handling, c, 9000), conn(P::ReadingBody, c, 30000, uploading), conn(P::Handling, a, 9000)},
         c, 1},
        {"... nothing when all are handled or uploading",
         {conn(P::ReadingBody, a, 30000, uploading), conn(P::Handling, b, 9000), conn(P::Handling, b, 9000),
          conn(P::Handling, c, 9000), conn(P::ReadingBody, c, 30000, uploading), conn(P::Handling, a, 9000)},
         b, kNoConnection},
        {"", {}, a, kNoConnection},
    };
    for (const Case& t : cases)
        EXPECT_EQ(ChooseConnectionToCut(t.oldestFirst, t.newcomer, limits, kRule, kNow), t.cut) << t.what;
}

TEST(ConnectionRules, TheDrainHasOneDeadlineInAll) {
    EXPECT_EQ(RemainingMs(1000, 1000, kDrainTotalMs), kDrainTotalMs);
    EXPECT_EQ(RemainingMs(1000, 2999, kDrainTotalMs), 1u);
    EXPECT_EQ(RemainingMs(1000, 3000, kDrainTotalMs), 0u);
    EXPECT_EQ(RemainingMs(1000, 1000000, kDrainTotalMs), 0u);
    EXPECT_LE(kDrainTotalMs, 2000u);
}

TEST(ConnectionRules, OnlyAPortHeldByOldConnectionsIsTriedAgainAndOnlyForAWhile) {
    const BindRetryRule rule;  // 30 s, every 500 ms
    struct Case {
        bool addressInUse;
        bool someoneListens;
        std::uint64_t elapsedMs;
        bool retry;
    };
    const Case cases[] = {
        {true, false, 0, true},
        {true, false, 29500, true},   // the last try falls at 30 s
        {true, false, 29501, false},
        {true, true, 0, false},       // another program's listener: refused at once
        {false, false, 0, false},     // any other failure: refused at once
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShouldRetryBind(rule, c.addressInUse, c.someoneListens, c.elapsedMs), c.retry) << c.elapsedMs;
}

}  // namespace
