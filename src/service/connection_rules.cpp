// Connection and body rules; see connection_rules.h for why each holds.
#include "service/connection_rules.h"

#include <algorithm>
#include <map>

namespace {

std::uint64_t AgeMs(const BodyPace& pace, std::uint64_t nowMs) {
    return nowMs > pace.startedMs ? nowMs - pace.startedMs : 0;
}

// Bytes per millisecond; a body not yet started has shown none.
double AverageRate(const BodyPace& pace, std::uint64_t nowMs) {
    if (!pace.started) return -1.0;
    return static_cast<double>(pace.received) / static_cast<double>(std::max<std::uint64_t>(AgeMs(pace, nowMs), 1));
}

// How little harm cutting a connection does, lowest first; kNever for a
// request being handled or a body keeping the pace.
enum CutRank : int { kAnswered, kStaleHead, kSlowBody, kFreshHead, kNever };

CutRank RankForCut(const ConnectionView& view, const BodyPaceRule& rule, std::uint64_t nowMs) {
    switch (view.phase) {
        case ConnectionPhase::Draining: return kAnswered;
        case ConnectionPhase::ReadingHead:
            return nowMs >= view.acceptedMs && nowMs - view.acceptedMs >= rule.settleMs ? kStaleHead : kFreshHead;
        case ConnectionPhase::ReadingBody:
            return JudgeBodyPace(rule, view.body, nowMs) == BodyStanding::Progressing ? kNever : kSlowBody;
        case ConnectionPhase::Handling: break;
    }
    return kNever;
}

// Whether connection `a` is a better cut than `b` of the same rank: among
// bodies the slower, otherwise the older (the earlier in the list).
bool BetterCutWithinRank(const ConnectionView& a, std::size_t ia, const ConnectionView& b, std::size_t ib,
                         CutRank rank, std::uint64_t nowMs) {
    if (rank == kSlowBody) {
        if (ArrivedMoreSlowly(a.body, b.body, nowMs)) return true;
        if (ArrivedMoreSlowly(b.body, a.body, nowMs)) return false;
    }
    return ia < ib;
}

}  // namespace

BodyStanding JudgeBodyPace(const BodyPaceRule& rule, const BodyPace& pace, std::uint64_t nowMs) {
    if (!pace.started) return BodyStanding::Progressing;
    const std::uint64_t age = AgeMs(pace, nowMs);
    if (age < rule.settleMs) return BodyStanding::Progressing;
    // The average since the head against the floor, in whole numbers: a
    // received count fits 32 bits and an age in ms of a running tool well
    // under 40, so neither product can overflow.
    if (pace.received * 1000 >= rule.minBytesPerSecond * std::min<std::uint64_t>(age, 1ull << 40))
        return BodyStanding::Progressing;
    return age < rule.graceMs ? BodyStanding::Stalled : BodyStanding::Behind;
}

bool ArrivedMoreSlowly(const BodyPace& a, const BodyPace& b, std::uint64_t nowMs) {
    return AverageRate(a, nowMs) < AverageRate(b, nowMs);
}

BodyRoomPlan PlanBodyRoom(const std::vector<BodyHolderView>& holders, std::size_t asker, std::size_t wanted,
                          std::size_t totalBytes, std::size_t shareBytes, const BodyPaceRule& rule,
                          std::uint64_t nowMs) {
    BodyRoomPlan plan;
    const BodyHolderView& me = holders[asker];
    if (wanted <= me.taken) {
        plan.admit = true;
        return plan;
    }
    const std::size_t extra = wanted - me.taken;

    // Those that may be cut, slowest first; cutting one that holds nothing
    // would free nothing.
    std::vector<std::size_t> slowestFirst;
    for (std::size_t i = 0; i < holders.size(); ++i) {
        const BodyHolderView& h = holders[i];
        if (i != asker && !h.whole && h.taken > 0 && JudgeBodyPace(rule, h.pace, nowMs) != BodyStanding::Progressing)
            slowestFirst.push_back(i);
    }
    std::stable_sort(slowestFirst.begin(), slowestFirst.end(), [&](std::size_t a, std::size_t b) {
        return ArrivedMoreSlowly(holders[a].pace, holders[b].pace, nowMs);
    });

    std::size_t used = 0;
    std::size_t addressHeld = 0;
    for (const BodyHolderView& h : holders) {
        used += h.taken;
        if (h.address == me.address) addressHeld += h.taken;
    }
    std::vector<bool> cut(holders.size(), false);
    auto cutOne = [&](std::size_t i) {
        cut[i] = true;
        plan.cut.push_back(i);
        used -= holders[i].taken;
        if (holders[i].address == me.address) addressHeld -= holders[i].taken;
    };
    for (std::size_t i : slowestFirst) {
        if (addressHeld + extra <= shareBytes) break;
        if (holders[i].address == me.address) cutOne(i);
    }
    for (std::size_t i : slowestFirst) {
        if (used + extra <= totalBytes) break;
        if (!cut[i]) cutOne(i);
    }
    if (addressHeld + extra > shareBytes || used + extra > totalBytes) return BodyRoomPlan{};
    plan.admit = true;
    return plan;
}

std::size_t ChooseConnectionToCut(const std::vector<ConnectionView>& oldestFirst, std::uint32_t newcomer,
                                  const ConnectionLimits& limits, const BodyPaceRule& rule, std::uint64_t nowMs) {
    std::map<std::uint32_t, std::size_t> perAddress;
    for (const ConnectionView& view : oldestFirst) ++perAddress[view.address];

    // The best cut among the connections that `eligible` admits, up to rank `worst`.
    auto choose = [&](CutRank worst, auto eligible) {
        std::size_t best = kNoConnection;
        CutRank bestRank = kNever;
        for (std::size_t i = 0; i < oldestFirst.size(); ++i) {
            const ConnectionView& view = oldestFirst[i];
            const CutRank rank = RankForCut(view, rule, nowMs);
            if (rank > worst || !eligible(view)) continue;
            bool better = best == kNoConnection || rank < bestRank;
            if (!better && rank == bestRank) {
                const ConnectionView& other = oldestFirst[best];
                const std::size_t mine = perAddress[view.address], theirs = perAddress[other.address];
                better = mine != theirs ? mine > theirs : BetterCutWithinRank(view, i, other, best, rank, nowMs);
            }
            if (better) {
                best = i;
                bestRank = rank;
            }
        }
        return best;
    };

    if (perAddress[newcomer] >= limits.perAddress) {
        const std::size_t own =
            choose(kSlowBody, [newcomer](const ConnectionView& view) { return view.address == newcomer; });
        if (own != kNoConnection) return own;
    }
    if (oldestFirst.size() >= limits.total) return choose(kFreshHead, [](const ConnectionView&) { return true; });
    return kNoConnection;
}

std::uint32_t RemainingMs(std::uint64_t startedMs, std::uint64_t nowMs, std::uint32_t totalMs) {
    if (nowMs < startedMs) return totalMs;  // a counter that went back: start over rather than stop early
    std::uint64_t elapsed = nowMs - startedMs;
    return elapsed >= totalMs ? 0 : static_cast<std::uint32_t>(totalMs - elapsed);
}

bool ShouldRetryBind(const BindRetryRule& rule, bool addressInUse, bool someoneListens, std::uint64_t elapsedMs) {
    return addressInUse && !someoneListens && elapsedMs + rule.stepMs <= rule.totalMs;
}
