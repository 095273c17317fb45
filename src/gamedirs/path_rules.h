// The rules that decide whether a request may touch a path, on text alone:
// which version folders are acceptable, which relative paths and file names
// may be served or replaced, and whether a resolved path stays inside its
// version. Portable: the platform half (full-path resolution, long names and
// links) is in path_validation.h and feeds these rules already resolved text.
//
// Every rule answers only true or false and changes nothing; the endpoints
// turn false into kPathRefusedMessage.
#pragma once

#include <cstdint>

#include "common/text.h"

// What the file endpoints and the reload endpoint answer for a refused path.
inline constexpr WChar kPathRefusedMessage[] = WTEXT("截质目录");
// On this drive a version must lie in a top-level folder named MirServer...
inline constexpr WChar kSystemDrive[] = WTEXT("C:");

// Removes every leading "\" and "/".
WString StripLeadingSeparators(const WString& path);
// The first two characters when the first is alphabetic (iswalpha) and the
// second is ":"; otherwise empty text.
WString DrivePrefix(const WString& path);
// From the last "." of the last component to its end, the dot included;
// empty when that component has no dot.
WString FileExtension(const WString& path);

// .txt .ini .xls .xlsx .csv .db, ignoring case; judged on the last component.
[[nodiscard]] bool IsAllowedFileType(const WString& path);
// Config.ini and !Setup.txt, ignoring case: never served nor replaced.
[[nodiscard]] bool IsProtectedFileName(const WString& name);

// Whether `path` begins with a drive letter (A-Z, either case), ":" and a
// separator: the only form a version path may take. Installations are found
// on local drives only, and this is judged on the text before anything asks
// the file system, so a network form (\\host\share, //host/share,
// \\?\UNC\..., \\.\..., \\?\C:\...) never makes the platform open a
// connection and send the operator's credentials to that host. A drive-
// relative form (D:x) is refused too: it depends on a per-process folder.
[[nodiscard]] bool BeginsWithDriveRoot(const WString& path);

// What the platform says of the drive a path lies on.
enum class DriveKind { Fixed, Removable, Optical, Remote, RamDisk, Missing, Unknown };
// Only a local fixed drive may hold a version: the scan of /api/versions
// walks no other kind, so an editor never sees a version elsewhere. Network
// drives would send the operator's credentials out; removable and optical
// drives, RAM disks and unknown kinds are refused as well.
[[nodiscard]] bool MayHoldVersion(DriveKind kind);

// The drive form (C:\x) of a final path as the platform gives it for an open
// file (\\?\C:\x); false, with `drivePath` emptied, for every other form:
// \\?\UNC\host\share\... (a link that leads to a share), volume GUID
// paths, or anything not on a drive letter.
[[nodiscard]] bool DriveFormOfFinalPath(const WString& finalPath, WString& drivePath);

// Whether a version may lie at `full`, a full path as the platform resolves
// it (trailing separators are ignored). It must begin with a drive root
// (BeginsWithDriveRoot). On `systemDrive` the first folder must begin with
// "MirServer"; elsewhere no component may be empty, begin with "$" or be a
// system folder. Colons other than the drive's are refused: they name a
// stream instead of a folder (D::$DATA, D:\x:y).
[[nodiscard]] bool IsValidVersionFullPath(const WString& full, const WString& systemDrive = kSystemDrive);

// The tests on relativePath as the editor sent it, before any resolution:
// not empty, no leading separator, no drive prefix, no zero character (the
// platform would cut the text there), and a last name after the last "\"
// (else after the last "/") that is not protected.
[[nodiscard]] bool IsAcceptableRelativePath(const WString& relativePath);

// `fullPath` begins with `root` (ignoring case) and, when longer, continues
// with "\" right after it.
[[nodiscard]] bool IsWithinRoot(const WString& root, const WString& fullPath);
// The text of `fullPath` after `root` and its "\"; empty unless `fullPath`
// lies strictly inside `root`.
WString PathBelowRoot(const WString& root, const WString& fullPath);
// The folder part of a resolved path below its version root, up to and
// including its last "\" ("" at the top level). Derived from the resolved
// path, so backup copies follow where the file really is, never the raw
// relativePath with its ".." parts.
WString RelativeFolderBelowRoot(const WString& root, const WString& fullPath);

// The tests on the resolved part of a file path below its version root, as
// the file system will act on it: every component is a plain name (not empty,
// no trailing "." or blank, none of < > : " | ? * or control characters, so
// no stream and no name that the file system would shorten into another) and
// the last one is not protected and has an allowed type.
[[nodiscard]] bool IsServablePathBelowRoot(const WString& below);

// Where a junction or symbolic link leads, from its substitute name as the
// file system keeps it ("\??\D:\x", "\??\UNC\host\share\x",
// "\??\Volume{...}\"): Relative for a symbolic link marked relative (it stays
// on its own volume); Drive with `root` "D:" for a drive letter; Volume with
// `root` "\\?\Volume{...}\" for a volume mounted by its name; Elsewhere for
// a share or anything else, which is never opened through.
enum class LinkTargetKind { Relative, Drive, Volume, Elsewhere };
struct LinkTarget {
    LinkTargetKind kind = LinkTargetKind::Elsewhere;
    WString root;
    // For Drive: the target in drive form ("D:\x"); for Relative: the text.
    WString path;
};
LinkTarget ClassifyLinkTarget(const WString& substituteName, bool relative);
// Whether a reparse tag marks a name surrogate (a junction, a symbolic link,
// and the like): one that names another place in the namespace.
[[nodiscard]] constexpr bool IsNameSurrogateTag(std::uint32_t tag) { return (tag & 0x20000000u) != 0; }
