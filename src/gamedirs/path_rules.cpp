// Text rules of path validation (see path_rules.h).
#include "gamedirs/path_rules.h"

#include <cwctype>
#include <utility>

#include "common/path_text.h"

namespace {

const WChar* const kForbiddenComponents[] = {
    WTEXT("Windows"),  WTEXT("Program Files"),             WTEXT("Program Files (x86)"), WTEXT("ProgramData"),
    WTEXT("Recovery"), WTEXT("System Volume Information"), WTEXT("Users"),
};
const WChar* const kProtectedNames[] = {WTEXT("Config.ini"), WTEXT("!Setup.txt")};
const WChar* const kAllowedExtensions[] = {WTEXT(".txt"), WTEXT(".ini"), WTEXT(".xls"),
                                           WTEXT(".xlsx"), WTEXT(".csv"), WTEXT(".db")};
constexpr WChar kSystemFolderPrefix[] = WTEXT("MirServer");
constexpr std::size_t kSystemFolderPrefixSize = 9;

template <std::size_t N>
bool EqualsAnyIgnoreCase(const WString& text, const WChar* const (&list)[N]) {
    for (const WChar* entry : list) {
        if (EqualsIgnoreCase(text, entry)) return true;
    }
    return false;
}

bool HasZero(const WString& text) {
    return text.find(WChar(0)) != WString::npos;
}

// Splits at the first "\": the component before it, the rest after it.
WString TakeComponent(WString& rest) {
    std::size_t cut = rest.find(WChar('\\'));
    WString component = rest.substr(0, cut);
    rest = cut == WString::npos ? WString() : rest.substr(cut + 1);
    return component;
}

bool IsAsciiLetter(WChar c) {
    return (c >= WChar('A') && c <= WChar('Z')) || (c >= WChar('a') && c <= WChar('z'));
}

// A colon other than the drive letter's names a stream.
bool HasStreamColon(const WString& full) {
    std::size_t from = DrivePrefix(full).empty() ? 0 : 2;
    return full.find(WChar(':'), from) != WString::npos;
}

bool IsInSystemDriveFolder(const WString& full) {
    WString rest = StripLeadingSeparators(full.substr(2));
    if (rest.empty()) return false;
    WString first = TakeComponent(rest);
    return EqualsIgnoreCase(first.substr(0, kSystemFolderPrefixSize), kSystemFolderPrefix);
}

bool HasOnlyAllowedComponents(const WString& full) {
    WString rest = StripLeadingSeparators(full);
    for (;;) {
        WString component = TakeComponent(rest);
        if (component.empty() || component[0] == WChar('$')) return false;
        if (EqualsAnyIgnoreCase(component, kForbiddenComponents)) return false;
        if (rest.empty()) return true;
    }
}

bool IsForbiddenNameCharacter(WChar c) {
    static constexpr WChar kForbidden[] = WTEXT("<>:\"|?*/");
    if (c < 0x20) return true;
    for (WChar bad : kForbidden) {
        if (c == bad) return true;
    }
    return false;
}

bool IsPlainName(const WString& name) {
    if (name.empty() || name.back() == WChar('.') || name.back() == WChar(' ')) return false;
    for (WChar c : name) {
        if (IsForbiddenNameCharacter(c)) return false;
    }
    return true;
}

// The text after the last "\", else after the last "/", else all of it.
WString RawFileName(const WString& relativePath) {
    std::size_t cut = relativePath.rfind(WChar('\\'));
    if (cut == WString::npos) cut = relativePath.rfind(WChar('/'));
    return cut == WString::npos ? relativePath : relativePath.substr(cut + 1);
}

}  // namespace

WString StripLeadingSeparators(const WString& path) {
    std::size_t i = 0;
    while (i < path.size() && IsPathSeparator(path[i])) ++i;
    return path.substr(i);
}

WString DrivePrefix(const WString& path) {
    if (path.size() < 2 || path[1] != WChar(':')) return WString();
    if (!std::iswalpha(static_cast<std::wint_t>(path[0]))) return WString();
    return path.substr(0, 2);
}

WString FileExtension(const WString& path) {
    WString name = LastPathComponent(path);
    std::size_t dot = name.rfind(WChar('.'));
    return dot == WString::npos ? WString() : name.substr(dot);
}

bool IsAllowedFileType(const WString& path) {
    WString extension = FileExtension(path);
    return !extension.empty() && EqualsAnyIgnoreCase(extension, kAllowedExtensions);
}

bool IsProtectedFileName(const WString& name) {
    return EqualsAnyIgnoreCase(name, kProtectedNames);
}

bool BeginsWithDriveRoot(const WString& path) {
    return path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == WChar(':') && IsPathSeparator(path[2]);
}

bool MayHoldVersion(DriveKind kind) {
    return kind == DriveKind::Fixed;
}

bool DriveFormOfFinalPath(const WString& finalPath, WString& drivePath) {
    static constexpr WChar kLocalPrefix[] = WTEXT("\\\\?\\");
    drivePath.clear();
    const WString prefix = kLocalPrefix;
    if (finalPath.compare(0, prefix.size(), prefix) != 0) return false;
    WString rest = finalPath.substr(prefix.size());
    // "C:" alone is the root itself.
    if (rest.size() == 2) rest.push_back(WChar('\\'));
    if (!BeginsWithDriveRoot(rest)) return false;
    drivePath = std::move(rest);
    return true;
}

bool IsValidVersionFullPath(const WString& fullPath, const WString& systemDrive) {
    WString full = StripTrailingSeparators(fullPath);
    if (!BeginsWithDriveRoot(full) || HasZero(full) || HasStreamColon(full)) return false;
    if (EqualsIgnoreCase(DrivePrefix(full), systemDrive)) return IsInSystemDriveFolder(full);
    return HasOnlyAllowedComponents(full);
}

bool IsAcceptableRelativePath(const WString& relativePath) {
    if (relativePath.empty() || HasZero(relativePath)) return false;
    if (IsPathSeparator(relativePath[0])) return false;
    if (!DrivePrefix(relativePath).empty()) return false;
    return !IsProtectedFileName(RawFileName(relativePath));
}

bool IsWithinRoot(const WString& root, const WString& fullPath) {
    if (!StartsWithIgnoreCase(fullPath, root)) return false;
    return fullPath.size() == root.size() || fullPath[root.size()] == WChar('\\');
}

WString PathBelowRoot(const WString& root, const WString& fullPath) {
    if (fullPath.size() <= root.size() + 1 || !IsWithinRoot(root, fullPath)) return WString();
    return fullPath.substr(root.size() + 1);
}

WString RelativeFolderBelowRoot(const WString& root, const WString& fullPath) {
    WString below = PathBelowRoot(root, fullPath);
    std::size_t cut = below.rfind(WChar('\\'));
    return cut == WString::npos ? WString() : below.substr(0, cut + 1);
}

bool IsServablePathBelowRoot(const WString& below) {
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = below.find(WChar('\\'), begin);
        WString name = below.substr(begin, end == WString::npos ? WString::npos : end - begin);
        if (!IsPlainName(name)) return false;
        if (end == WString::npos) return !IsProtectedFileName(name) && IsAllowedFileType(name);
        begin = end + 1;
    }
}

LinkTarget ClassifyLinkTarget(const WString& substituteName, bool relative) {
    LinkTarget target;
    if (relative) {
        target.kind = LinkTargetKind::Relative;
        target.path = substituteName;
        return target;
    }
    // The NT form ("\??\") as junctions keep it, or the Win32 one ("\\?\").
    const WString nt = WTEXT("\\??\\");
    const WString win32 = WTEXT("\\\\?\\");
    WString rest;
    if (substituteName.compare(0, nt.size(), nt) == 0 || substituteName.compare(0, win32.size(), win32) == 0)
        rest = substituteName.substr(nt.size());
    else
        rest = substituteName;
    const auto letter = [](WChar c) { return (c >= WTEXT('A') && c <= WTEXT('Z')) || (c >= WTEXT('a') && c <= WTEXT('z')); };
    if (rest.size() >= 3 && letter(rest[0]) && rest[1] == WTEXT(':') && rest[2] == WTEXT('\\')) {
        target.kind = LinkTargetKind::Drive;
        target.root = rest.substr(0, 2);
        target.path = rest;
        return target;
    }
    const WString volume = WTEXT("Volume{");
    const std::size_t close = rest.find(WTEXT("}\\"));
    if (rest.size() > volume.size() && rest.compare(0, volume.size(), volume) == 0 && close != WString::npos &&
        rest.find(WTEXT('\\')) == close + 1) {
        target.kind = LinkTargetKind::Volume;
        target.root = win32 + rest.substr(0, close + 2);
        return target;
    }
    return target;
}
