// Rules for the listener's connections that need no socket: which one to cut
// when room is needed, how long the drain after an answer may last, and when
// a refused bind is worth another try.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Where a connection stands; a connection moves down this list only.
enum class ConnectionPhase : int {
    ReadingHead,
    ReadingBody,
    Handling,
    Draining,  // answered (or refused); reading what the peer still sends
};

constexpr std::size_t kNoConnection = static_cast<std::size_t>(-1);

// The connection to cut for a newcomer at the limit, given the phases of the
// connections not yet cut, oldest first: the oldest one past its answer,
// else the oldest still waiting for its head, else for its body. Requests
// being handled are never cut; kNoConnection when all are.
std::size_t ChooseConnectionToCut(const std::vector<ConnectionPhase>& oldestFirst);

// After an answer the peer's late bytes are read and dropped for at most this
// long in all, so that closing does not reset the answer on its way; a peer
// that keeps trickling cannot stretch it.
constexpr std::uint32_t kDrainTotalMs = 2000;

// Milliseconds left of a wait of `totalMs` that began at `startedMs` (both on
// one tick counter), 0 once it is over.
std::uint32_t RemainingMs(std::uint64_t startedMs, std::uint64_t nowMs, std::uint32_t totalMs);

// The listener takes its port with SO_EXCLUSIVEADDRUSE, and such a port can
// be taken again only once the connections of its last listener have ended:
// after a stop, or the restart of an update, our side of recent connections
// may hold it for minutes (TIME_WAIT). A port refused as in use while nobody
// listens on it is therefore tried again every stepMs for up to totalMs; a
// port on which another program listens is refused at once.
struct BindRetryRule {
    std::uint32_t totalMs = 30000;
    std::uint32_t stepMs = 500;
};

// Whether a refused bind that has been retried for `elapsedMs` is tried again.
bool ShouldRetryBind(const BindRetryRule& rule, bool addressInUse, bool someoneListens, std::uint64_t elapsedMs);
