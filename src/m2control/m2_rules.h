// The rules of game-server discovery that need no platform: which path a
// version's game server must run from, which image names make a process a
// candidate, which windows count as its main window, the fallback candidate
// of the cross-session search, and the per-process real-path cache.
// Portable: the Windows half (process_discovery.h) feeds them what the system
// reports and keeps them free of handles, so the host build can test them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "common/path_text.h"
#include "common/text.h"

// versionPath + "\Mir200\M2Server.exe", upper-cased. Nothing else is done to
// it: a trailing separator on versionPath leaves a doubled one, and "/" stays.
WString ExpectedM2Path(const WString& versionPath);

// Whether a process snapshot's image name is the game server's: "M2Server.exe"
// or "M2Server.tmp" in any ASCII letter case.
[[nodiscard]] bool IsM2ImageName(const WString& imageName);

// `path`, upper-cased, equals `expected` (an ExpectedM2Path) code unit by
// code unit.
[[nodiscard]] bool MatchesExpectedPath(const WString& path, const WString& expected);

// What GetMenuItemCount gives for a window without a menu (or an unreadable one).
inline constexpr int kNoMenuItems = -1;

// A menu bar good enough to be the main window's: more than one item.
[[nodiscard]] bool HasMainMenu(int menuItemCount);
// The title holds "M2", "Server" or "server" (so "Game Server" does, "SERVER" not).
[[nodiscard]] bool TitleSuggestsM2Server(const WString& title);
// The first window search: a visible top-level window of the process with a
// main menu or a suggestive title.
[[nodiscard]] bool QualifiesAsMainWindow(bool visible, int menuItemCount, const WString& title);

// The cross-session search keeps at most one process it could not open as a
// fallback: the first one, in snapshot order, that lives in another session
// than the caller. A process of the caller's own session that cannot be opened
// is never taken on trust.
class CrossSessionFallback {
public:
    explicit CrossSessionFallback(std::uint32_t currentSession) noexcept : current_(currentSession) {}

    // Offers a process whose path could not be learned; true when it is held.
    bool Offer(std::uint32_t pid, std::uint32_t session) noexcept;
    bool held() const noexcept { return held_; }
    std::uint32_t pid() const noexcept { return pid_; }
    std::uint32_t session() const noexcept { return session_; }

private:
    std::uint32_t current_;
    bool held_ = false;
    std::uint32_t pid_ = 0;
    std::uint32_t session_ = 0;
};

// The real executable paths already learned, per process. A process is known
// by its id and its creation time together, so that a new process that reuses
// an old id is asked again instead of being judged by its predecessor's path.
//
// A creation time of 0 means "unknown" (the process could not be opened). Such
// a lookup reuses only an entry that is also unknown, and a non-empty answer
// for it is not kept, since nothing could tell it from a later process of the
// same id; an empty answer is kept, because it only sends the caller on to
// look at the live process.
class RealPathCache {
public:
    using Query = std::function<WString()>;

    // The path stored for (pid, creationTime); otherwise the answer of
    // `query`, stored as described above. `query` runs under the cache's lock,
    // so concurrent lookups are served one after the other. Throws what
    // `query` or the allocator throws; the cache stays consistent.
    WString Lookup(std::uint32_t pid, std::uint64_t creationTime, const Query& query);

private:
    struct Entry {
        std::uint64_t creationTime = 0;
        WString path;
    };

    std::mutex lock_;
    std::map<std::uint32_t, Entry> entries_;  // one entry per id: a new process replaces the old
};
