// Which connection makes room, how long a drain lasts, when a bind is retried.
#include <gtest/gtest.h>

#include "service/connection_rules.h"

namespace {

using P = ConnectionPhase;

TEST(ConnectionRules, DrainingConnectionsAreCutFirstThenWaitingOnes) {
    struct Case {
        std::vector<P> oldestFirst;
        std::size_t cut;
    };
    const Case cases[] = {
        {{P::ReadingHead, P::ReadingBody, P::Draining, P::Draining}, 2},  // past its answer beats any wait
        {{P::Handling, P::ReadingBody, P::ReadingHead, P::ReadingHead}, 2},
        {{P::ReadingBody, P::Handling, P::ReadingBody}, 0},
        {{P::Handling, P::Handling}, kNoConnection},
        {{}, kNoConnection},
    };
    for (const Case& c : cases) EXPECT_EQ(ChooseConnectionToCut(c.oldestFirst), c.cut);
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
