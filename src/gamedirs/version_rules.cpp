// Version discovery rules that need no file system (see version_rules.h).
#include "gamedirs/version_rules.h"

#include <string>

#include "common/path_text.h"

namespace {

// Tested in this order; a leading "$" excludes any other name as well.
const WChar* const kExcludedNames[] = {
    WTEXT("Windows"),  WTEXT("Program Files"), WTEXT("Program Files (x86)"), WTEXT("ProgramData"),
    WTEXT("Recovery"), WTEXT("System Volume Information"), WTEXT("Users"), WTEXT("$Recycle.Bin"),
};

bool IsLineEnd(WChar c) {
    return c == WChar('\r') || c == WChar('\n');
}

// The value when `line` is a usable GameName line, else empty text.
WString GameNameOfLine(const WString& rawLine) {
    const WString line = TrimBlanks(rawLine);
    if (line.empty() || line[0] == WChar(';') || line[0] == WChar('#')) return WString();
    const std::size_t equals = line.find(WChar('='));
    if (equals == WString::npos) return WString();
    if (!EqualsIgnoreCase(TrimBlanks(line.substr(0, equals)), WTEXT("GameName"))) return WString();
    return TrimBlanks(line.substr(equals + 1));
}

}  // namespace

bool IsExcludedFolder(const WString& path) {
    const WString name = LastPathComponent(StripTrailingSeparators(path));
    if (name.empty() || name[0] == WChar('$')) return true;
    for (const WChar* excluded : kExcludedNames) {
        if (EqualsIgnoreCase(name, excluded)) return true;
    }
    return false;
}

WString CollapseBackslashRuns(const WString& path) {
    WString out;
    out.reserve(path.size());
    for (WChar c : path) {
        if (c == WChar('\\') && !out.empty() && out.back() == WChar('\\')) continue;
        out.push_back(c);
    }
    return out;
}

bool AppendVersionIfNew(std::vector<WString>& list, const WString& path) {
    for (const WString& known : list) {
        if (EqualsIgnoreCase(known, path)) return false;
    }
    list.push_back(path);
    return true;
}

WString ParseGameName(const WString& configText) {
    std::size_t begin = 0;
    while (begin <= configText.size()) {
        std::size_t end = begin;
        while (end < configText.size() && !IsLineEnd(configText[end])) ++end;
        WString value = GameNameOfLine(configText.substr(begin, end - begin));
        if (!value.empty()) return value;
        begin = end + 1;  // one line end only: CRLF leaves an empty line behind
    }
    return WString();
}

WString VersionFoundLogText(const WString& path) {
    return WTEXT("找到: ") + path;
}

WString ScanFinishedLogText(std::size_t count) {
    return WTEXT("目录扫描完成，发现") + Decimal(count) + WTEXT(" 个版本目录");
}

WString DriveFailedLogText(const WString& root) {
    return WTEXT("扫描驱动器 ") + root + WTEXT(" 异常: ");
}
