// Rules for the listener's connections and the bodies they hold that need no
// socket: which connection to cut when room is needed, when a body has stopped
// earning its place in the body budget and which bodies make room for a new
// one, how long the drain after an answer may last, and when a refused bind is
// worth another try.
//
// The port is often open to anyone. A peer without the key cannot be told
// from an editor until its whole body has arrived and its signature is
// checked, so what it holds meanwhile (a connection slot, a share of the body
// budget) it must keep earning by progress: a body that falls behind the
// pace below loses its place, one remote address holds a bounded share, and
// a newcomer is served by cutting whoever is idle or behind, never an upload
// that keeps the pace. Everything runs on plain values and a millisecond
// clock that the caller gives, so the rules are tested as tables.
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

// The pace a request body must keep, measured from the end of its head.
// The floor is far below any editor's link (a 1 Mbit/s line sends twice
// it); 64 KiB/s on average also sets each body's deadline: a 160 MiB body
// must be whole within about 43 minutes, a 1 MiB body within the grace.
struct BodyPaceRule {
    // A body this young is left alone: it has not had the time to show a
    // pace (slow start, the peer's wait for "100 Continue").
    std::uint32_t settleMs = 2000;
    // A body below the floor past this is cut whether or not anyone needs
    // its room. Between settle and grace it is cut only to make room.
    std::uint32_t graceMs = 10000;
    std::uint64_t minBytesPerSecond = 64 * 1024;
};

// What a body has done so far. `started` is false until its head is
// complete; such a body is never judged.
struct BodyPace {
    bool started = false;
    std::uint64_t startedMs = 0;
    std::uint64_t received = 0;  // body bytes since the head
};

enum class BodyStanding {
    Progressing,  // younger than the settle time, or at or above the floor on average
    Stalled,      // below the floor, still within its grace: cut to make room
    Behind,       // below the floor past its grace: cut
};

BodyStanding JudgeBodyPace(const BodyPaceRule& rule, const BodyPace& pace, std::uint64_t nowMs);

// Whether `a` has arrived more slowly than `b` on average (fewer bytes per
// millisecond since its head); a body not yet started is the slowest.
bool ArrivedMoreSlowly(const BodyPace& a, const BodyPace& b, std::uint64_t nowMs);

// A body that holds part of the budget, as the budget sees it.
struct BodyHolderView {
    std::uint32_t address = 0;  // the peer's IPv4 address
    std::size_t taken = 0;      // bytes of the budget it holds
    BodyPace pace;
    bool whole = false;  // complete and being handled: never cut
};

// What admitting more bytes for one holder takes: the holders to cut first,
// slowest first (they give back all they hold), or a refusal.
struct BodyRoomPlan {
    bool admit = false;
    std::vector<std::size_t> cut;
};

// Plans room for `holders[asker]` to hold `wanted` bytes in all. Within the
// asker's address, what that address holds may not pass `shareBytes`; across
// all, the budget's `totalBytes`. Where either does not fit, stalled or
// behind holders (the address's own for its share) are cut, slowest first,
// as many as it takes; when even cutting them all would not make room, the
// plan refuses and cuts nobody: every holder left is keeping the pace, and
// the asker is answered busy.
BodyRoomPlan PlanBodyRoom(const std::vector<BodyHolderView>& holders, std::size_t asker, std::size_t wanted,
                          std::size_t totalBytes, std::size_t shareBytes, const BodyPaceRule& rule,
                          std::uint64_t nowMs);

// A connection as the limit sees it.
struct ConnectionView {
    ConnectionPhase phase = ConnectionPhase::ReadingHead;
    std::uint32_t address = 0;
    std::uint64_t acceptedMs = 0;
    BodyPace body;  // while reading its body
};

// How many connections are served at once, in all and from one remote
// address. Editors of one studio behind one NAT share an address, so the
// share is not lower than a busy studio needs.
struct ConnectionLimits {
    std::size_t total = 256;
    std::size_t perAddress = 32;
};

// The connection to cut so that a newcomer from `newcomer` can be served,
// given the live connections oldest first; kNoConnection when there is room
// or nothing may be cut. When its address has its share of connections, one
// of that address's idle ones goes: past its answer, else waiting for its
// head longer than the settle time, else a stalled or behind body, slowest
// first; where there is none (it is all fresh work) the newcomer is still
// served and the total bounds it. At the total limit the least harmful cut
// is made across all addresses, from the address holding the most
// connections: past its answer, a stale head, a stalled body, and last a
// head still fresh. Requests being handled and bodies keeping the pace are
// never cut.
std::size_t ChooseConnectionToCut(const std::vector<ConnectionView>& oldestFirst, std::uint32_t newcomer,
                                  const ConnectionLimits& limits, const BodyPaceRule& rule, std::uint64_t nowMs);

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
