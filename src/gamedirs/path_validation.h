// The guard between the network and the file system: decides whether a
// request may use a version folder and, for files, computes the one path the
// endpoint may read or write. Windows only; the text rules it applies are in
// path_rules.h.
//
// Text alone is not enough, because the file system acts on more than the
// text: trailing dots and blanks vanish, 8.3 aliases stand for long names,
// links lead elsewhere and hard links give one file two names. So the checks
// are made on the resolved full path, on its long form (GetLongPathNameW) and
// on its final form (GetFinalPathNameByHandleW of the path or of its nearest
// existing parent), and the final form must stay inside the version root's
// own final form. A version folder is judged by its final form as well.
//
// Every check answers only true or false, writes no log and keeps no state;
// the endpoints answer kPathRefusedMessage for false. Callable from any
// thread.
#pragma once

#include "common/text.h"
#include "gamedirs/path_rules.h"

// One file inside a version, as the endpoints act on it.
struct VersionFile {
    // The path to read or write: the full form, with the long name of every
    // part that exists. Never the endpoint's own concatenation of the inputs.
    WString fullPath;
    // The version root R: full form of versionPath, trailing separators
    // removed while longer than three characters, long names.
    WString versionRoot;
    // Folder of fullPath below versionRoot, ending in "\" ("" at the top),
    // for the backup copy; taken from the resolved path, never from the raw
    // relativePath.
    WString relativeFolder;
};

// GetFullPathNameW into 520 characters; empty text when the call fails or
// the result does not fit.
WString FullPath(const WString& path);

// Whether a request may name `versionPath`. Its text must begin with a drive
// root (BeginsWithDriveRoot) before any call on the file system, so that a
// network name is never looked up; then its full form and its final form
// (links followed) pass IsValidVersionFullPath and lie on a drive that may
// hold versions (MayHoldVersion: local fixed drives). A non-empty path whose
// full form is empty is refused. The folder need not exist.
[[nodiscard]] bool IsValidVersionPath(const WString& versionPath);

// Resolves a file inside a version for the file endpoints. True: `file`
// holds the paths to use. False: `file` is left empty. Refused besides the
// textual rules: protected names and disallowed types reached through
// trailing dots or blanks, "\." parts, slashes, 8.3 aliases or links;
// streams (":"); paths that leave the version through a link; files with
// more than one hard link.
[[nodiscard]] bool ResolveVersionFile(const WString& versionPath, const WString& relativePath, VersionFile& file);
// The same, giving only the full path; `fullPath` is emptied first and set
// only on true.
[[nodiscard]] bool ResolveVersionFile(const WString& versionPath, const WString& relativePath, WString& fullPath);

// Repeats the on-disk part of ResolveVersionFile; the endpoints call it right
// before they read or replace file.fullPath, after creating its folders, so
// that a link made since resolution is still caught.
[[nodiscard]] bool CheckVersionFileOnDisk(const VersionFile& file);
// The same, giving on true the final path of file.fullPath.
[[nodiscard]] bool CheckVersionFileOnDisk(const VersionFile& file, WString& finalPath);

// Whether `path` (a folder or a file, existing or not: the backup folder, a
// backup copy) still lies strictly inside `versionRoot` once links are
// followed, and is not a file with other hard links. For the backup step:
// call it before creating the backup folders and before the copy.
[[nodiscard]] bool IsFinalPathInsideVersion(const WString& versionRoot, const WString& path);

// The final form of `path` (its full form with the links of its existing
// part followed, the rest appended), on a drive letter; false, with
// `finalPath` emptied, when the file system gives no answer or the path
// leads off drive letters (a share).
[[nodiscard]] bool FinalPathName(const WString& path, WString& finalPath);
// Whether two final paths name the same file: ordinal comparison ignoring
// case, as the file system compares names. Empty text names nothing.
[[nodiscard]] bool SameFinalPath(const WString& a, const WString& b);

// For a file the caller holds open (`file` is its HANDLE), taken from the
// handle itself, not from a name: whether it lies inside `versionRoot`'s
// final path and the file `name` beside it would pass the rules a target
// passes. True with the final path of its folder in `folder`. Catches a
// folder swapped for a link between the last check by name and the
// creation of the file.
[[nodiscard]] bool CheckOpenFileInVersion(const WString& versionRoot, void* file, const WString& name,
                                          WString& folder);
// The final path of an open file or folder (`file` is its HANDLE), in its
// drive form; false off drive letters.
[[nodiscard]] bool FinalPathOfOpenFile(void* file, WString& finalPath);
// Whether every junction and symbolic link on the existing part of `path`
// (a full path on a drive letter), and on the way of each one's target,
// leads to a local fixed drive: read from the folder listings and the links'
// own data, before anything is opened through them. Every check by name
// asks this first.
[[nodiscard]] bool LinksStayOnLocalFixedDrives(const WString& path);

// For a folder the caller holds open (`folder` is its HANDLE): whether,
// taken from the handle, it lies strictly inside `versionRoot`'s final path.
[[nodiscard]] bool IsOpenFolderInVersion(const WString& versionRoot, void* folder);
