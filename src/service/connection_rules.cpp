// Connection rules; see connection_rules.h for why each holds.
#include "service/connection_rules.h"

std::size_t ChooseConnectionToCut(const std::vector<ConnectionPhase>& oldestFirst) {
    for (ConnectionPhase wanted : {ConnectionPhase::Draining, ConnectionPhase::ReadingHead, ConnectionPhase::ReadingBody}) {
        for (std::size_t i = 0; i < oldestFirst.size(); ++i)
            if (oldestFirst[i] == wanted) return i;
    }
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
