// Game-server discovery rules that need no platform (see m2_rules.h).
#include "m2control/m2_rules.h"

#include "common/path_text.h"

WString ExpectedM2Path(const WString& versionPath) {
    return UpperAsciiText(versionPath + WTEXT("\\Mir200\\M2Server.exe"));
}

bool IsM2ImageName(const WString& imageName) {
    const WString upper = UpperAsciiText(imageName);
    return upper == WTEXT("M2SERVER.EXE") || upper == WTEXT("M2SERVER.TMP");
}

bool MatchesExpectedPath(const WString& path, const WString& expected) {
    return UpperAsciiText(path) == expected;
}

bool HasMainMenu(int menuItemCount) {
    return menuItemCount > 1;
}

bool TitleSuggestsM2Server(const WString& title) {
    for (const WChar* word : {WTEXT("M2"), WTEXT("Server"), WTEXT("server")}) {
        if (title.find(word) != WString::npos) return true;
    }
    return false;
}

bool QualifiesAsMainWindow(bool visible, int menuItemCount, const WString& title) {
    return visible && (HasMainMenu(menuItemCount) || TitleSuggestsM2Server(title));
}

bool CrossSessionFallback::Offer(std::uint32_t pid, std::uint32_t session) noexcept {
    if (held_ || session == current_) return false;
    held_ = true;
    pid_ = pid;
    session_ = session;
    return true;
}

WString RealPathCache::Lookup(std::uint32_t pid, std::uint64_t creationTime, const Query& query) {
    const std::lock_guard<std::mutex> hold(lock_);
    const auto found = entries_.find(pid);
    if (found != entries_.end() && found->second.creationTime == creationTime) return found->second.path;

    WString path = query();
    const bool trustworthy = creationTime != 0 || path.empty();
    if (trustworthy) entries_[pid] = Entry{creationTime, path};
    return path;
}
