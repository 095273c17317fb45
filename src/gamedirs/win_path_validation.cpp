// Path validation on Windows (see path_validation.h): the platform's full,
// long and final forms of a path, fed to the text rules of path_rules.h.
//
// Long and final forms are taken of the longest part of a path that exists;
// the rest, which nothing on disk can redirect yet, is appended as text. Any
// answer other than "does not exist" from the file system refuses the path.
#include "gamedirs/path_validation.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <utility>
#include <vector>

#include "common/win_unique.h"
#include "common/path_text.h"

namespace {

constexpr DWORD kFullPathBufferSize = 520;
constexpr int kGrowAttempts = 3;

enum class Lookup { Found, Absent, Failed };

// A path's final form, and facts about the thing at the whole path when it
// exists (not only one of its parents).
struct DiskForm {
    WString text;
    bool whole = false;
    bool isFile = false;  // ... and is not a folder
    DWORD linkCount = 0;  // hard links of that file
};

Lookup Classify(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NOT_READY:
        return Lookup::Absent;
    default:
        return Lookup::Failed;
    }
}

// Runs a call that fills a buffer and answers the size it needs (with the
// terminator) when the buffer is too small. Returns 0 or the Win32 error.
template <typename Call>
DWORD FillGrowing(Call call, WString& out) {
    WString buffer(MAX_PATH + 1, L'\0');
    for (int attempt = 0; attempt < kGrowAttempts; ++attempt) {
        DWORD size = call(&buffer[0], static_cast<DWORD>(buffer.size()));
        if (size == 0) return GetLastError();
        if (size < buffer.size()) {
            out.assign(buffer.data(), size);
            return ERROR_SUCCESS;
        }
        buffer.assign(size, L'\0');
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

// Splits `path` before its last component; false at a root (C:\, \\host\share).
bool SplitLast(const WString& path, WString& parent, WString& last) {
    std::size_t cut = path.rfind(L'\\');
    if (cut == WString::npos || cut + 1 == path.size()) return false;
    parent = path.substr(0, cut);
    last = path.substr(cut + 1);
    if (parent.size() == 2 && !DrivePrefix(parent).empty()) parent.push_back(L'\\');
    bool unc = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
    return !(unc && parent.find(L'\\', 2) == WString::npos);
}

WString Join(const WString& base, const WString& rest) {
    if (rest.empty()) return base;
    if (!base.empty() && base.back() == L'\\') return base + rest;
    return base + L"\\" + rest;
}

// Applies `lookup` to the longest existing part of `full` and appends the
// rest. When nothing exists at all the text itself is the answer.
template <typename LookupFn>
[[nodiscard]] bool ExpandExistingPart(const WString& full, LookupFn lookup, WString& out) {
    WString candidate = full;
    WString rest;
    for (;;) {
        WString expanded;
        Lookup found = lookup(candidate, candidate.size() == full.size(), expanded);
        if (found == Lookup::Failed) return false;
        if (found == Lookup::Found) {
            out = Join(expanded, rest);
            return true;
        }
        WString parent;
        WString last;
        if (!SplitLast(candidate, parent, last)) {
            out = full;
            return true;
        }
        rest = rest.empty() ? last : last + L"\\" + rest;
        candidate = std::move(parent);
    }
}

[[nodiscard]] bool LongForm(const WString& full, WString& out) {
    auto lookup = [](const WString& path, bool, WString& expanded) {
        DWORD error = FillGrowing(
            [&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(path.c_str(), buffer, size); }, expanded);
        return error == ERROR_SUCCESS ? Lookup::Found : Classify(error);
    };
    return !full.empty() && ExpandExistingPart(full, lookup, out);
}

DriveKind DriveKindOf(const WString& drivePath) {
    const WString root = drivePath.substr(0, 2) + L"\\";
    switch (GetDriveTypeW(root.c_str())) {
    case DRIVE_FIXED: return DriveKind::Fixed;
    case DRIVE_REMOVABLE: return DriveKind::Removable;
    case DRIVE_CDROM: return DriveKind::Optical;
    case DRIVE_REMOTE: return DriveKind::Remote;
    case DRIVE_RAMDISK: return DriveKind::RamDisk;
    case DRIVE_NO_ROOT_DIR: return DriveKind::Missing;
    default: return DriveKind::Unknown;
    }
}

// Asks the platform only about the root of a path whose text begins with a
// drive letter: never about a network name.
bool IsOnVersionDrive(const WString& path) {
    return BeginsWithDriveRoot(path) && MayHoldVersion(DriveKindOf(path));
}

// The final path of an open handle in its drive form; false for a share
// (\\?\UNC\...) or anything else off a drive letter.
// Wine 8 gives none past about 265 characters (ERROR_MORE_DATA whatever the
// buffer), so there a longer path counts as outside; Windows gives it.
[[nodiscard]] bool DriveFinalPathOf(HANDLE handle, WString& drivePath) {
    WString finalPath;
    DWORD error = FillGrowing(
        [&](wchar_t* buffer, DWORD size) {
            return GetFinalPathNameByHandleW(handle, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        },
        finalPath);
    return error == ERROR_SUCCESS && DriveFormOfFinalPath(finalPath, drivePath);
}

// A name that cannot be opened counts as absent only when the folder listing
// agrees. A dangling link cannot be opened either, yet creating a file
// through it creates its target: Windows lists such a link, and Wine 8,
// which hides a dangling Unix symlink, answers "no more files" instead of
// "not found" for its name.
Lookup ConfirmAbsent(const WString& path) {
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle find(FindFirstFileW(LongPathForm(path).c_str(), &entry));
    if (find) return Lookup::Failed;
    return Classify(GetLastError());
}

// Links are followed this deep at most when their targets are checked.
constexpr int kMaxLinkDepth = 8;

// The substitute name and the relative flag of the reparse point at `path`,
// read without following it. False when it cannot be read.
bool ReadLinkTarget(const WString& path, std::uint32_t tag, WString& substitute, bool& relative) {
    const UniqueFileHandle link(CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    if (!link) return false;
    std::vector<BYTE> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (!DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &got, nullptr) ||
        got < 16) {
        return false;
    }
    // REPARSE_DATA_BUFFER: tag, data length, reserved, then for both kinds
    // the substitute name's offset and length (bytes, from the path buffer),
    // the print name's, and for a symbolic link a flags word before the path
    // buffer.
    std::uint32_t readTag = 0;
    std::memcpy(&readTag, buffer.data(), sizeof(readTag));
    if (readTag != tag || (tag != IO_REPARSE_TAG_MOUNT_POINT && tag != IO_REPARSE_TAG_SYMLINK)) return false;
    USHORT offset = 0;
    USHORT length = 0;
    std::memcpy(&offset, buffer.data() + 8, sizeof(offset));
    std::memcpy(&length, buffer.data() + 10, sizeof(length));
    std::size_t pathBuffer = 16;
    relative = false;
    if (tag == IO_REPARSE_TAG_SYMLINK) {
        ULONG flags = 0;
        std::memcpy(&flags, buffer.data() + 16, sizeof(flags));
        relative = (flags & 1) != 0;  // SYMLINK_FLAG_RELATIVE
        pathBuffer = 20;
    }
    if (pathBuffer + offset + length > got || length % sizeof(wchar_t) != 0) return false;
    substitute.assign(length / sizeof(wchar_t), L'\0');
    std::memcpy(substitute.data(), buffer.data() + pathBuffer + offset, length);
    return true;
}

bool LinksStayOnFixedDrives(const WString& path, int depth);

// Whether the link at `path` (a name surrogate with `tag`) leads to a local
// fixed drive, and the links on its way there too.
bool LinkStaysOnFixedDrives(const WString& path, std::uint32_t tag, int depth) {
    WString substitute;
    bool relative = false;
    if (depth >= kMaxLinkDepth || !ReadLinkTarget(path, tag, substitute, relative)) return false;
    const LinkTarget target = ClassifyLinkTarget(substitute, relative);
    switch (target.kind) {
    case LinkTargetKind::Relative: {
        const std::size_t cut = path.rfind(L'\\');
        const WString next = cut == WString::npos ? WString() : FullPath(path.substr(0, cut + 1) + target.path);
        return !next.empty() && LinksStayOnFixedDrives(next, depth + 1);
    }
    case LinkTargetKind::Drive:
        return DriveKindOf(target.root) == DriveKind::Fixed && LinksStayOnFixedDrives(target.path, depth + 1);
    case LinkTargetKind::Volume:
        return GetDriveTypeW(target.root.c_str()) == DRIVE_FIXED;
    case LinkTargetKind::Elsewhere:
        break;
    }
    return false;
}

// Whether every junction and symbolic link on the existing part of `path`
// (a full path on a drive letter) leads to a local fixed drive, checked one
// component at a time from the root before anything is opened through it:
// merely opening a link to a share sends the account's credentials there.
// Each entry is read from its folder's listing, which does not follow the
// entry itself. (Wine reports its Unix symbolic links as reparse points
// with tag 0, which names no surrogate, and cannot read their targets;
// there the final path, taken next, is what keeps a path on its drive.)
bool LinksStayOnFixedDrives(const WString& path, int depth) {
    if (!BeginsWithDriveRoot(path)) return false;
    for (std::size_t at = 3; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != L'\\') continue;
        const WString prefix = path.substr(0, at);
        if (prefix.size() <= 3 || prefix.back() == L'\\') continue;
        if (prefix.find_first_of(L"*?", 3) != WString::npos) return false;
        WIN32_FIND_DATAW entry;
        const UniqueFindHandle find(FindFirstFileW(LongPathForm(prefix).c_str(), &entry));
        if (!find) return Classify(GetLastError()) == Lookup::Absent;  // nothing further exists to follow
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsNameSurrogateTag(entry.dwReserved0) &&
            !LinkStaysOnFixedDrives(prefix, entry.dwReserved0, depth))
            return false;
    }
    return true;
}

Lookup FinalPathOf(const WString& path, bool whole, WString& expanded, DiskForm& form) {
    if (!LinksStayOnFixedDrives(path, 0)) return Lookup::Failed;
    // Attribute access only: no sharing conflict with a file another process
    // holds open, and folders open through the backup-semantics flag.
    // The long form: a backup copy's path may pass MAX_PATH where its target does not.
    UniqueFileHandle handle(CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return Classify(GetLastError()) == Lookup::Absent ? ConfirmAbsent(path) : Lookup::Failed;

    BY_HANDLE_FILE_INFORMATION info{};
    if (!DriveFinalPathOf(handle.get(), expanded)) return Lookup::Failed;
    if (!GetFileInformationByHandle(handle.get(), &info)) return Lookup::Failed;

    form.whole = whole;
    form.isFile = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    form.linkCount = info.nNumberOfLinks;
    return Lookup::Found;
}

// The final form: every link and alias in the existing part resolved.
[[nodiscard]] bool FinalForm(const WString& full, DiskForm& form) {
    form = DiskForm{};
    auto lookup = [&form](const WString& path, bool whole, WString& expanded) {
        return FinalPathOf(path, whole, expanded, form);
    };
    return !full.empty() && ExpandExistingPart(full, lookup, form.text);
}

// A file with another name elsewhere may be changed through this one.
bool HasOtherHardLinks(const DiskForm& form) {
    return form.whole && form.isFile && form.linkCount > 1;
}

bool HasZero(const WString& text) {
    return text.find(L'\0') != WString::npos;
}

WString VersionRootOf(const WString& versionPath) {
    return StripTrailingSeparators(FullPath(versionPath));
}

}  // namespace

WString FullPath(const WString& path) {
    wchar_t buffer[kFullPathBufferSize];
    DWORD size = GetFullPathNameW(path.c_str(), kFullPathBufferSize, buffer, nullptr);
    if (size == 0 || size >= kFullPathBufferSize) return WString();
    return WString(buffer, size);
}

// A version root's final form, passing the version rules; on a drive letter
// (never a share) by FinalForm's own rule.
[[nodiscard]] bool RootFinalForm(const WString& root, DiskForm& form) {
    return FinalForm(root, form) && IsValidVersionFullPath(form.text);
}

bool IsValidVersionPath(const WString& versionPath) {
    // The text first: nothing below may touch a network name.
    if (!BeginsWithDriveRoot(versionPath) || HasZero(versionPath)) return false;
    WString root = VersionRootOf(versionPath);
    if (!IsValidVersionFullPath(root) || !IsOnVersionDrive(root)) return false;
    DiskForm finalForm;
    if (!RootFinalForm(root, finalForm)) return false;
    // The platform is asked about a drive once per request: asking goes
    // through Wine's mount manager, and the later checks follow this one.
    return UpperAscii(finalForm.text[0]) == UpperAscii(root[0]) || IsOnVersionDrive(finalForm.text);
}

bool ResolveVersionFile(const WString& versionPath, const WString& relativePath, VersionFile& file) {
    file = VersionFile{};
    if (!IsValidVersionPath(versionPath) || !IsAcceptableRelativePath(relativePath)) return false;

    const WString base = VersionRootOf(versionPath);
    const WString full = FullPath(base + L"\\" + relativePath);
    if (!IsWithinRoot(base, full) || !IsAllowedFileType(full)) return false;
    // Cheap refusal before the disk is asked; the on-disk check repeats it
    // on the final form, which also sees aliases and links.
    if (!IsServablePathBelowRoot(PathBelowRoot(base, full))) return false;

    VersionFile resolved;
    if (!LongForm(base, resolved.versionRoot) || !LongForm(full, resolved.fullPath)) return false;
    resolved.relativeFolder = RelativeFolderBelowRoot(resolved.versionRoot, resolved.fullPath);
    if (!CheckVersionFileOnDisk(resolved)) return false;

    file = std::move(resolved);
    return true;
}

bool ResolveVersionFile(const WString& versionPath, const WString& relativePath, WString& fullPath) {
    fullPath.clear();
    VersionFile file;
    if (!ResolveVersionFile(versionPath, relativePath, file)) return false;
    fullPath = std::move(file.fullPath);
    return true;
}

bool CheckVersionFileOnDisk(const VersionFile& file) {
    WString finalPath;
    return CheckVersionFileOnDisk(file, finalPath);
}

bool CheckVersionFileOnDisk(const VersionFile& file, WString& finalPath) {
    finalPath.clear();
    DiskForm root;
    DiskForm target;
    if (!RootFinalForm(file.versionRoot, root) || !FinalForm(file.fullPath, target)) return false;
    if (!IsServablePathBelowRoot(PathBelowRoot(root.text, target.text)) || HasOtherHardLinks(target)) return false;
    finalPath = std::move(target.text);
    return true;
}

bool IsFinalPathInsideVersion(const WString& versionRoot, const WString& path) {
    const WString root = VersionRootOf(versionRoot);
    const WString full = FullPath(path);
    if (PathBelowRoot(root, full).empty()) return false;
    DiskForm rootForm;
    DiskForm target;
    if (!RootFinalForm(root, rootForm) || !FinalForm(full, target)) return false;
    return !PathBelowRoot(rootForm.text, target.text).empty() && !HasOtherHardLinks(target);
}

bool FinalPathName(const WString& path, WString& finalPath) {
    finalPath.clear();
    const WString full = FullPath(path);
    DiskForm form;
    if (!BeginsWithDriveRoot(full) || !FinalForm(full, form)) return false;
    finalPath = std::move(form.text);
    return true;
}

bool SameFinalPath(const WString& a, const WString& b) {
    // The file system's own rule for names: ordinal, ignoring case.
    return !a.empty() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool CheckOpenFileInVersion(const WString& versionRoot, void* file, const WString& name, WString& folder) {
    folder.clear();
    DiskForm root;
    WString finalPath;
    if (!RootFinalForm(VersionRootOf(versionRoot), root) || !DriveFinalPathOf(file, finalPath)) return false;
    const std::size_t cut = finalPath.rfind(L'\\');
    if (cut == WString::npos) return false;
    WString at = finalPath.substr(0, cut);
    if (!IsServablePathBelowRoot(PathBelowRoot(root.text, at + L"\\" + name))) return false;
    folder = std::move(at);
    return true;
}

bool LinksStayOnLocalFixedDrives(const WString& path) {
    return LinksStayOnFixedDrives(path, 0);
}

bool IsOpenFolderInVersion(const WString& versionRoot, void* folder) {
    DiskForm root;
    WString finalPath;
    return RootFinalForm(VersionRootOf(versionRoot), root) && DriveFinalPathOf(folder, finalPath) &&
           !PathBelowRoot(root.text, finalPath).empty();
}

bool FinalPathOfOpenFile(void* file, WString& finalPath) {
    finalPath.clear();
    return DriveFinalPathOf(file, finalPath);
}
