// Version discovery on the Windows file system (see version_discovery.h).
// The rules it applies live in version_rules.cpp; this file lists folders,
// reads attributes and Config.ini bytes, and keeps a failure on one drive
// from ending the scan of the others.
#include "gamedirs/version_discovery.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "common/win_unique.h"
#include "common/path_text.h"
#include "gamedirs/version_rules.h"

namespace {

// Config.ini files are a few kilobytes; anything beyond this is not one, and
// the ANSI conversion takes its length as an int.
constexpr DWORD kMaxConfigBytes = 16u * 1024 * 1024;

void Report(const LogSink& log, const WString& text) {
    if (log) log(text);
}

// The scan never follows a junction or symbolic link: one may lead to a
// share, and whatever is opened or even looked up through it hands the
// operator's credentials to that host; it may also loop. An installation a
// link leads to on a fixed drive is found there under its own path. So only
// plain files and folders count (a lookup by name reads the attributes of
// the link itself, not of its target).
bool IsPlain(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsFile(const WString& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return IsPlain(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const WString& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return IsPlain(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsPlainFolderEntry(const WIN32_FIND_DATAW& entry) {
    return IsPlain(entry.dwFileAttributes) && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Calls visit(name) for each folder entry that `pattern` lists, in listing
// order; a listing that cannot be opened lists nothing.
template <typename Visit>
void ForEachListedFolder(const WString& pattern, Visit visit) {
    WIN32_FIND_DATAW entry;
    // Basic information only: short names are never needed here.
    UniqueFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return;
    do {
        if (IsPlainFolderEntry(entry)) visit(WString(entry.cFileName));
    } while (FindNextFileW(find.get(), &entry));
}

WString ChildPath(const WString& folder, const WString& name) {
    return CollapseBackslashRuns(folder + L"\\" + name);
}

constexpr wchar_t kConfigName[] = L"Config.ini";

// One folder's listing: its subfolders in listing order, and the attributes
// of its Config.ini as a lookup of that name would find them: the entry of
// exactly that spelling, else the first one equal to it ignoring case.
// `complete` is false when the listing could not be opened or ended early;
// then it does not tell whether Config.ini is there.
struct FolderListing {
    std::vector<WString> folders;
    DWORD configAttributes = INVALID_FILE_ATTRIBUTES;
    bool complete = false;
};

FolderListing ListFolder(const WString& folder) {
    FolderListing listing;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileExW(ChildPath(folder, L"*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return listing;
    bool exactConfig = false;
    do {
        const wchar_t* name = entry.cFileName;
        if (!exactConfig && CompareStringOrdinal(name, -1, kConfigName, -1, TRUE) == CSTR_EQUAL) {
            exactConfig = std::wcscmp(name, kConfigName) == 0;
            if (exactConfig || listing.configAttributes == INVALID_FILE_ATTRIBUTES)
                listing.configAttributes = entry.dwFileAttributes;
        }
        if (IsPlainFolderEntry(entry) && std::wcscmp(name, L".") != 0 && std::wcscmp(name, L"..") != 0) {
            listing.folders.emplace_back(name);
        }
    } while (FindNextFileW(find.get(), &entry));
    listing.complete = GetLastError() == ERROR_NO_MORE_FILES;
    return listing;
}

// The second half of the version test, for a folder known to hold a
// Config.ini file.
void AddIfItHoldsEnvir(std::vector<WString>& list, const WString& path, const LogSink& log) {
    const WString normalised = CollapseBackslashRuns(path);
    if (!IsFolder(normalised + L"\\Mir200") || !IsFolder(normalised + L"\\Mir200\\Envir")) return;
    if (AppendVersionIfNew(list, normalised)) Report(log, VersionFoundLogText(normalised));
}

// Tests the folder `path` at level `depth` and walks below it. A folder the
// walk lists anyway (all but those on the last level) is listed first, and
// that listing tells whether it holds a Config.ini file; only a folder on the
// last level, or one whose listing fell short, asks the file system for its
// Config.ini by name. Same finds, same order, one lookup less per folder.
void VisitFolder(std::vector<WString>& list, const WString& path, int depth, const LogSink& log) {
    if (depth >= kVersionWalkMaxDepth) {
        TryAddVersionDirectory(list, path, log);
        return;
    }
    const FolderListing listing = ListFolder(path);
    if (!listing.complete) {
        TryAddVersionDirectory(list, path, log);
    } else if (IsPlain(listing.configAttributes) && (listing.configAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        AddIfItHoldsEnvir(list, path, log);
    }
    for (const WString& name : listing.folders) {
        const WString child = ChildPath(path, name);
        if (!IsExcludedFolder(child)) VisitFolder(list, child, depth + 1, log);
    }
}

// One drive: root\MirServer, the root\MirServer* folders, then the walk.
void ScanRoot(std::vector<WString>& list, const WString& root, const LogSink& log) {
    TryAddVersionDirectory(list, root + kMirServerFolderName, log);
    ForEachListedFolder(root + kMirServerPattern,
                        [&](const WString& name) { TryAddVersionDirectory(list, root + name, log); });
    WalkForVersions(list, root, 1, log);
}

bool ReadConfigBytes(const WString& path, std::string& bytes) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char piece[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), piece, sizeof(piece), &got, nullptr)) return false;
        if (got == 0) return true;
        if (bytes.size() + got > kMaxConfigBytes) return false;
        bytes.append(piece, got);
    }
}

WString AnsiToWide(const std::string& bytes) {
    if (bytes.empty()) return WString();
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    if (length <= 0) return WString();
    WString text(static_cast<std::size_t>(length), L'\0');
    const int written = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, text.data(), length);
    text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return text;
}

}  // namespace

std::vector<WString> FixedDriveRoots() {
    std::vector<WString> roots;
    const DWORD present = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if ((present & (1u << i)) == 0) continue;
        const WString root{static_cast<WChar>(L'A' + i), L':', L'\\'};
        if (GetDriveTypeW(root.c_str()) == DRIVE_FIXED) roots.push_back(root);
    }
    return roots;
}

std::vector<WString> FindVersionDirectories(const std::vector<WString>& roots, const LogSink& log) noexcept {
    std::vector<WString> list;
    for (const WString& root : roots) {
        try {
            ScanRoot(list, root, log);
        } catch (...) {
            try {
                Report(log, DriveFailedLogText(root));
            } catch (...) {
                // Nothing left to report with; the next drive may fare better.
            }
        }
    }
    return list;
}

void TryAddVersionDirectory(std::vector<WString>& list, const WString& path, const LogSink& log) {
    const WString normalised = CollapseBackslashRuns(path);
    if (!IsFolder(normalised) || !IsFile(normalised + L"\\Config.ini")) return;
    AddIfItHoldsEnvir(list, path, log);
}

void WalkForVersions(std::vector<WString>& list, const WString& folder, int depth, const LogSink& log) {
    if (depth > kVersionWalkMaxDepth) return;
    const WString base = StripTrailingSeparators(folder);
    ForEachListedFolder(ChildPath(base, L"*"), [&](const WString& name) {
        if (name == L"." || name == L"..") return;
        const WString child = ChildPath(base, name);
        if (IsExcludedFolder(child)) return;
        VisitFolder(list, child, depth, log);
    });
}

WString ReadGameName(const WString& versionPath) noexcept {
    try {
        const WString file = versionPath + L"\\Config.ini";
        if (!IsFile(file)) return WString();
        std::string bytes;
        if (!ReadConfigBytes(file, bytes)) return WString();
        return ParseGameName(AnsiToWide(bytes));
    } catch (...) {
        return WString();
    }
}
